#pragma once

#include <array>
#include <functional>
#include <string>

#include "align/mapping.h"
#include "metadata/jpeg_metadata.h"

namespace vantrel {

enum class OutputFormat { Bmp, Jpeg };

// Renders one slot into the master's frame plus borders (into `frame`, which
// is resized and reused between calls) and writes it as a 24-bit BMP or a
// JPEG of `quality`; a JPEG carries the source file's EXIF (with the new
// pixel size), IPTC and comment. Written once, through a temporary file, so a
// failure leaves no partial file and keeps what was there. Throws Error.
void WriteAlignedImage(const TImageSlot& slot, bool isMaster, const MasterGeometry& master, const Borders& borders,
                       OutputFormat format, int quality, const std::string& outputPath, Bitmap& frame,
                       TJpegMetadata& metadata, const std::function<void(int percent)>& progress = {});

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
// when an image's alignment is unusable (AlignmentProblem). Stops at the
// first failure, keeping the files already written. Throws Error.
void WriteSlots(const Workspace& workspace, const std::array<bool, 3>& which,
                const std::array<std::string, 3>& paths, const Borders& borders, OutputFormat format, int quality,
                const std::function<void(int slot, int percent)>& progress = {});

}  // namespace vantrel
