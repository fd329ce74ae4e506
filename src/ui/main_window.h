#pragma once

#include <QMainWindow>
#include <array>

#include "bitmap_image.h"
#include "workspace/workspace.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace vantrel {

class PaintBox;
class Prompter;
class TAboutForm;
class TDebugForm;
class TLensCorrectionForm;

// The main window: three image slots with their input views, the output
// view, the alignment data grid and the status bar.
class TForm1 : public QMainWindow {
public:
    explicit TForm1(Prompter& prompter, QWidget* parent = nullptr);
    ~TForm1() override;

    Workspace& workspace() { return ws_; }

    // Menu and popup handlers.
    void OpenBtnClick();
    void LoadSlotFromFile(int n);
    void LoadImage1Click() { LoadSlotFromFile(1); }
    void LoadImage2Click() { LoadSlotFromFile(2); }
    void LoadImage3Click() { LoadSlotFromFile(3); }
    void ClearImageClick(int n);
    void ClearImage1Click() { ClearImageClick(1); }
    void ClearImage2Click() { ClearImageClick(2); }
    void ClearImage3Click() { ClearImageClick(3); }
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
    void PaintBox1MouseUp();

    // Master choice (the preview rendering is a stand-in until the alignment engine lands).
    void MasterSelectClick(int n);
    void AutoSelectMaster();
    void ResetOutputView();
    void RenderPreview();
    void RefreshAlignmentData();

    // Slot N's per-slot widgets, 1-based.
    PaintBox* paintBox(int n) const { return slotWidgets_[n - 1].paintBox; }
    PaintBox* histoBox(int n) const { return slotWidgets_[n - 1].histoBox; }
    QCheckBox* masterSelect(int n) const { return slotWidgets_[n - 1].masterSelect; }
    QLabel* masterText(int n) const { return slotWidgets_[n - 1].masterText; }
    QString statusText(int panel) const;
    int progressValue() const;

    TAboutForm* AboutForm = nullptr;
    TLensCorrectionForm* LensCorrectionForm = nullptr;
    TDebugForm* DebugForm = nullptr;

    PaintBox* AlignedPaintBox = nullptr;
    QTableWidget* AlignmentDataStringGrid = nullptr;
    QLineEdit* KeyBuffer = nullptr;
    QLabel* FOVLabel = nullptr;
    QCheckBox* LivePreviewCheckBox = nullptr;
    QCheckBox* ScalingCheckBox = nullptr;
    QProgressBar* MainProgressBar = nullptr;
    QAction* MainMenuOpen = nullptr;
    QAction* MainMenuSaveAll = nullptr;
    QAction* MainMenuAbout = nullptr;
    QAction* Close1 = nullptr;
    QAction* Debug1 = nullptr;

protected:
    void closeEvent(QCloseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    struct SlotWidgets {
        PaintBox* paintBox = nullptr;
        PaintBox* histoBox = nullptr;
        PaintBox* sliderPaintBox = nullptr;
        QLabel* sliderLabel = nullptr;
        QCheckBox* masterSelect = nullptr;
        QLabel* masterText = nullptr;
        QMenu* popup = nullptr;
    };

    void buildControls();
    void buildMenus();
    void buildStatusBar();
    void buildGrid();

    void ClearSlot(int n);
    // Reads one file into slot n; false when the slot did not change.
    bool loadSlotSteps(int n, const std::string& path);
    void showSlot(int n);
    void renderInputViews();
    void renderInputView(int n);
    void setStatus(int panel, const QString& text);
    void setProgress(int value);
    void StatusBar1DrawPanel(QPainter& painter);
    void ProcessPendingMessages();
    void reportError(const std::exception& e);

    Prompter& prompter_;
    Workspace ws_;
    QtMarkPainter marks_;
    std::array<SlotWidgets, 3> slotWidgets_;
    QLabel* statusPanels_[2] = {};
    PaintBox* progressPanel_ = nullptr;
};

}  // namespace vantrel
