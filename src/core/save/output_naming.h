#pragma once

#include <array>
#include <functional>
#include <string>

#include "align/slot_alignment.h"
#include "formats/image_format.h"


namespace vantrel {

// A file name without its directory and its last extension ("a.b.jpg" gives "a.b").
std::string BaseNameOf(const std::string& path);

// What the save dialog offers: per slot whether it is written and the base
// name typed for it, the tag and where it goes, the type and the directory.
struct SaveNaming {
    std::array<bool, kSlotCount> enabled{};
    std::array<std::string, kSlotCount> baseName;
    std::string tag = "Aligned";
    bool append = true;
    ImageKind format = ImageKind::Jpeg;
    std::string outputDir;
    std::array<std::string, kSlotCount> sourcePath;  // named when two outputs would collide
};

struct OutputNames {
    std::array<std::string, kSlotCount> fileName, fullPath;  // empty for a slot not offered
    std::array<bool, kSlotCount> exists{};
    bool anyExists = false;
    // Why these names cannot be written (empty when they can): a name that
    // would leave the output directory, or two images given one file.
    std::string problem;
};

// The output names: base + tag (or tag + base) + the format's extension, in the output
// directory; `exists` tells which are there already.
OutputNames ComputeOutputNames(const SaveNaming& naming,
                               const std::function<bool(const std::string&)>& exists);

// The overwrite warning for the offered slots whose files exist; empty when none.
std::string OverwriteMessage(const OutputNames& names, const std::array<bool, kSlotCount>& enabled);

// The directory cut into pieces joined by blanks so that a word-wrapping
// label of `labelWidth` shows one piece a line (" " for an empty directory).
std::string WrapDirectoryLabel(const std::string& directory, int labelWidth,
                               const std::function<int(const std::string&)>& textWidth);

// A border field: its integer value, 0 for text that is not an integer.
int BorderValue(const std::string& text);

}  // namespace vantrel
