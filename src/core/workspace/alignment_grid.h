#pragma once

#include <array>
#include <string>
#include <vector>

#include "workspace/workspace.h"

namespace vantrel {

// The rows of the alignment data grid; row 0 holds the column headings.
enum class GridRow { Name = 1, Size, Luminance, CPAngle, CPLength, DeltaX, DeltaY, Rotation, Scale };
inline constexpr int kGridRows = 10;
inline constexpr std::array<const char*, kGridRows> kGridRowNames = {
    "", "Name", "Size", "Luminance", "CP Angle", "CP Length", "Delta X", "Delta Y", "Rotation", "Scale"};

// Texts of the grid: [row][column], rows 1..9 and a column per image of
// the document (1..slotCount) filled (row 0 and column 0 hold the headings
// and stay empty here).
struct GridTexts {
    explicit GridTexts(int images = kSlotCount) {
        for (auto& row : cells) row.resize(static_cast<std::size_t>(images) + 1);
    }
    std::array<std::vector<std::string>, kGridRows> cells;
    std::vector<std::string>& operator[](int row) { return cells[static_cast<std::size_t>(row)]; }
    const std::vector<std::string>& operator[](int row) const { return cells[static_cast<std::size_t>(row)]; }
    const std::string& at(GridRow row, int column) const { return cells[static_cast<std::size_t>(row)].at(static_cast<std::size_t>(column)); }
    auto begin() const { return cells.begin(); }
    auto end() const { return cells.end(); }
};

GridTexts AlignmentGridTexts(const Workspace& ws);

// The debug window's control-point listing, one line per entry.
std::string ControlPointListing(const Workspace& ws);

}  // namespace vantrel
