#include "save/output_naming.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "formats/image_format.h"
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
    const int count = static_cast<int>(naming.enabled.size());
    names.fileName.resize(naming.enabled.size());
    names.fullPath.resize(naming.enabled.size());
    names.exists.resize(naming.enabled.size());
    for (int n = 0; n < count; ++n) {
        if (!naming.enabled[n]) continue;
        std::string name = naming.append ? naming.baseName[n] + naming.tag : naming.tag + naming.baseName[n];
        name += FormatOf(naming.format).outputExtension;
        names.fileName[n] = name;
        const auto full = (PathFromUtf8(naming.outputDir) / PathFromUtf8(name)).u8string();
        names.fullPath[n].assign(full.begin(), full.end());
        names.exists[n] = exists(names.fullPath[n]);
        names.anyExists |= names.exists[n];
        if (names.problem.empty()) names.problem = NameProblem(n + 1, name);
    }
    // Two images written to one file: the second would silently replace the first.
    for (int a = 0; a < count && names.problem.empty(); ++a)
        for (int b = a + 1; b < count && names.problem.empty(); ++b)
            if (naming.enabled[a] && naming.enabled[b] && names.fullPath[a] == names.fullPath[b])
                names.problem = "Images " + std::to_string(a + 1) + " and " + std::to_string(b + 1) +
                                " would both be saved as " + names.fullPath[a] + " (from " + naming.sourcePath[a] +
                                " and " + naming.sourcePath[b] + "). Give them different names.";
    return names;
}

std::string OverwriteMessage(const OutputNames& names, const std::vector<bool>& enabled) {
    std::string list;
    const int count = static_cast<int>(std::min(names.exists.size(), enabled.size()));
    for (int n = 0; n < count; ++n) {
        if (!names.exists[n] || !enabled[n]) continue;
        list += names.fullPath[n];
        list += n < count - 1 ? "\n\n" : "\n";
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

}  // namespace vantrel
