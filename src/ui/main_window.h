#pragma once

#include <QMainWindow>
#include <array>

#include "bitmap_image.h"
#include "workspace/pointer_state.h"
#include "workspace/slot_view.h"
#include "workspace/workspace.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QTableWidget;

namespace vantrel {

class EventLabel;
class PaintBox;
class Prompter;
class TAboutForm;
class TCallibrationTargetForm;
class TDebugForm;
class TLensCorrectionForm;
class TSaveForm;

// The main window: three image slots with their input views, the output
// view, the sliders, the alignment data grid and the status bar.
class TForm1 : public QMainWindow {
public:
    explicit TForm1(Prompter& prompter, QWidget* parent = nullptr);
    ~TForm1() override;

    Workspace& workspace() { return ws_; }
    TPointerState& pointer() { return pointer_; }
    TSlotView& view(int n) { return views_[static_cast<std::size_t>(n - 1)]; }

    // Menu and popup handlers.
    void OpenBtnClick();
    // Open with these files chosen (the first three): the lens window, then the loads.
    void openFiles(const QStringList& files);
    // Places every slot's control points itself (Auto Align).
    void AutoAlignClick();
    void LoadSlotFromFile(int n);
    // "Load Image" of slot n with this file chosen.
    void loadFileIntoSlot(int n, const QString& file);
    void LoadImage1Click() { LoadSlotFromFile(1); }
    void LoadImage2Click() { LoadSlotFromFile(2); }
    void LoadImage3Click() { LoadSlotFromFile(3); }
    void ClearImageClick(int n);
    void ClearImage1Click() { ClearImageClick(1); }
    void ClearImage2Click() { ClearImageClick(2); }
    void ClearImage3Click() { ClearImageClick(3); }
    void SaveBtnClick();
    void SaveSingleImage(int n);
    void SaveImage1Click() { SaveSingleImage(1); }
    void SaveImage2Click() { SaveSingleImage(2); }
    void SaveImage3Click() { SaveSingleImage(3); }
    void MainMenuAboutClick();
    void Close1Click();
    void Debug1Click();

    // Input view navigation, all three views at once.
    void InputZoomInBtnClick();
    void InputZoomOutBtnClick();
    void InputFitBtnClick();
    void Input1to1BtnClick();
    void InputCP1BtnClick();
    void InputCP2BtnClick();

    // Pointer handlers of the input views (the press also serves the output view).
    void PaintBox1MouseDown(Qt::MouseButton button, int x, int y);
    void PaintBoxMouseMove(int n, int x, int y);
    void PaintBox1MouseMove(int x, int y) { PaintBoxMouseMove(1, x, y); }
    void PaintBox2MouseMove(int x, int y) { PaintBoxMouseMove(2, x, y); }
    void PaintBox3MouseMove(int x, int y) { PaintBoxMouseMove(3, x, y); }
    void PaintBoxMouseLeave();
    void PaintBox1MouseUp();

    // The output view.
    void AlignedPaintBoxMouseMove(int x, int y);
    void AlignedPaintBoxMouseUp();
    void OutPutZoomInBtnClick();
    void OutputZoomOutBtnClick();
    void OutputFitBtnClick();
    void Output1to1BtnClick();
    void OutputCP1BtnClick();
    void OutputCP2BtnClick();
    void LivePreviewCheckBoxClick();
    void ScalingCheckBoxClick();

    // Brightness slider of slot n and the field-of-view slider.
    void SliderLabelMouseDown(int n, Qt::MouseButton button, int x);
    void SliderLabelMouseMove(int n, int x);
    void SliderLabelMouseUp(int n, int x, int y);
    void SliderLabelMouseEnter(int n);
    void SliderLabelMouseLeave(int n);
    void FOV_SliderLabelMouseDown(Qt::MouseButton button, int x);
    void FOV_SliderLabelMouseMove(int x);
    void FOV_SliderLabelMouseUp(int x, int y);
    void FOV_SliderLabelMouseEnter();
    void FOV_SliderLabelMouseLeave();

    // Keys: the window sees every key first; typed characters reach KeyBuffer.
    // Both return true when they consumed the key.
    bool FormKeyDown(int key);
    void KeyBufferKeyPress(QChar character);

    // Master choice and the alignment read-outs.
    void MasterSelectClick(int n);
    void MasterSelect1Click() { MasterSelectClick(1); }
    void MasterSelect2Click() { MasterSelectClick(2); }
    void MasterSelect3Click() { MasterSelectClick(3); }
    void AutoSelectMaster();
    void ResetOutputView();
    void RenderPreview();
    void RefreshAlignmentData();

    // Slot N's per-slot widgets, 1-based.
    PaintBox* paintBox(int n) const { return slotWidgets_[n - 1].paintBox; }
    PaintBox* histoBox(int n) const { return slotWidgets_[n - 1].histoBox; }
    PaintBox* sliderBox(int n) const { return slotWidgets_[n - 1].sliderPaintBox; }
    EventLabel* sliderLabel(int n) const { return slotWidgets_[n - 1].sliderLabel; }
    QCheckBox* masterSelect(int n) const { return slotWidgets_[n - 1].masterSelect; }
    QLabel* masterText(int n) const { return slotWidgets_[n - 1].masterText; }
    QString statusText(int panel) const;
    int progressValue() const;

    // What the window keeps besides the document: the files being opened,
    // where the dialogs start, the live preview option and the output view's bitmap.
    std::vector<std::string> FileList;
    std::string OpenDir, LastOutputDir;
    bool LivePreview = false;
    Bitmap OutputBitmap;

    TAboutForm* AboutForm = nullptr;
    TLensCorrectionForm* LensCorrectionForm = nullptr;
    TCallibrationTargetForm* CallibrationTargetForm = nullptr;
    TDebugForm* DebugForm = nullptr;
    TSaveForm* SaveForm = nullptr;

    PaintBox* AlignedPaintBox = nullptr;
    PaintBox* FOV_SliderPaintBox = nullptr;
    EventLabel* FOV_SliderLabel = nullptr;
    QTableWidget* AlignmentDataStringGrid = nullptr;
    QLineEdit* KeyBuffer = nullptr;
    QLabel* FOVLabel = nullptr;
    QCheckBox* LivePreviewCheckBox = nullptr;
    QCheckBox* ScalingCheckBox = nullptr;
    QCheckBox* AutoAlignCheckBox = nullptr;
    QProgressBar* MainProgressBar = nullptr;
    QAction* MainMenuOpen = nullptr;
    QAction* MainMenuAutoAlign = nullptr;  // in AlignMenu
    QMenu* AlignMenu = nullptr;
    // Options > Raw development: Linear (for HDR merging) / sRGB.
    QMenu* OptionsMenu = nullptr;
    QAction* RawLinearAction = nullptr;
    QAction* RawSrgbAction = nullptr;
    QAction* MainMenuSaveAll = nullptr;
    QAction* MainMenuAbout = nullptr;
    QAction* Close1 = nullptr;
    QAction* Debug1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct SlotWidgets {
        PaintBox* paintBox = nullptr;
        PaintBox* histoBox = nullptr;
        PaintBox* sliderPaintBox = nullptr;
        EventLabel* sliderLabel = nullptr;
        QCheckBox* masterSelect = nullptr;
        QLabel* masterText = nullptr;
        QMenu* popup = nullptr;
    };

    void buildControls();
    void buildSliders(QWidget* client);
    void buildMenus();
    void buildStatusBar();
    void buildGrid();

    void ClearSlot(int n);
    // Lists the files in the lens window and shows it; true on OK.
    bool acceptLensWindow(const std::vector<std::string>& files);
    // Reads one file into slot n; false when the slot did not change.
    // `decoded`, when given, is the file already read.
    bool loadSlotSteps(int n, const std::string& path, DecodedImage* decoded = nullptr);
    void showSlot(int n);
    void renderInputViews();
    void renderInputView(int n);
    void drawBrightnessSlider(int n);
    void DrawFOVSlider();
    void showFOV(bool noneBelowATenth);
    // After a change to the control points, master, scaling or field of view:
    // new rotations and scales, the read-outs, and the preview if asked.
    void realign(bool render);
    // Moves the hovered control points of the active input view.
    void nudgeControlPoints(int dx, int dy);
    void setStatus(int panel, const QString& text);
    void setProgress(int value);
    void StatusBar1DrawPanel(QPainter& painter);
    void ProcessPendingMessages();
    void reportError(const std::exception& e);
    // Fills the save dialog for the slots in `offered` and shows it; true on OK.
    bool showSaveForm(const std::array<bool, kSlotCount>& offered, int previewSlot);
    // Writes the given slots with the dialog's choices.
    void writeSlots(const std::array<bool, kSlotCount>& which);

    Prompter& prompter_;
    Workspace ws_;
    TPointerState pointer_;
    std::array<TSlotView, kSlotCount> views_;
    QtMarkPainter marks_;
    std::array<SlotWidgets, kSlotCount> slotWidgets_;
    QLabel* statusPanels_[2] = {};
    PaintBox* progressPanel_ = nullptr;
    Bitmap fovSliderBitmap_;
    // A shifted copy of the last render while panning without live preview.
    Bitmap panPreview_;
    // The views again at the screen's own pixels, on a screen of more than
    // one device pixel a view pixel (empty otherwise).
    std::array<Bitmap, kSlotCount> denseViews_;
    Bitmap denseOutput_;
    double screenScale() const;
    void sizeDense(Bitmap& dense, BoxSize view) const;
    bool showPanPreview_ = false;
};

}  // namespace vantrel
