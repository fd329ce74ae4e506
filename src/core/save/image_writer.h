#pragma once

#include <array>
#include <functional>
#include <string>

#include "align/mapping.h"
#include "align/slot_alignment.h"
#include "metadata/jpeg_metadata.h"

namespace vantrel {

enum class OutputFormat { Bmp, Jpeg };

// Renders one image into the master's frame plus borders (into `frame`,
// which is resized and reused between calls) and writes it as a 24-bit BMP or
// a JPEG of `quality`; a JPEG carries `metadata` (the source's, read before;
// null or empty: none) with the new pixel size. Written once, through a
// temporary file, so a failure leaves no partial file and keeps what was
// there. Throws Error.
void WriteAlignedImage(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                       const Borders& borders, OutputFormat format, int quality, const std::string& outputPath,
                       Bitmap& frame, TJpegMetadata* metadata, const std::function<void(int percent)>& progress = {});

class Workspace;

// Why slot n cannot be written aligned to the master (empty when it can): a
// rotation or scale that is no finite number, a scale outside 1/64 .. 64, or
// control points (its own or the master's) that coincide and so fix no
// rotation or scale at all. The live preview may show such passing states;
// a saved file must not be one.
std::string AlignmentProblem(const Workspace& workspace, int n);

// "Save All": every slot in `which` that is loaded, in slot order, to its
// path, through one reused frame. `progress` gets the slot number before each
// image and the percentage while it renders. Refuses before writing anything
// when an image's alignment is unusable (AlignmentProblem). Every source's
// metadata is read before the first file is written, so an output that
// replaces another image's source cannot lend it the wrong metadata. Stops at
// the first failure, keeping the files already written. Throws Error.
void WriteSlots(const Workspace& workspace, const std::array<bool, kSlotCount>& which,
                const std::array<std::string, kSlotCount>& paths, const Borders& borders, OutputFormat format,
                int quality, const std::function<void(int slot, int percent)>& progress = {});

}  // namespace vantrel
