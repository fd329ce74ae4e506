#include "save/output_naming.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "imaging/image_file.h"
#include "util/file_io.h"

namespace vantrel {

std::string BaseNameOf(const std::string& path) {
    const std::string name = FileNameOf(path);
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

namespace {

std::string NameProblem(int n, const std::string& name) {
    const std::string quoted = "\"" + name + "\"";
    if (name.find_first_of("/\\") != std::string::npos)
        return "The output name " + quoted + " of image " + std::to_string(n) +
               " holds a path separator; a name or tag may not lead out of the output directory.";
    if (name == "." || name == ".." || name.find('\0') != std::string::npos)
        return "The output name " + quoted + " of image " + std::to_string(n) + " is no file name.";
    return {};
}

}  // namespace

OutputNames ComputeOutputNames(const SaveNaming& naming, const std::function<bool(const std::string&)>& exists) {
    OutputNames names;
    for (int n = 0; n < 3; ++n) {
        if (!naming.enabled[n]) continue;
        std::string name = naming.append ? naming.baseName[n] + naming.tag : naming.tag + naming.baseName[n];
        name += naming.jpeg ? ".jpg" : ".bmp";
        names.fileName[n] = name;
        const auto full = (PathFromUtf8(naming.outputDir) / PathFromUtf8(name)).u8string();
        names.fullPath[n].assign(full.begin(), full.end());
        names.exists[n] = exists(names.fullPath[n]);
        names.anyExists |= names.exists[n];
        if (names.problem.empty()) names.problem = NameProblem(n + 1, name);
    }
    // Two images written to one file: the second would silently replace the first.
    for (int a = 0; a < 3 && names.problem.empty(); ++a)
        for (int b = a + 1; b < 3 && names.problem.empty(); ++b)
            if (naming.enabled[a] && naming.enabled[b] && names.fullPath[a] == names.fullPath[b])
                names.problem = "Images " + std::to_string(a + 1) + " and " + std::to_string(b + 1) +
                                " would both be saved as " + names.fullPath[a] + " (from " + naming.sourcePath[a] +
                                " and " + naming.sourcePath[b] + "). Give them different names.";
    return names;
}

std::string OverwriteMessage(const OutputNames& names, const std::array<bool, 3>& enabled) {
    std::string list;
    for (int n = 0; n < 3; ++n) {
        if (!names.exists[n] || !enabled[n]) continue;
        list += names.fullPath[n];
        list += n < 2 ? "\n\n" : "\n";
    }
    if (list.empty()) return {};
    return "The following files will be overwriten ...\n\n" + list + "\n" +
           "Click OK to proceed or Cancel to return to the Save Dialog";
}

std::string WrapDirectoryLabel(const std::string& directory, int labelWidth,
                               const std::function<int(const std::string&)>& textWidth) {
    if (directory.empty()) return " ";
    std::string text, piece;
    for (char c : directory) {
        // Every piece takes at least one character, whatever the width.
        if (!piece.empty() && textWidth(piece + c + "aa") >= labelWidth) {
            text += piece + " ";
            piece.clear();
        }
        piece += c;
    }
    text += piece + " ";
    return text;
}

int BorderValue(const std::string& text) {
    int value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') ++first;
    const auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last && first != last ? value : 0;
}

void RenderSavePreview(const TImageSlot& slot, bool isMaster, const MasterGeometry& master, const Borders& borders,
                       Bitmap& target, const std::function<void(int)>& progress) {
    const auto [frameW, frameH] = OutputFrameSize(master, borders);
    // A frame borders have shrunk to nothing has nothing to show.
    if (frameW <= 0 || frameH <= 0 || target.empty() || slot.Bitmap.empty()) return;
    double step = 1.1 * std::max(static_cast<double>(frameW) / target.width(),
                                 static_cast<double>(frameH) / target.height());
    double enlarge = 1;
    if (step < 1) {
        enlarge = step;
        step = 1;
    }
    const int workW = std::max(1, static_cast<int>(std::nearbyint(frameW / step)));
    const int workH = std::max(1, static_cast<int>(std::nearbyint(frameH / step)));
    Bitmap work(workW, workH);
    WarpScaled(slot, isMaster, master, borders, step, work, progress);

    // Centre it: stretched (nearest pixel) when it was enlarged.
    const int outW = enlarge < 1 ? static_cast<int>(std::nearbyint(workW / enlarge)) : workW;
    const int outH = enlarge < 1 ? static_cast<int>(std::nearbyint(workH / enlarge)) : workH;
    const int left = enlarge < 1 ? static_cast<int>(std::nearbyint((target.width() - workW / enlarge) / 2))
                                 : (target.width() - workW) / 2;
    const int top = enlarge < 1 ? static_cast<int>(std::nearbyint((target.height() - workH / enlarge) / 2))
                                : (target.height() - workH) / 2;
    for (int y = std::max(0, top); y < std::min(target.height(), top + outH); ++y) {
        const int sy = std::min(workH - 1, static_cast<int>(static_cast<long long>(y - top) * workH / outH));
        std::uint8_t* dst = target.row(y);
        const std::uint8_t* src = work.row(sy);
        for (int x = std::max(0, left); x < std::min(target.width(), left + outW); ++x) {
            const int sx = std::min(workW - 1, static_cast<int>(static_cast<long long>(x - left) * workW / outW));
            std::copy_n(src + sx * 3, 3, dst + x * 3);
        }
    }
}

}  // namespace vantrel
