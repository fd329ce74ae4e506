#include "workspace/pointer_state.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <numbers>

#include "imaging/view_render.h"

namespace vantrel {

namespace {

// A control point moved by whole pixels stops at the edge of the int range.
double MovedBy(double coordinate, double delta) {
    return std::clamp(coordinate + delta, static_cast<double>(INT32_MIN), static_cast<double>(INT32_MAX));
}

}  // namespace

void TPointerState::CaptureDragStart(const Workspace& ws, int x, int y) {
    for (int n = 1; n <= kSlotCount; ++n) {
        const TImageSlot& s = ws.slot(n);
        DragStart[n - 1] = {s.CP1X, s.CP1Y, s.CP2X, s.CP2Y, s.ViewCenterX, s.ViewCenterY, s.Brightness};
    }
    const OutputViewState view = ws.outputView();
    OutputDragStartX = view.centerX;
    OutputDragStartY = view.centerY;
    HalfFOVAtPress = ws.HalfFOV();
    MouseDownX = x;
    MouseDownY = y;
}

void TPointerState::pressView(const Workspace& ws, int x, int y) {
    SliderDragging = false;
    DraggingCP1 = HoverCP1 && !HoverCP2;
    DraggingCP2 = HoverCP2;
    Panning = !DraggingCP1 && !DraggingCP2;
    CaptureDragStart(ws, x, y);
}

void TPointerState::release() {
    Panning = SliderDragging = DraggingCP1 = DraggingCP2 = false;
    HoverCP1 = HoverCP2 = false;
}

bool TPointerState::updateHover(const Workspace& ws, int n, int x, int y) {
    const TImageSlot& s = ws.slot(n);
    auto inZone = [&](double cpX, double cpY) {
        const MarkCentre m = ViewPosition(cpX, cpY, s.ViewCenterX, s.ViewCenterY, s.Zoom, kInputViewSize.width,
                                          kInputViewSize.height);
        return m.x - 25 < x && x < m.x + 25 && m.y - 25 < y && y < m.y + 25;
    };
    HoverCP2 = inZone(s.CP2X, s.CP2Y);
    HoverCP1 = !HoverCP2 && inZone(s.CP1X, s.CP1Y);
    return HoverCP1 || HoverCP2;
}

void TPointerState::panInputView(Workspace& ws, int n, int x, int y) const {
    const TDragSnapshot& start = DragStart.at(static_cast<std::size_t>(n - 1));
    const double zoom = ws.slot(n).Zoom;
    const double dx = static_cast<double>(x) - MouseDownX;
    const double dy = static_cast<double>(y) - MouseDownY;
    ws.setViewCentre(n, RoundToInt(start.ViewCenterX - std::nearbyint(dx * zoom)),
                     RoundToInt(start.ViewCenterY - std::nearbyint(dy * zoom)));
}

void TPointerState::dragControlPoints(Workspace& ws, int n, int x, int y) const {
    const TImageSlot& s = ws.slot(n);
    const TDragSnapshot& start = DragStart.at(static_cast<std::size_t>(n - 1));
    const double dx = RoundToInt((static_cast<double>(x) - MouseDownX) * s.Zoom);
    const double dy = RoundToInt((static_cast<double>(y) - MouseDownY) * s.Zoom);
    ws.setControlPoints(n, DraggingCP1 ? MovedBy(start.CP1X, dx) : s.CP1X, DraggingCP1 ? MovedBy(start.CP1Y, dy) : s.CP1Y,
                        DraggingCP2 ? MovedBy(start.CP2X, dx) : s.CP2X, DraggingCP2 ? MovedBy(start.CP2Y, dy) : s.CP2Y);
}

void TPointerState::nudgeControlPoints(Workspace& ws, int n, int dx, int dy) const {
    if (n < 1 || n > kSlotCount) return;
    const TImageSlot& s = ws.slot(n);
    ws.setControlPoints(n, HoverCP1 ? MovedBy(s.CP1X, dx) : s.CP1X, HoverCP1 ? MovedBy(s.CP1Y, dy) : s.CP1Y,
                        HoverCP2 ? MovedBy(s.CP2X, dx) : s.CP2X, HoverCP2 ? MovedBy(s.CP2Y, dy) : s.CP2Y);
}

void TPointerState::dragBrightness(Workspace& ws, int n, int x) const {
    const TDragSnapshot& start = DragStart.at(static_cast<std::size_t>(n - 1));
    const long long b = start.Brightness + 3LL * (static_cast<long long>(x) - MouseDownX);
    ws.setBrightness(n, static_cast<int>(std::clamp<long long>(b, -255, 255)));
}

void TPointerState::dragFieldOfView(Workspace& ws, int x) const {
    ws.setFOVDegrees(HalfFOVAtPress * 360 / std::numbers::pi + 0.5 * (x - MouseDownX));
}

void TPointerState::panOutputView(Workspace& ws, int x, int y) const {
    const double zoom = ws.outputView().zoom;
    ws.setOutputViewCentre(
        RoundToInt(OutputDragStartX - std::nearbyint((static_cast<double>(x) - MouseDownX) * zoom)),
        RoundToInt(OutputDragStartY - std::nearbyint((static_cast<double>(y) - MouseDownY) * zoom)));
}

}  // namespace vantrel
