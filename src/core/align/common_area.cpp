#include "align/common_area.h"

#include <algorithm>

namespace vantrel {

FrameRect LargestRectangle(const std::vector<std::uint8_t>& mask, int width, int height) {
    // Row by row, the run of covered cells above each column; the largest
    // rectangle under that histogram by a stack of rising bars.
    FrameRect best;
    long long bestArea = 0;
    std::vector<int> run(static_cast<std::size_t>(width) + 1, 0), stack;
    stack.reserve(run.size());
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = mask.data() + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) run[x] = row[x] ? run[x] + 1 : 0;
        stack.clear();
        for (int x = 0; x <= width; ++x) {
            const int h = x < width ? run[x] : 0;  // a zero bar at the end empties the stack
            while (!stack.empty() && run[stack.back()] >= h) {
                const int bar = run[stack.back()];
                stack.pop_back();
                const int left = stack.empty() ? 0 : stack.back() + 1;
                const long long area = static_cast<long long>(bar) * (x - left);
                if (area > bestArea) {
                    bestArea = area;
                    best = {left, y - bar + 1, x - left, bar};
                }
            }
            stack.push_back(x);
        }
    }
    return best;
}

FrameRect CommonArea(const AlignedSources& sources, const MasterGeometry& master) {
    const int w = master.width, h = master.height;
    if (w <= 0 || h <= 0) return {};
    const std::size_t size = static_cast<std::size_t>(w) * h;
    std::vector<std::uint8_t> all(size, 255), one(size);
    for (int n = 1; n <= static_cast<int>(sources.size()); ++n) {
        const AlignedSource& source = sources[n - 1];
        if (!source.loaded()) continue;
        // The master covers its own frame, but where a lens correction left it empty.
        const bool isMaster = n == master.index;
        if (isMaster && !(source.covered && !source.covered->empty())) continue;
        Coverage(source, isMaster, master, one.data());
        for (std::size_t i = 0; i < size; ++i) all[i] &= one[i];
    }
    return LargestRectangle(all, w, h);
}

Borders CropBorders(const FrameRect& rect, const MasterGeometry& master) {
    return {-rect.top, -rect.left, rect.top + rect.height - master.height, rect.left + rect.width - master.width};
}

}  // namespace vantrel
