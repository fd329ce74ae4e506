#pragma once

#include <array>
#include <cstdint>

#include "workspace/image_slot.h"
#include "workspace/slot_view.h"
#include "workspace/workspace.h"

namespace vantrel {

// The control the pointer last made active; the numbers are those the key
// handling tests.
enum class Control {
    None = 0,
    InputView1 = 1,
    InputView2 = 2,
    InputView3 = 3,
    FOVSlider = 4,
    BrightnessSlider1 = 5,
    BrightnessSlider2 = 6,
    BrightnessSlider3 = 7,
    OutputView = 8,
};
inline Control InputViewControl(int n) { return static_cast<Control>(n); }
inline Control BrightnessSliderControl(int n) { return static_cast<Control>(4 + n); }
// The slot of an input view's control, 0 for any other.
inline int SlotOfInputView(Control c) {
    const int n = static_cast<int>(c);
    return n >= 1 && n <= kSlotCount ? n : 0;
}

// What the pointer is doing over the main window: pressed where, dragging
// what, hovering over which mark or slider. The window owns it; the
// operations turn its travel into changes of the document.
struct TPointerState {
    std::int32_t MouseDownX = 0, MouseDownY = 0;
    bool Panning = false, SliderDragging = false, DraggingCP1 = false, DraggingCP2 = false;
    bool HoverCP1 = false, HoverCP2 = false;
    bool SliderHot = false;
    Control ActiveControl = Control::None;
    std::array<TDragSnapshot, kSlotCount> DragStart{};
    std::int32_t OutputDragStartX = 0, OutputDragStartY = 0;
    double HalfFOVAtPress = 0;

    // A press at (x, y): what every drag measures from.
    void CaptureDragStart(const Workspace& ws, int x, int y);
    // A press on an input or the output view: a control point drag when the
    // pointer is on a mark, else a pan.
    void pressView(const Workspace& ws, int x, int y);
    // Releasing any button ends every drag and forgets the hovered marks.
    void release();

    // Control points under the pointer of input view n at view pixel (x, y):
    // sets HoverCP1 / HoverCP2 from the 49 x 49 zones around the marks (CP2
    // wins where they overlap). True when the pointer is on a mark.
    bool updateHover(const Workspace& ws, int n, int x, int y);

    // The view of slot n follows the pointer travel since the press.
    void panInputView(Workspace& ws, int n, int x, int y) const;
    // The control point(s) chosen at the press follow the pointer travel, in
    // whole source pixels of slot n, and the slot is re-solved.
    void dragControlPoints(Workspace& ws, int n, int x, int y) const;
    // Moves the hovered control point(s) of slot n by whole source pixels.
    void nudgeControlPoints(Workspace& ws, int n, int dx, int dy) const;
    // Brightness of slot n: three levels per pointer pixel, clamped.
    void dragBrightness(Workspace& ws, int n, int x) const;
    // The field of view: half a degree per pointer pixel from its value at the press.
    void dragFieldOfView(Workspace& ws, int x) const;
    void panOutputView(Workspace& ws, int x, int y) const;
};

}  // namespace vantrel
