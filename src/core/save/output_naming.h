#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "align/slot_alignment.h"
#include "formats/image_format.h"


namespace vantrel {

// A file name without its directory and its last extension ("a.b.jpg" gives "a.b").
std::string BaseNameOf(const std::string& path);

// What the save dialog offers: per slot (index 0 for slot 1; the window's
// three, or every image of a longer document) whether it is written and the
// base name typed for it, the tag and where it goes, the type and the directory.
struct SaveNaming {
    explicit SaveNaming(int images = kSlotCount)
        : enabled(static_cast<std::size_t>(images)), baseName(enabled.size()), sourcePath(enabled.size()) {}
    std::vector<bool> enabled;
    std::vector<std::string> baseName;
    std::string tag = "Aligned";
    bool append = true;
    ImageKind format = ImageKind::Jpeg;
    std::string outputDir;
    std::vector<std::string> sourcePath;  // named when two outputs would collide
};

struct OutputNames {
    std::vector<std::string> fileName, fullPath;  // per slot of the naming; empty for a slot not offered
    std::vector<bool> exists;
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
std::string OverwriteMessage(const OutputNames& names, const std::vector<bool>& enabled);

// The directory cut into pieces joined by blanks so that a word-wrapping
// label of `labelWidth` shows one piece a line (" " for an empty directory).
std::string WrapDirectoryLabel(const std::string& directory, int labelWidth,
                               const std::function<int(const std::string&)>& textWidth);

// A border field: its integer value, 0 for text that is not an integer.
int BorderValue(const std::string& text);

}  // namespace vantrel
