#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "align/mapping.h"
#include "align/slot_alignment.h"
#include "align/common_area.h"
#include "formats/image_format.h"
#include "formats/source_metadata.h"

namespace vantrel {

// How the images of one save are written.
struct SaveOptions {
    ImageKind format = ImageKind::Jpeg;
    int quality = 100;  // JPEG, 1..100
    Borders borders;
    // Every output cut to the largest rectangle that every loaded image
    // covers; the borders are then ignored.
    bool crop = false;
    // Where the format has alpha: 0 wherever the image has no pixel.
    bool transparent = false;
    // The samples written: none for each picture's own depth. A format
    // takes at most its deepest (JPEG and BMP 8 bits, PNG 16).
    std::optional<SampleDepth> depth = std::nullopt;
    // Told, per file written, what of its source's metadata it could not
    // carry whole (on the writing thread).
    std::function<void(const std::string& path, const std::string& notice)> notice = {};
};

// Renders one image into the master's frame plus the options' borders (into
// `frame`, which is resized and reused between calls) and writes it in the
// options' format; a format that carries metadata takes `metadata` (the
// source's, read before; null: none) with the new pixel size. Written once,
// through a temporary file, so a failure leaves no partial file and keeps
// what was there. Throws Error.
void WriteAlignedImage(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                       const SaveOptions& options, const std::string& outputPath, Bitmap& frame,
                       SourceMetadata* metadata, const std::function<void(int percent)>& progress = {});

class Workspace;

// Why slot n cannot be written aligned to the master (empty when it can): a
// rotation or scale that is no finite number, a scale outside 1/64 .. 64, or
// control points (its own or the master's) that coincide and so fix no
// rotation or scale at all. The live preview may show such passing states;
// a saved file must not be one.
std::string AlignmentProblem(const Workspace& workspace, int n);

// The borders a save of `workspace` uses: the options' own, or with crop
// those that cut to the common area (`area`, when given, gets it). Throws
// Error when the images share no area.
Borders SaveBorders(const Workspace& workspace, const SaveOptions& options, FrameRect* area = nullptr);

// About the most memory aligning and saving `count` pictures of
// width x height holds at once: every picture (all are read before the
// first is written), the two frames written in turn and what registration
// keeps of one picture.
std::uint64_t MemoryForImages(int count, int width, int height, SampleDepth depth = SampleDepth::U8);

// The depth a picture of `source` depth is written at with `options`.
SampleDepth OutputDepth(const SaveOptions& options, SampleDepth source);

// "Save All": every slot in `which` (index 0 for slot 1) that is loaded, in slot order, to its
// path, through one reused frame. `progress` gets the slot number before each
// image and the percentage while it renders. Refuses before writing anything
// when an image's alignment is unusable (AlignmentProblem) or a crop finds no
// common area. Every source's metadata is read before the first file is
// written, so an output that replaces another image's source cannot lend it
// the wrong metadata. Stops at the first failure, keeping the files already
// written. Returns the frame written, in the master's pixels. Throws Error.
FrameRect WriteSlots(const Workspace& workspace, const std::vector<bool>& which,
                     const std::vector<std::string>& paths, const SaveOptions& options,
                     const std::function<void(int slot, int percent)>& progress = {});

// The same for a run that ends with the save: each image, once drawn, lends
// its memory to the next frame, which then needs no fresh pages. The drawn
// slots are left empty.
FrameRect WriteSlotsReleasing(Workspace& workspace, const std::vector<bool>& which,
                              const std::vector<std::string>& paths, const SaveOptions& options,
                              const std::function<void(int slot, int percent)>& progress = {});

}  // namespace vantrel
