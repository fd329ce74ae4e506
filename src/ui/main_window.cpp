#include "main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>

#include <iostream>
#include <numbers>
#include <optional>

#include <mutex>

#include "forms.h"
#include "align/point_trace.h"
#include "autoalign/auto_align.h"
#include "formats/image_format.h"
#include "formats/raw_codec.h"
#include "imaging/slider_render.h"
#include "imaging/view_render.h"
#include "workspace/alignment_grid.h"
#include "workspace/slot_view.h"
#include "grid_delegate.h"
#include "lens_form.h"
#include "paint_box.h"
#include "prompter.h"
#include "save/image_writer.h"
#include "save/output_naming.h"
#include "save_form.h"
#include "util/error.h"
#include "widgets.h"

namespace vantrel {

namespace {

constexpr int kClientWidth = 870;
constexpr int kClientHeight = 634;


// Runs a function when the scope ends, also on an exception.
template <class F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    ~Finally() { f_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    F f_;
};


void DrawBitmapOn(QPainter& painter, const Bitmap& bitmap) {
    if (!bitmap.empty()) painter.drawImage(0, 0, WrapBitmap(bitmap));
}

// A view rendered at the screen's own pixels where it has one of them
// (`dense`, `scale` device pixels per view pixel), else at the view's.
void DrawViewOn(QPainter& painter, const Bitmap& bitmap, const Bitmap& dense, double scale) {
    if (dense.empty() || scale <= 1) return DrawBitmapOn(painter, bitmap);
    QImage image = WrapBitmap(dense);
    image.setDevicePixelRatio(static_cast<qreal>(dense.width()) / bitmap.width());
    painter.drawImage(0, 0, image);
}

}  // namespace

TForm1::TForm1(Prompter& prompter, QWidget* parent)
    : QMainWindow(parent),
      FileList(kSlotCount),
      OpenDir(FromQt(QDir::currentPath())),
      LastOutputDir(OpenDir),
      prompter_(prompter) {
    OutputBitmap.resize(kOutputViewSize.width, kOutputViewSize.height);
    setObjectName("Form1");
    setWindowTitle("Vantrel  v2.0");
    UseWindowFont(this);
    setAcceptDrops(true);

    buildControls();
    buildMenus();
    buildStatusBar();
    buildGrid();

    // The debug window exists before the slots are cleared: clearing refreshes its listing.
    AboutForm = new TAboutForm(this);
    LensCorrectionForm = new TLensCorrectionForm(ws_, FileList, prompter_, this);
    // A window of the lens window's own: a modal lens window lets its clicks through.
    CallibrationTargetForm = new TCallibrationTargetForm(LensCorrectionForm);
    CallibrationTargetForm->returnTo = LensCorrectionForm;
    LensCorrectionForm->CallibrationTargetForm = CallibrationTargetForm;
    DebugForm = new TDebugForm(this);
    SaveForm = new TSaveForm(ws_, prompter_, this);

    for (int n = 1; n <= kSlotCount; ++n) ClearSlot(n);
    AutoSelectMaster();
    setStatus(0, QString());

    adjustSize();
    setFixedSize(sizeHint());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TForm1::~TForm1() = default;

void TForm1::buildControls() {
    auto* client = new QWidget(this);
    client->setObjectName("ClientArea");
    client->setFixedSize(kClientWidth, kClientHeight);
    client->setMouseTracking(true);
    setCentralWidget(client);
    setMouseTracking(true);

    const int viewLeft[kSlotCount] = {8, 296, 584};
    const int boxLeft[kSlotCount] = {192, 480, 768};
    const int masterLeft[kSlotCount] = {16, 304, 592};
    for (int i = 0; i < kSlotCount; ++i) {
        const int n = i + 1;
        SlotWidgets& w = slotWidgets_[i];
        w.paintBox = new PaintBox(client);
        w.paintBox->setObjectName(QString("PaintBox%1").arg(n));
        w.paintBox->setGeometry(viewLeft[i], 8, kInputViewSize.width, kInputViewSize.height);
        w.paintBox->setCursor(Qt::PointingHandCursor);
        w.paintBox->onPaint = [this, n](QPainter& p) {
            DrawViewOn(p, views_[n - 1].ViewBitmap, denseViews_[n - 1], screenScale());
        };
        w.paintBox->onMouseDown = [this](Qt::MouseButton b, int x, int y) { PaintBox1MouseDown(b, x, y); };
        w.paintBox->onMouseMove = [this, n](int x, int y) { PaintBoxMouseMove(n, x, y); };
        w.paintBox->onMouseUp = [this](Qt::MouseButton, int, int) { PaintBox1MouseUp(); };
        w.paintBox->onLeave = [this] { PaintBoxMouseLeave(); };

        w.histoBox = new PaintBox(client);
        w.histoBox->setObjectName(QString("HistoBox%1").arg(n));
        w.histoBox->setGeometry(boxLeft[i], 248, kHistoBoxSize.width, kHistoBoxSize.height);
        w.histoBox->onPaint = [this, n](QPainter& p) { DrawBitmapOn(p, views_[n - 1].HistoBitmap); };
        w.histoBox->hide();

        w.masterSelect = new QCheckBox("Master", client);
        w.masterSelect->setObjectName(QString("MasterSelect%1").arg(n));
        w.masterSelect->setGeometry(masterLeft[i], 296, 65, 17);
        // Acts as a button: a check runs the choice, which unchecks it again.
        connect(w.masterSelect, &QCheckBox::toggled, this, [this, n](bool on) {
            if (on) MasterSelectClick(n);
        });

        w.masterText = new QLabel("MASTER", client);
        w.masterText->setObjectName(QString("Master%1Text").arg(n));
        w.masterText->setGeometry(masterLeft[i], 296, 72, 17);
        w.masterText->setAlignment(Qt::AlignCenter);
        w.masterText->setStyleSheet(
            "background-color: yellow; color: black; font-weight: bold; border: 1px solid black;");
        w.masterText->hide();
    }
    buildSliders(client);

    const char* inputNames[] = {"InputZoomInBtn", "InputZoomOutBtn", "InputFitBtn",
                                "Input1to1Btn",   "InputCP1Btn",     "InputCP2Btn"};
    const char* captions[] = {"In", "Out", "Fit", "1:1", "CP1", "CP2"};
    const int inputLeft[] = {16, 48, 90, 122, 164, 196};
    void (TForm1::*inputHandlers[])() = {&TForm1::InputZoomInBtnClick, &TForm1::InputZoomOutBtnClick,
                                         &TForm1::InputFitBtnClick,    &TForm1::Input1to1BtnClick,
                                         &TForm1::InputCP1BtnClick,    &TForm1::InputCP2BtnClick};
    for (int i = 0; i < 6; ++i) {
        auto* b = AddButton(client, inputNames[i], captions[i], QRect(inputLeft[i], 328, 33, 25),
                            i == 4 ? "red" : i == 5 ? "blue" : nullptr);
        connect(b, &QPushButton::clicked, this, inputHandlers[i]);
    }

    AlignedPaintBox = new PaintBox(client);
    AlignedPaintBox->setObjectName("AlignedPaintBox");
    AlignedPaintBox->setGeometry(421, 328, kOutputViewSize.width, kOutputViewSize.height);
    AlignedPaintBox->setCursor(Qt::PointingHandCursor);
    AlignedPaintBox->onPaint = [this](QPainter& p) {
        if (showPanPreview_)
            DrawBitmapOn(p, panPreview_);
        else
            DrawViewOn(p, OutputBitmap, denseOutput_, screenScale());
    };
    AlignedPaintBox->onMouseDown = [this](Qt::MouseButton b, int x, int y) { PaintBox1MouseDown(b, x, y); };
    AlignedPaintBox->onMouseMove = [this](int x, int y) { AlignedPaintBoxMouseMove(x, y); };
    AlignedPaintBox->onMouseUp = [this](Qt::MouseButton, int, int) { AlignedPaintBoxMouseUp(); };
    auto* alignedPopup = new QMenu(this);
    alignedPopup->setObjectName("AlignrdPopup");

    const char* outputNames[] = {"OutPutZoomInBtn", "OutputZoomOutBtn", "OutputFitBtn",
                                 "Output1to1Btn",   "OutputCP1Btn",     "OutputCP2Btn"};
    const int outputTop[] = {328, 356, 392, 420, 456, 484};
    void (TForm1::*outputHandlers[])() = {&TForm1::OutPutZoomInBtnClick, &TForm1::OutputZoomOutBtnClick,
                                          &TForm1::OutputFitBtnClick,    &TForm1::Output1to1BtnClick,
                                          &TForm1::OutputCP1BtnClick,    &TForm1::OutputCP2BtnClick};
    for (int i = 0; i < 6; ++i) {
        auto* b = AddButton(client, outputNames[i], captions[i], QRect(384, outputTop[i], 33, 29),
                            i == 4 ? "red" : i == 5 ? "blue" : nullptr);
        connect(b, &QPushButton::clicked, this, outputHandlers[i]);
    }

    auto* panel = new QFrame(client);
    panel->setObjectName("Panel1");
    panel->setGeometry(240, 328, 137, 101);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    LivePreviewCheckBox = new QCheckBox("Live Preview", panel);
    LivePreviewCheckBox->setObjectName("LivePreviewCheckBox");
    LivePreviewCheckBox->setGeometry(16, 24, 110, 17);
    connect(LivePreviewCheckBox, &QCheckBox::clicked, this, &TForm1::LivePreviewCheckBoxClick);
    ScalingCheckBox = new QCheckBox("Scaling", panel);
    ScalingCheckBox->setObjectName("ScalingCheckBox");
    ScalingCheckBox->setGeometry(16, 56, 110, 17);
    ScalingCheckBox->setChecked(true);
    connect(ScalingCheckBox, &QCheckBox::clicked, this, &TForm1::ScalingCheckBoxClick);
    AutoAlignCheckBox = new QCheckBox("Auto Align", panel);
    AutoAlignCheckBox->setObjectName("AutoAlignCheckBox");
    AutoAlignCheckBox->setGeometry(16, 80, 110, 17);

    auto* label4 = new QLabel("FOV / FL", client);
    label4->setObjectName("Label4");
    label4->move(24, 372);
    FOVLabel = new QLabel("None", client);
    FOVLabel->setObjectName("FOVLabel");
    FOVLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    FOVLabel->setGeometry(53, 372, 140, 16);  // right edge at 193

    KeyBuffer = new QLineEdit(client);
    KeyBuffer->setObjectName("KeyBuffer");
    KeyBuffer->setGeometry(384, 536, 1, 1);
    KeyBuffer->setFrame(false);
    KeyBuffer->setStyleSheet("background-color: palette(button);");
    KeyBuffer->installEventFilter(this);
    installEventFilter(this);

    MainProgressBar = new QProgressBar(client);
    MainProgressBar->setObjectName("MainProgressBar");
    MainProgressBar->setRange(0, 100);
    MainProgressBar->setValue(0);
    MainProgressBar->move(20, 52);
    MainProgressBar->hide();

    // Hidden controls kept from the layout; they have no role.
    auto* openBtn = AddButton(client, "OpenBtn", "Open", QRect(0, 0, 75, 25));
    connect(openBtn, &QPushButton::clicked, this, &TForm1::OpenBtnClick);
    openBtn->hide();
    auto* saveBtn = AddButton(client, "SaveBtn", "Save", QRect(0, 0, 75, 25));
    connect(saveBtn, &QPushButton::clicked, this, &TForm1::SaveBtnClick);
    saveBtn->hide();
    AddButton(client, "AboutBtn", "About", QRect(0, 0, 75, 25))->hide();
    auto* fovEdit = new QLineEdit("0", client);
    fovEdit->setObjectName("FOVEdit");
    fovEdit->hide();
    auto* memo = new QPlainTextEdit(client);
    memo->setObjectName("Memo1");
    memo->hide();
}

void TForm1::buildSliders(QWidget* client) {
    const int boxLeft[kSlotCount] = {192, 480, 768};
    for (int i = 0; i < kSlotCount; ++i) {
        const int n = i + 1;
        SlotWidgets& w = slotWidgets_[i];
        const LabelDragSlider slider(client, QString("Slider%1").arg(n),
                                     QRect(boxLeft[i], 296, kSliderBoxSize.width, kSliderBoxSize.height), 33);
        w.sliderPaintBox = slider.paintBox;
        w.sliderLabel = slider.label;
        w.sliderPaintBox->onPaint = [this, n](QPainter& p) {
            drawBrightnessSlider(n);
            DrawBitmapOn(p, views_[n - 1].SliderBitmap);
        };
        w.sliderLabel->onMouseDown = [this, n](Qt::MouseButton b, int x, int) { SliderLabelMouseDown(n, b, x); };
        w.sliderLabel->onMouseMove = [this, n](int x, int) { SliderLabelMouseMove(n, x); };
        w.sliderLabel->onMouseUp = [this, n](Qt::MouseButton, int x, int y) { SliderLabelMouseUp(n, x, y); };
        w.sliderLabel->onEnter = [this, n] { SliderLabelMouseEnter(n); };
        w.sliderLabel->onLeave = [this, n] { SliderLabelMouseLeave(n); };
    }
    const LabelDragSlider fov(client, "FOV_Slider", QRect(20, 396, 209, 25), 33);
    FOV_SliderPaintBox = fov.paintBox;
    FOV_SliderLabel = fov.label;
    FOV_SliderPaintBox->onPaint = [this](QPainter& p) {
        DrawFOVSlider();
        DrawBitmapOn(p, fovSliderBitmap_);
    };
    FOV_SliderLabel->onMouseDown = [this](Qt::MouseButton b, int x, int) { FOV_SliderLabelMouseDown(b, x); };
    FOV_SliderLabel->onMouseMove = [this](int x, int) { FOV_SliderLabelMouseMove(x); };
    FOV_SliderLabel->onMouseUp = [this](Qt::MouseButton, int x, int y) { FOV_SliderLabelMouseUp(x, y); };
    FOV_SliderLabel->onEnter = [this] { FOV_SliderLabelMouseEnter(); };
    FOV_SliderLabel->onLeave = [this] { FOV_SliderLabelMouseLeave(); };
}

void TForm1::buildMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("MainMenu1");
    MainMenuOpen = bar->addAction("Open", this, &TForm1::OpenBtnClick);
    MainMenuOpen->setObjectName("MainMenuOpen");
    MainMenuSaveAll = bar->addAction("Save All", this, &TForm1::SaveBtnClick);
    MainMenuSaveAll->setObjectName("MainMenuSaveAll");
    MainMenuAbout = bar->addAction("About", this, &TForm1::MainMenuAboutClick);
    MainMenuAbout->setObjectName("MainMenuAbout");
    Close1 = bar->addAction("Close", this, &TForm1::Close1Click);
    Close1->setObjectName("Close1");
    // Later commands come after the original ones, in a menu of their own
    // that shows their shortcuts.
    AlignMenu = bar->addMenu("Align");
    AlignMenu->setObjectName("AlignMenu");
    MainMenuAutoAlign = AlignMenu->addAction("Auto Align", this, &TForm1::AutoAlignClick);
    MainMenuAutoAlign->setObjectName("MainMenuAutoAlign");
    MainMenuAutoAlign->setShortcut(QKeySequence("Ctrl+A"));
    MainMenuAutoAlign->setShortcutVisibleInContextMenu(true);
    addAction(MainMenuAutoAlign);  // the key works wherever the focus is in the window
    OptionsMenu = bar->addMenu("Options");
    OptionsMenu->setObjectName("OptionsMenu");
    QMenu* raw = OptionsMenu->addMenu("Raw development");
    raw->setObjectName("RawDevelopmentMenu");
    auto* development = new QActionGroup(this);
    RawLinearAction = raw->addAction("Linear (for HDR merging)");
    RawLinearAction->setObjectName("RawLinearAction");
    RawSrgbAction = raw->addAction("sRGB");
    RawSrgbAction->setObjectName("RawSrgbAction");
    for (QAction* a : {RawLinearAction, RawSrgbAction}) {
        a->setCheckable(true);
        development->addAction(a);
    }
    (CurrentRawDevelopment() == RawDevelopment::Linear ? RawLinearAction : RawSrgbAction)->setChecked(true);
    connect(development, &QActionGroup::triggered, this, [this](QAction* chosen) {
        const bool linear = chosen == RawLinearAction;
        SetRawDevelopment(linear ? RawDevelopment::Linear : RawDevelopment::Srgb);
        setStatus(0, linear ? "Raw files opened from now on are developed linear, for HDR merging"
                            : "Raw files opened from now on are developed with the sRGB curve");
    });
    Debug1 = bar->addAction("Debug", this, &TForm1::Debug1Click);
    Debug1->setObjectName("Debug1");
    Debug1->setVisible(false);

    for (int n = 1; n <= kSlotCount; ++n) {
        SlotWidgets& w = slotWidgets_[n - 1];
        w.popup = new QMenu(this);
        w.popup->setObjectName(QString("Image%1Popup").arg(n));
        auto add = [&](const QString& caption, const QString& name, bool visible) {
            QAction* a = w.popup->addAction(caption);
            a->setObjectName(name.arg(n));
            a->setVisible(visible);
            return a;
        };
        connect(add("Load Image", "LoadImage%1", true), &QAction::triggered, this, [this, n] { LoadSlotFromFile(n); });
        connect(add("Save Image", "SaveImage%1", true), &QAction::triggered, this, [this, n] { SaveSingleImage(n); });
        connect(add("Clear Image", "ClearImage%1", true), &QAction::triggered, this, [this, n] { ClearImageClick(n); });
        add("Copy Image", "CopyImage%1", false);
        add("Paste Image", "PasteImage%1", false);
        w.paintBox->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(w.paintBox, &QWidget::customContextMenuRequested, this,
                [this, n](const QPoint& at) { slotWidgets_[n - 1].popup->popup(paintBox(n)->mapToGlobal(at)); });
    }
}

void TForm1::buildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName("StatusBar1");
    bar->setSizeGripEnabled(false);
    const int widths[2] = {420, 120};
    for (int i = 0; i < 2; ++i) {
        statusPanels_[i] = new QLabel(bar);
        statusPanels_[i]->setObjectName(QString("StatusPanel%1").arg(i));
        statusPanels_[i]->setFixedWidth(widths[i]);
        bar->addWidget(statusPanels_[i]);
    }
    progressPanel_ = new PaintBox(bar);
    progressPanel_->setObjectName("StatusPanel2");
    progressPanel_->setFixedSize(50, 18);
    progressPanel_->onPaint = [this](QPainter& p) { StatusBar1DrawPanel(p); };
    bar->addWidget(progressPanel_);
}

void TForm1::buildGrid() {
    auto* grid = new QTableWidget(kGridRows, kSlotCount + 1, centralWidget());
    AlignmentDataStringGrid = grid;
    grid->setObjectName("AlignmentDataStringGrid");
    grid->setGeometry(8, 444, 369, 185);
    grid->horizontalHeader()->hide();
    grid->verticalHeader()->hide();
    grid->setFrameShape(QFrame::NoFrame);
    grid->setShowGrid(false);
    grid->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    for (int c = 0; c <= kSlotCount; ++c) grid->setColumnWidth(c, c == 0 ? 69 : 100);
    for (int r = 0; r < kGridRows; ++r) grid->setRowHeight(r, r == 0 ? 23 : 18);
    for (int r = 0; r < kGridRows; ++r)
        for (int c = 0; c <= kSlotCount; ++c) grid->setItem(r, c, new QTableWidgetItem());
    for (int c = 1; c <= kSlotCount; ++c) grid->item(0, c)->setText(QString("Image %1").arg(c));
    for (int r = 1; r < kGridRows; ++r) grid->item(r, 0)->setText(kGridRowNames[r]);
    grid->setItemDelegate(new GridDelegate([this] { return ws_.MasterIndex(); },
                                           [this](int n) { return ws_.slot(n).Loaded; }, grid));
}

// ---- status bar and progress ----

void TForm1::setStatus(int panel, const QString& text) { statusPanels_[panel]->setText(text); }

QString TForm1::statusText(int panel) const { return statusPanels_[panel]->text(); }

int TForm1::progressValue() const { return MainProgressBar->value(); }

void TForm1::setProgress(int value) {
    MainProgressBar->setValue(value);
    progressPanel_->update();
}

void TForm1::StatusBar1DrawPanel(QPainter& painter) {
    const QRect r = progressPanel_->rect();
    painter.fillRect(r, palette().button());
    const int left = r.left() + 2, top = r.top() + 2, bottom = r.bottom() + 1 - 2;
    const int right = left + (r.right() + 1 - left) * MainProgressBar->value() / MainProgressBar->maximum();
    if (right > left && bottom > top) painter.fillRect(QRect(left, top, right - left, bottom - top), QColor(0, 0, 128));
}

void TForm1::ProcessPendingMessages() {
    // Repaints and timers only: a click meanwhile must not act on half-done work.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TForm1::reportError(const std::exception& e) {
    prompter_.message(this, Prompter::Kind::Error, QString::fromStdString(e.what()));
}

// ---- slots ----

void TForm1::ClearSlot(int n) {
    ws_.clearSlot(n);
    ClearSlotView(views_[n - 1]);
    denseViews_[n - 1].resize(0, 0);
    paintBox(n)->update();
    histoBox(n)->update();
    sliderBox(n)->update();
    RefreshAlignmentData();
}

double TForm1::screenScale() const { return devicePixelRatioF(); }

// The size of a view at the screen's pixels; empty at one device pixel a view pixel.
void TForm1::sizeDense(Bitmap& dense, BoxSize view) const {
    const double scale = screenScale();
    if (scale <= 1) return dense.resize(0, 0);
    const int w = static_cast<int>(std::lround(view.width * scale)), h = static_cast<int>(std::lround(view.height * scale));
    if (dense.width() != w || dense.height() != h) dense.resize(w, h);
}

void TForm1::renderInputView(int n) {
    RenderSlotView(ws_.slot(n), views_[n - 1].ViewBitmap, &marks_);
    Bitmap& dense = denseViews_[n - 1];
    sizeDense(dense, kInputViewSize);
    if (!dense.empty() && ws_.slot(n).Loaded) {
        QtMarkPainter fine(screenScale());
        RenderSlotViewScaled(ws_.slot(n), screenScale(), dense, &fine);
    } else {
        dense.resize(0, 0);
    }
    paintBox(n)->update();
}

void TForm1::renderInputViews() {
    for (int n = 1; n <= kSlotCount; ++n) renderInputView(n);
}

void TForm1::showSlot(int n) {
    RenderHistogram(ws_.slot(n), views_[n - 1].HistoBitmap);
    histoBox(n)->update();
    renderInputView(n);
}

bool TForm1::loadSlotSteps(int n, const std::string& path, DecodedImage* decoded) {
    const auto progress = [this](int percent) {
        setProgress(percent);
        ProcessPendingMessages();
    };
    std::string notice = decoded ? decoded->notice : std::string();
    const LoadOutcome outcome = decoded ? ws_.loadSlot(n, path, std::move(*decoded), progress)
                                        : ws_.loadSlot(n, path, progress, &notice);
    if (const std::string failure = LoadFailureMessage(outcome, path); !failure.empty())
        prompter_.message(this, Prompter::Kind::Error, ToQt(failure));
    if (outcome != LoadOutcome::Loaded) return false;
    if (!notice.empty()) {
        setStatus(0, ToQt(FileNameOf(path) + ": " + notice));
        std::cerr << "vantrel: " << path << ": " << notice << "\n";
    }
    sliderBox(n)->update();
    showSlot(n);
    return true;
}

bool TForm1::acceptLensWindow(const std::vector<std::string>& files) {
    ProcessPendingMessages();
    {
        WaitCursor wait;
        // A slot's FilePath changes only when its new file is actually loaded,
        // so a cancelled or failed load keeps path and image together.
        FileList = files;
        LensCorrectionForm->ImageListBox->clear();
        for (const auto& path : FileList) LensCorrectionForm->ImageListBox->addItem(ToQt(FileNameOf(path)));
        LensCorrectionForm->ImageListBox->setCurrentRow(0);
        LensCorrectionForm->ImageListBoxClick();
    }
    return prompter_.showModal(LensCorrectionForm) == QDialog::Accepted;
}

void TForm1::OpenBtnClick() {
    const QStringList chosen = prompter_.openPictures(this, ToQt(OpenDir), true);
    if (!chosen.isEmpty()) openFiles(chosen);
}

void TForm1::openFiles(const QStringList& chosen) {
    if (chosen.isEmpty()) return;
    Finally done([this] {
        setProgress(0);
        setStatus(1, "Ready");
        statusBar()->update();
    });
    try {
        OpenDir = DirectoryOf(FromQt(chosen.front()));
        std::vector<std::string> files(kSlotCount);
        for (int i = 0; i < kSlotCount && i < chosen.size(); ++i) files[i] = FromQt(chosen[i]);
        if (!acceptLensWindow(files)) return;

        WaitCursor wait;
        ProcessPendingMessages();
        const Workspace::LoadBatch batch(ws_);
        // The next file decodes while one is corrected and shown.
        std::vector<std::string> reads;
        for (const std::string& path : FileList) reads.push_back(QFileInfo::exists(ToQt(path)) ? path : std::string());
        ImagePrefetch prefetch(reads);
        for (int n = 1; n <= kSlotCount; ++n) {
            const std::string& path = FileList[n - 1];
            DecodedImage decoded = prefetch.take();
            if (path.empty()) {
                ClearSlot(n);
            } else if (!reads[n - 1].empty()) {
                setStatus(1, QString("Loading Image %1").arg(n));
                ProcessPendingMessages();
                loadSlotSteps(n, path, &decoded);
            } else {
                prompter_.message(this, Prompter::Kind::Warning, "File does not exist !!!");
            }
            if (n < kSlotCount) {
                setProgress(0);
                statusBar()->update();
                ProcessPendingMessages();
            }
        }
        AutoSelectMaster();
        if (AutoAlignCheckBox->isChecked()) AutoAlignClick();
    } catch (const std::exception& e) {
        reportError(e);
    }
}

void TForm1::LoadSlotFromFile(int n) {
    const QStringList chosen = prompter_.openPictures(this, ToQt(OpenDir), false);
    if (!chosen.isEmpty()) loadFileIntoSlot(n, chosen.front());
}

void TForm1::loadFileIntoSlot(int n, const QString& file) {
    const std::string path = FromQt(file);
    OpenDir = DirectoryOf(path);
    if (!QFileInfo::exists(file)) {
        prompter_.message(this, Prompter::Kind::Warning, "File does not exist !!!");
        return;
    }
    Finally done([this] {
        setProgress(0);
        setStatus(1, "Ready");
        statusBar()->update();
    });
    try {
        if (!acceptLensWindow({path})) return;

        WaitCursor wait;
        setStatus(1, QString("Loading Image %1").arg(n));
        ProcessPendingMessages();
        if (!loadSlotSteps(n, path)) return;
        if (ws_.MasterIndex() == n) ws_.SelectMaster(n);  // its image changed
        if (ws_.MasterIndex() == 0) AutoSelectMaster();
        realign(true);
        if (AutoAlignCheckBox->isChecked()) AutoAlignClick();
    } catch (const std::exception& e) {
        reportError(e);
    }
}

void TForm1::AutoAlignClick() {
    if (ws_.MasterIndex() == 0) {
        setStatus(0, "Auto Align: open two or three images first");
        return;
    }
    Finally done([this] {
        setProgress(0);
        setStatus(1, "Ready");
        statusBar()->update();
    });
    AutoAlignReport report;
    {
        WaitCursor wait;
        report = AutoAlign(ws_, {false, [this](int n, int percent) {
                                     setStatus(1, QString("Auto Align - image %1").arg(n));
                                     setProgress(percent);
                                     ProcessPendingMessages();
                                 }});
        showFOV(false);
        FOV_SliderPaintBox->update();
        realign(true);
        renderInputViews();
    }
    // The result per image, and where the field of view came from.
    setStatus(0, ToQt(report.error.empty() ? report.summary() : report.error));
    if (const std::string problems = report.problems(); !problems.empty())
        prompter_.message(this, Prompter::Kind::Warning, ToQt(problems));
}

void TForm1::ClearImageClick(int n) {
    const bool wasMaster = ws_.MasterIndex() == n;
    ClearSlot(n);
    if (!wasMaster) {
        masterSelect(n)->show();
        masterText(n)->hide();
        RenderPreview();
    } else {
        AutoSelectMaster();
    }
}

// ---- master and read-outs ----

void TForm1::MasterSelectClick(int n) {
    for (int i = 1; i <= kSlotCount; ++i) {
        const QSignalBlocker block(masterSelect(i));
        masterSelect(i)->setChecked(false);
    }
    if (!masterText(n)->isHidden() || !ws_.slot(n).Loaded) return;
    for (int i = 1; i <= kSlotCount; ++i) {
        masterSelect(i)->setVisible(i != n);
        masterText(i)->setVisible(i == n);
    }
    // The clicked box is gone: the focus goes back to the key buffer rather
    // than on to the next box, where a Space would change the master again.
    KeyBuffer->setFocus();
    ws_.SelectMaster(n);
    realign(true);
}

void TForm1::AutoSelectMaster() {
    const int chosen = ws_.masterByLuminance();
    if (chosen == 0) {
        ws_.clearMaster();
        ResetOutputView();
        return;
    }
    masterText(chosen)->hide();
    masterSelect(chosen)->setChecked(true);
}

void TForm1::ResetOutputView() {
    ws_.ResetOutputView();
    OutputBitmap.resize(kOutputViewSize.width, kOutputViewSize.height);  // black
    denseOutput_.resize(0, 0);
    AlignedPaintBox->update();
    for (int n = 1; n <= kSlotCount; ++n) {
        masterSelect(n)->show();
        masterText(n)->hide();
    }
    setStatus(1, "Empty");
}

void TForm1::RenderPreview() {
    bool any = false;
    for (const AlignedSource& source : ws_.sources()) any |= source.loaded();
    if (!any) return;
    std::optional<WaitCursor> wait;
    if (!LivePreview) wait.emplace();
    setStatus(1, "Processing");
    const Borders borders = SaveForm ? SaveForm->borders() : Borders{};
    const bool bordered = SaveForm && SaveForm->BordersCheckBox->isChecked();
    vantrel::RenderPreview(ws_.sources(), ws_.masterGeometry(), ws_.outputView(), bordered ? &borders : nullptr,
                           OutputBitmap, &marks_);
    sizeDense(denseOutput_, kOutputViewSize);
    if (!denseOutput_.empty()) {
        OutputViewState view = ws_.outputView();
        view.zoom /= screenScale();
        QtMarkPainter fine(screenScale());
        vantrel::RenderPreview(ws_.sources(), ws_.masterGeometry(), view, bordered ? &borders : nullptr, denseOutput_,
                               &fine);
    }
    showPanPreview_ = false;
    AlignedPaintBox->update();
    setProgress(0);
    setStatus(1, "Ready");
}

void TForm1::RefreshAlignmentData() {
    if (DebugForm && DebugForm->isVisible())
        DebugForm->CPDataMemo->setPlainText(ToQt(ControlPointListing(ws_)));
    const GridTexts texts = AlignmentGridTexts(ws_);
    for (int c = 1; c <= kSlotCount; ++c)
        for (int r = 1; r < kGridRows; ++r) AlignmentDataStringGrid->item(r, c)->setText(ToQt(texts[r][c]));
    AlignmentDataStringGrid->viewport()->update();
}

// ---- input view navigation ----

void TForm1::InputZoomInBtnClick() {
    ws_.zoomInputViews(true);
    renderInputViews();
}

void TForm1::InputZoomOutBtnClick() {
    ws_.zoomInputViews(false);
    renderInputViews();
}

void TForm1::InputFitBtnClick() {
    ws_.fitInputViews();
    renderInputViews();
}

void TForm1::Input1to1BtnClick() {
    ws_.inputViewsOneToOne();
    renderInputViews();
}

void TForm1::InputCP1BtnClick() {
    ws_.centreInputViewsOnCP(1);
    renderInputViews();
}

void TForm1::InputCP2BtnClick() {
    ws_.centreInputViewsOnCP(2);
    renderInputViews();
}

// ---- pointer over the input views ----

void TForm1::PaintBox1MouseDown(Qt::MouseButton button, int x, int y) {
    if (button == Qt::RightButton) return;  // the popup menu's button
    pointer_.pressView(ws_, x, y);
}

void TForm1::PaintBoxMouseMove(int n, int x, int y) {
    if (pointer_.Panning) pointer_.panInputView(ws_, n, x, y);
    if (pointer_.DraggingCP1 || pointer_.DraggingCP2) {
        pointer_.dragControlPoints(ws_, n, x, y);
        realign(LivePreview);
    }
    if (!pointer_.Panning && !pointer_.DraggingCP1 && !pointer_.DraggingCP2) {
        KeyBuffer->setFocus();
        pointer_.ActiveControl = InputViewControl(n);
        const bool onMark = pointer_.updateHover(ws_, n, x, y);
        paintBox(n)->setCursor(onMark ? Qt::SizeAllCursor : Qt::PointingHandCursor);
        const TImageSlot& s = ws_.slot(n);
        setStatus(0, s.Loaded ? QString("Image %1 - %2   %3x%4")
                                    .arg(n)
                                    .arg(ToQt(s.FileName))
                                    .arg(s.Bitmap.width())
                                    .arg(s.Bitmap.height())
                              : QString("Image %1 - Empty").arg(n));
    }
    renderInputView(n);
}

// Leaving a view forgets the mark under the pointer: otherwise a press in the
// output view would start a control point drag that follows the pointer back
// into an input view with no button held.
void TForm1::PaintBoxMouseLeave() {
    if (!pointer_.DraggingCP1 && !pointer_.DraggingCP2) pointer_.HoverCP1 = pointer_.HoverCP2 = false;
}

void TForm1::PaintBox1MouseUp() {
    if ((pointer_.SliderDragging || pointer_.DraggingCP1 || pointer_.DraggingCP2) && !LivePreview) RenderPreview();
    pointer_.release();
}

void TForm1::mouseMoveEvent(QMouseEvent* event) {
    setStatus(0, QString());
    QMainWindow::mouseMoveEvent(event);
}

// ---- the output view ----

void TForm1::AlignedPaintBoxMouseMove(int x, int y) {
    if (pointer_.Panning) {
        pointer_.panOutputView(ws_, x, y);
        if (LivePreview) {
            RenderPreview();
        } else {
            // Show the last render shifted; the true render follows on release.
            ShiftOntoBlack(x - pointer_.MouseDownX, y - pointer_.MouseDownY, OutputBitmap, panPreview_);
            DrawFrame(panPreview_, kBlack);
            showPanPreview_ = true;
            AlignedPaintBox->update();
        }
        return;
    }
    pointer_.ActiveControl = Control::OutputView;
    const FrameSize frame =
        ws_.MasterIndex() == 0 ? FrameSize{0, 0} : OutputFrameSize(ws_.masterGeometry(), SaveForm->borders());
    setStatus(0, QString("Output Images - %1x%2").arg(frame.width).arg(frame.height));
    if (DebugForm->isVisible() && ws_.modelHalfFOV() != 0) {
        const PointTrace t = InspectPoint(ws_.sources(), ws_.masterGeometry(), ws_.outputView(), OutputBitmap.width(),
                                          OutputBitmap.height(), x, y);
        DebugForm->ImageDataMemo->setPlainText(ToQt(t.listing));
        QPlainTextEdit* memos[kSlotCount] = {DebugForm->Image1rgbMemo, DebugForm->Image2rgbMemo,
                                             DebugForm->Image3rgbMemo};
        QLabel* swatches[kSlotCount] = {DebugForm->Image1Pixel, DebugForm->Image2Pixel, DebugForm->Image3Pixel};
        for (int n = 0; n < kSlotCount; ++n) {
            memos[n]->setPlainText(ToQt(t.colourText[n]));
            swatches[n]->setStyleSheet(QString("background-color: rgb(%1, %2, %3);")
                                           .arg(t.rgb[n][0])
                                           .arg(t.rgb[n][1])
                                           .arg(t.rgb[n][2]));
        }
    }
}

void TForm1::AlignedPaintBoxMouseUp() {
    if (pointer_.Panning && !LivePreview) RenderPreview();
    pointer_.Panning = false;
    showPanPreview_ = false;
    AlignedPaintBox->update();
}

void TForm1::OutPutZoomInBtnClick() {
    ws_.zoomOutputView(true);
    RenderPreview();
}

void TForm1::OutputZoomOutBtnClick() {
    ws_.zoomOutputView(false);
    RenderPreview();
}

void TForm1::OutputFitBtnClick() {
    ws_.fitOutputView();
    RenderPreview();
}

void TForm1::Output1to1BtnClick() {
    ws_.outputViewOneToOne();
    RenderPreview();
}

void TForm1::OutputCP1BtnClick() {
    ws_.centreOutputViewOnCP(1);
    RenderPreview();
}

void TForm1::OutputCP2BtnClick() {
    ws_.centreOutputViewOnCP(2);
    RenderPreview();
}

void TForm1::LivePreviewCheckBoxClick() { LivePreview = LivePreviewCheckBox->isChecked(); }

void TForm1::ScalingCheckBoxClick() { realign(true); }

// ---- sliders ----

void TForm1::drawBrightnessSlider(int n) {
    DrawBrightnessSlider(views_[n - 1].SliderBitmap, ws_.slot(n).Brightness, pointer_.SliderHot, ButtonFace(this));
}

void TForm1::DrawFOVSlider() {
    fovSliderBitmap_.resize(FOV_SliderPaintBox->width(), FOV_SliderPaintBox->height());
    vantrel::DrawFOVSlider(fovSliderBitmap_, ws_.HalfFOV(), pointer_.SliderHot, ButtonFace(this));
}

// Entering a slider makes it the active control at once: the pointer may rest
// there without another move (the platform sends the enter before the first move).
void TForm1::SliderLabelMouseEnter(int n) {
    pointer_.SliderHot = true;
    pointer_.ActiveControl = BrightnessSliderControl(n);
    sliderBox(n)->update();
}

void TForm1::SliderLabelMouseDown(int n, Qt::MouseButton button, int x) {
    if (button == Qt::RightButton) return;
    pointer_.CaptureDragStart(ws_, x, 0);
    pointer_.SliderDragging = true;
    histoBox(n)->show();
}

void TForm1::SliderLabelMouseMove(int n, int x) {
    if (!pointer_.SliderHot) {
        pointer_.SliderHot = true;
        sliderBox(n)->update();
        pointer_.ActiveControl = BrightnessSliderControl(n);
    }
    if (!pointer_.SliderDragging) return;
    pointer_.dragBrightness(ws_, n, x);
    sliderBox(n)->update();
    renderInputView(n);
    RenderHistogram(ws_.slot(n), views_[n - 1].HistoBitmap);
    histoBox(n)->update();
    if (LivePreview) RenderPreview();
}

void TForm1::SliderLabelMouseUp(int n, int x, int y) {
    pointer_.SliderHot = false;
    pointer_.SliderDragging = false;
    if (!LivePreview) RenderPreview();
    const QWidget* label = sliderLabel(n);
    if (x >= 0 && x <= label->width() && y >= 0 && y <= label->height()) {
        pointer_.SliderHot = true;
    } else {
        histoBox(n)->hide();
        paintBox(n)->update();
    }
    sliderBox(n)->update();
}

void TForm1::SliderLabelMouseLeave(int n) {
    histoBox(n)->hide();
    if (!pointer_.SliderDragging) {
        pointer_.SliderHot = false;
        sliderBox(n)->update();
    }
}

void TForm1::showFOV(bool noneBelowATenth) { FOVLabel->setText(ToQt(ws_.fovReadout(noneBelowATenth))); }

void TForm1::realign(bool render) {
    ws_.Recalculate(ScalingCheckBox->isChecked());
    RefreshAlignmentData();
    ProcessPendingMessages();
    if (render) RenderPreview();
}

void TForm1::FOV_SliderLabelMouseEnter() {
    pointer_.SliderHot = true;
    pointer_.ActiveControl = Control::FOVSlider;
    KeyBuffer->setFocus();
    FOV_SliderPaintBox->update();
}

void TForm1::FOV_SliderLabelMouseDown(Qt::MouseButton button, int x) {
    if (button == Qt::RightButton) return;
    pointer_.CaptureDragStart(ws_, x, 0);
    pointer_.SliderDragging = true;
}

void TForm1::FOV_SliderLabelMouseMove(int x) {
    if (!pointer_.SliderHot) {
        pointer_.SliderHot = true;
        FOV_SliderPaintBox->update();
        pointer_.ActiveControl = Control::FOVSlider;
        KeyBuffer->setFocus();
    }
    if (!pointer_.SliderDragging) return;
    pointer_.dragFieldOfView(ws_, x);
    showFOV(true);
    FOV_SliderPaintBox->update();
    if (ws_.MasterIndex() != 0) realign(LivePreview);
}

void TForm1::FOV_SliderLabelMouseUp(int x, int y) {
    pointer_.SliderDragging = false;
    pointer_.SliderHot = x >= 0 && x <= FOV_SliderLabel->width() && y >= 0 && y <= FOV_SliderLabel->height();
    FOV_SliderPaintBox->update();
    if (!LivePreview) RenderPreview();
}

void TForm1::FOV_SliderLabelMouseLeave() {
    if (pointer_.SliderDragging) return;
    pointer_.SliderHot = false;
    FOV_SliderPaintBox->update();
}

// ---- keys ----

bool TForm1::FormKeyDown(int key) {
    if (pointer_.SliderHot && pointer_.ActiveControl == Control::FOVSlider) {
        const double step = key == Qt::Key_Left ? -0.5 : key == Qt::Key_Right ? 0.5 : 0;
        if (step == 0) return false;
        ws_.setFOVDegrees(ws_.fovDegrees() + step);
        showFOV(false);
        FOV_SliderPaintBox->update();
        if (ws_.MasterIndex() == 0) return true;
        realign(true);
    }
    if (!pointer_.HoverCP1 && !pointer_.HoverCP2) {
        KeyBuffer->clear();
        return false;
    }
    const int dx = key == Qt::Key_Left ? -1 : key == Qt::Key_Right ? 1 : 0;
    const int dy = key == Qt::Key_Up ? -1 : key == Qt::Key_Down ? 1 : 0;
    if (dx == 0 && dy == 0) return true;
    nudgeControlPoints(dx, dy);
    KeyBuffer->clear();
    return true;
}

void TForm1::KeyBufferKeyPress(QChar character) {
    if (!pointer_.HoverCP1 && !pointer_.HoverCP2) {
        KeyBuffer->clear();
        return;
    }
    int dx = 0, dy = 0;
    switch (character.unicode()) {
        case 'a': case 'A': case '4': dx = -1; break;
        case 'd': case 'D': case '6': dx = 1; break;
        case 'w': case 'W': case '8': dy = -1; break;
        case 's': case 'S': case '2': dy = 1; break;
        default: break;
    }
    // Other characters move nothing, so they cost no re-render.
    if (dx != 0 || dy != 0) nudgeControlPoints(dx, dy);
    KeyBuffer->clear();
}

void TForm1::nudgeControlPoints(int dx, int dy) {
    const int n = SlotOfInputView(pointer_.ActiveControl);
    if (n == 0) return;
    pointer_.nudgeControlPoints(ws_, n, dx, dy);
    realign(false);
    renderInputView(n);
    RenderPreview();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    // The key buffer is no text box to the user: the window's shortcuts
    // (Ctrl+A) win over its own (select all).
    if (event->type() == QEvent::ShortcutOverride && watched == KeyBuffer) {
        event->ignore();
        return true;
    }
    // The window previews every key before the focused control.
    if (event->type() == QEvent::KeyPress && (watched == KeyBuffer || watched == this)) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool consumed = FormKeyDown(key->key());
        if (watched == KeyBuffer) {
            // The character still reaches the buffer's handler, as on the platform
            // this program was made for.
            if (!key->text().isEmpty()) KeyBufferKeyPress(key->text().front());
            return true;
        }
        if (consumed) return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- files dropped from elsewhere ----

namespace {

// The local image files among what is dragged, by the format table's
// extensions; links, text, remote files and other documents count for nothing,
// so the pointer says no over the window.
QStringList LocalFiles(const QMimeData* data) {
    QStringList files;
    if (data && data->hasUrls())
        for (const QUrl& url : data->urls())
            if (url.isLocalFile() && ImageKindOf(url.toLocalFile().toStdString()) != ImageKind::None)
                files << url.toLocalFile();
    return files;
}

}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
    if (!LocalFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
    if (!LocalFiles(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void TForm1::dropEvent(QDropEvent* event) {
    const QStringList files = LocalFiles(event->mimeData());
    if (files.isEmpty()) return;
    event->acceptProposedAction();
    // One file on an input view loads that slot; anything else is Open.
    int slot = 0;
    for (int n = 1; n <= kSlotCount && files.size() == 1; ++n)
        if (paintBox(n)->rect().contains(paintBox(n)->mapFrom(this, event->position().toPoint()))) slot = n;
    // The loading shows the lens window: not inside the drop, which the source application waits on.
    QTimer::singleShot(0, this, [this, files, slot] {
        if (slot)
            loadFileIntoSlot(slot, files.front());
        else
            openFiles(files);
    });
}

void TForm1::changeEvent(QEvent* event) {
    // A window brought back clears the highlighted knob, as a repaint does.
    if (event->type() == QEvent::ActivationChange) pointer_.SliderHot = false;
    QMainWindow::changeEvent(event);
}

// ---- saving ----

bool TForm1::showSaveForm(const std::array<bool, kSlotCount>& offered, int previewSlot) {
    TSaveForm& form = *SaveForm;
    form.forgetCommonArea();
    bool deep = false;
    for (int n = 1; n <= kSlotCount; ++n) deep |= offered[n - 1] && !ws_.slot(n).Deep.empty();
    form.offerDepthOf(deep);
    form.OutputFileList->clear();
    form.OutputDir = ToQt(LastOutputDir);
    for (int n = 1; n <= kSlotCount; ++n) {
        QLineEdit* edit = form.SourceNameEdit[n - 1];
        const QSignalBlocker block(edit);
        const bool on = offered[n - 1];
        form.SourceBaseName[n - 1] = on ? ToQt(BaseNameOf(ws_.slot(n).FilePath)) : QString();
        edit->setText(form.SourceBaseName[n - 1]);
        edit->setEnabled(on);
        edit->setStyleSheet(on ? "background-color: #FFFFFF;" : "background-color: #808080;");
        form.MasterMarker[n - 1]->setVisible(n == ws_.MasterIndex() && offered[n - 1]);
    }
    form.RecalculateBtnClick();
    form.PreviewIndex = previewSlot;
    form.OutputFileList->setCurrentRow(previewSlot - 1);
    form.OutputFileListClick();
    return prompter_.showModal(SaveForm) == QDialog::Accepted;
}

void TForm1::writeSlots(const std::array<bool, kSlotCount>& which) {
    TSaveForm& form = *SaveForm;
    LastOutputDir = FromQt(form.OutputDir);
    SaveOptions options = form.options();
    // What a save said before is not this save's: the panel tells this one only.
    setStatus(0, QString());
    QStringList notes;
    std::mutex noting;  // images are written on threads of their own
    options.notice = [&](const std::string& path, const std::string& notice) {
        const std::lock_guard lock(noting);
        notes << ToQt(FileNameOf(path) + ": " + notice);
    };
    WaitCursor wait;
    std::vector<std::string> paths(kSlotCount);
    for (int n = 0; n < kSlotCount; ++n) paths[n] = FromQt(form.OutputFullPath[n]);
    try {
        const FrameRect area = WriteSlots(ws_, std::vector<bool>(which.begin(), which.end()), paths, options, [this](int n, int percent) {
            if (percent == 0) setStatus(1, QString("Saving Image %1").arg(n));
            setProgress(percent);
            ProcessPendingMessages();
        });
        if (options.crop)
            setStatus(0, QString("Cropped to the common area: %1 x %2 at %3, %4%5")
                             .arg(area.width).arg(area.height).arg(area.left).arg(area.top)
                             .arg(form.BordersCheckBox->isChecked() ? " (borders ignored)" : ""));
        else if (!notes.isEmpty())
            setStatus(0, notes.join("; "));
        setProgress(0);
        statusBar()->update();
    } catch (const std::exception& e) {
        // The images written so far stay; the command ends at this one.
        setProgress(0);
        reportError(e);
        return;
    }
    setStatus(1, "Ready");
}

void TForm1::SaveBtnClick() {
    if (ws_.MasterIndex() == 0) return;
    std::array<bool, kSlotCount> loaded{};
    for (int n = 1; n <= kSlotCount; ++n) loaded[n - 1] = ws_.slot(n).Loaded;
    if (!showSaveForm(loaded, ws_.MasterIndex())) return;
    writeSlots(loaded);
}

void TForm1::SaveSingleImage(int n) {
    if (ws_.MasterIndex() == 0) return;
    std::array<bool, kSlotCount> only{};
    only[n - 1] = true;
    if (!showSaveForm(only, n)) {
        RenderPreview();
        return;
    }
    writeSlots(only);
}

// ---- windows ----

void TForm1::MainMenuAboutClick() { prompter_.showModal(AboutForm); }

void TForm1::Close1Click() {
    if (prompter_.message(this, Prompter::Kind::Confirmation, "Click OK to exit the program\nOr Cancel to return") ==
        Prompter::Answer::Ok) {
        close();
        QCoreApplication::quit();
    }
}

void TForm1::Debug1Click() {
    DebugForm->show();
    RefreshAlignmentData();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Closing from the frame ends at once.
    event->accept();
    QCoreApplication::quit();
}

}  // namespace vantrel
