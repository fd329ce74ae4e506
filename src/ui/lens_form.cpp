#include "lens_form.h"


#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QShortcut>
#include <QSlider>
#include <QTabWidget>
#include <QUrl>
#include <QTimer>
#include <QMimeData>
#include <QDropEvent>
#include <QDragEnterEvent>

#include "bitmap_image.h"
#include "lens_db_form.h"
#include "camera/camera_identity.h"
#include "formats/image_file.h"
#include "imaging/depth.h"
#include "formats/source_metadata.h"
#include "imaging/slider_render.h"
#include "lens/lens_profile.h"
#include "lens/target_scan.h"
#include "save/corrected_writer.h"
#include "paint_box.h"
#include "prompter.h"
#include "util/error.h"
#include "util/file_io.h"
#include "widgets.h"
#include "workspace/workspace.h"

namespace vantrel {

namespace {

constexpr std::array<LensSlider, 5> kSliders = {LensSlider::A, LensSlider::B, LensSlider::C, LensSlider::Rotation,
                                               LensSlider::Scale};
const char* const kProfileFilter = "Lens Callibration Profile (*.pfl)";

}  // namespace

TLensCorrectionForm::TLensCorrectionForm(Workspace& workspace, const std::vector<std::string>& fileList,
                                         Prompter& prompter, QWidget* parent)
    : QDialog(parent), workspace_(workspace), fileList_(fileList), prompter_(prompter) {
    setObjectName("LensCorrectionForm");
    setAcceptDrops(true);
    setWindowTitle("Lens Correction Module");
    resize(892, 665);
    UseWindowFont(this);
    ProfileDir = QDir::currentPath();

    PageControler = new QTabWidget(this);
    PageControler->setObjectName("PageControler");
    PageControler->setGeometry(0, 0, 249, 665);
    auto* preview = new QWidget;
    auto* calibrate = new QWidget;
    auto* save = new QWidget;
    PageControler->addTab(preview, "Preview");
    PageControler->addTab(calibrate, "Callibrate (beta)");
    PageControler->addTab(save, "Save");
    PageControler->setTabVisible(2, false);

    OutputViewBox = new PaintBox(this);
    OutputViewBox->setObjectName("OutputViewBox");
    OutputViewBox->setGeometry(253, 15, 635, 635);
    OutputViewBox->onPaint = [this](QPainter& p) { p.drawImage(0, 0, WrapBitmap(showPan_ ? panBitmap_ : LensViewBitmap)); };
    OutputViewBox->onMouseDown = [this](Qt::MouseButton b, int x, int y) { OutputViewBoxMouseDown(b, x, y); };
    OutputViewBox->onMouseMove = [this](int x, int y) { OutputViewBoxMouseMove(x, y); };
    OutputViewBox->onMouseUp = [this](Qt::MouseButton, int, int) { OutputViewBoxMouseUp(); };
    LensViewBitmap.resize(635, 635);
    LensViewPlainBitmap.resize(635, 635);

    buildPreviewPage(preview);
    buildCalibratePage(calibrate);
    buildSavePage(save);
    connect(PageControler, &QTabWidget::currentChanged, this, [this](int i) { PageControlerChange(i); });
    // The hidden page is reached from the keyboard.
    auto* showSave = new QShortcut(QKeySequence("Ctrl+Shift+S"), this);
    connect(showSave, &QShortcut::activated, this, [this] {
        PageControler->setTabVisible(2, true);
        PageControler->setCurrentIndex(2);
    });
    for (LensSlider s : kSliders) showValue(s, true);
    installEventFilter(this);
    RenderAndPaint();
}

void TLensCorrectionForm::buildPreviewPage(QWidget* page) {
    AddLabel(page, "Image List  (click to select)", 8, 8, "Label11");
    ImageListBox = new QListWidget(page);
    ImageListBox->setObjectName("ImageListBox");
    ImageListBox->setGeometry(8, 26, 225, 64);
    ImageListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(ImageListBox, &QListWidget::itemClicked, this, [this] { ImageListBoxClick(); });

    addZoomButtons(page, "", 96);

    AddLabel(page, "Profile :", 8, 132, "Label1");
    ProfileLabel = AddLabel(page, "Default Blank Profile", 60, 129, "ProfileLabel");
    QFont bold("Arial");
    bold.setPixelSize(16);
    bold.setBold(true);
    ProfileLabel->setFont(bold);
    ProfileLabel->resize(180, 20);

    struct Row {
        const char *labelName, *caption, *editName;
        LensSlider slider;
    } rows[] = {{"Label7", "Profile Scale", "OveralScaleEdit", LensSlider::Scale},
                {"Label8", "Outer Trim (A)", "ADistortionEdit", LensSlider::A},
                {"Label9", "Barrel/Pincushion (B)", "BDistortionEdit", LensSlider::B},
                {"Label10", "Inner Trim (C)", "CDistortionEdit", LensSlider::C}};
    for (int i = 0; i < 4; ++i) {
        AddLabel(page, rows[i].caption, 8, 162 + 26 * i, rows[i].labelName);
        auto* edit = new QLineEdit(page);
        edit->setObjectName(rows[i].editName);
        edit->setGeometry(135, 160 + 26 * i, 98, 21);
        edit->installEventFilter(this);
        widgets(rows[i].slider).edit = edit;
    }
    RotationEdit = new QLineEdit("0", page);
    RotationEdit->setObjectName("RotationEdit");
    RotationEdit->installEventFilter(this);
    RotationEdit->hide();
    widgets(LensSlider::Rotation).edit = RotationEdit;
    OveralScaleEdit = widgets(LensSlider::Scale).edit;
    ADistortionEdit = widgets(LensSlider::A).edit;
    BDistortionEdit = widgets(LensSlider::B).edit;
    CDistortionEdit = widgets(LensSlider::C).edit;

    connect(AddButton(page, "LoadProfileBtn", "Load Profile", QRect(8, 270, 75, 25)), &QPushButton::clicked, this,
            &TLensCorrectionForm::LoadProfileBtnClick);
    connect(AddButton(page, "ClearProfileBtn", "Clear Profile", QRect(85, 270, 75, 25)), &QPushButton::clicked, this,
            &TLensCorrectionForm::ClearProfileBtnClick);
    SaveProfileBtn = AddButton(page, "SaveProfileBtn", "Save Profile", QRect(162, 270, 75, 25));
    connect(SaveProfileBtn, &QPushButton::clicked, this, &TLensCorrectionForm::SaveProfileBtnClick);
    UpdateBtn = AddButton(page, "UpdateBtn", "Update", QRect(8, 302, 75, 25));
    UpdateBtn->setEnabled(false);
    connect(UpdateBtn, &QPushButton::clicked, this, &TLensCorrectionForm::UpdateBtnClick);
    LensDatabaseBtn = AddButton(page, "LensDatabaseBtn", "Lens Database", QRect(8, 334, 110, 25));
    connect(LensDatabaseBtn, &QPushButton::clicked, this, &TLensCorrectionForm::LensDatabaseBtnClick);
    // The database's vignetting beside its distortion: off unless asked for,
    // and only where the database has data for the lens found.
    VignettingCheckBox = new QCheckBox("Vignetting", page);
    VignettingCheckBox->setObjectName("VignettingCheckBox");
    VignettingCheckBox->setGeometry(126, 338, 110, 17);
    VignettingCheckBox->setEnabled(false);
    VignettingCheckBox->setToolTip("Choose a lens from the Lens Database first");
    CancelBtn = AddButton(page, "CancelBtn", "Cancel", QRect(8, 590, 100, 27));
    connect(CancelBtn, &QPushButton::clicked, this, &TLensCorrectionForm::CancelBtnClick);
    OKBtn = AddButton(page, "OKBtn", "OK", QRect(130, 590, 100, 27));
    connect(OKBtn, &QPushButton::clicked, this, &TLensCorrectionForm::OKBtnClick);
}

// Fit, 1:1, In and Out in a row; both pages have one.
void TLensCorrectionForm::addZoomButtons(QWidget* page, const QString& suffix, int top) {
    const char* names[] = {"ZoomFitBtn", "Zoom1to1Btn", "ZoomInBtn", "ZoomOutBtn"};
    const char* captions[] = {"Fit", "1:1", "In", "Out"};
    void (TLensCorrectionForm::*handlers[])() = {&TLensCorrectionForm::ZoomFitBtnClick,
                                                 &TLensCorrectionForm::Zoom1to1BtnClick,
                                                 &TLensCorrectionForm::ZoomInBtnClick, &TLensCorrectionForm::ZoomOutBtnClick};
    for (int i = 0; i < 4; ++i) {
        const QByteArray name = (names[i] + suffix).toLatin1();
        connect(AddButton(page, name.constData(), captions[i], QRect(8 + 56 * i, top, 52, 25)), &QPushButton::clicked,
                this, handlers[i]);
    }
}

void TLensCorrectionForm::addSlider(QWidget* page, LensSlider slider, const QString& name, const QString& caption,
                                    int top) {
    SliderWidgets& w = widgets(slider);
    AddLabel(page, caption, 8, top);
    w.framed = new QLabel(page);
    w.framed->setFrameShape(QFrame::Box);
    w.framed->setGeometry(120, top - 2, 110, 18);
    const LabelDragSlider s(page, name, QRect(8, top + 20, 97, 25), 33);
    w.box = s.paintBox;
    w.label = s.label;
    w.box->onPaint = [this, slider](QPainter& p) {
        Bitmap bitmap(widgets(slider).box->width(), widgets(slider).box->height());
        const LensSliderRange range = RangeOf(slider);
        DrawValueSlider(bitmap, static_cast<double>(ValueOf(model_, slider)), range.low, range.high, sliderHot_,
                        ButtonFace(this));
        p.drawImage(0, 0, WrapBitmap(bitmap));
    };
    w.label->onMouseDown = [this, slider](Qt::MouseButton b, int x, int) { SliderLabelMouseDown(slider, b, x); };
    w.label->onMouseMove = [this, slider](int x, int) { SliderLabelMouseMove(slider, x); };
    w.label->onMouseUp = [this, slider](Qt::MouseButton, int, int) { SliderLabelMouseUp(slider); };
    w.label->onEnter = [this, slider] { SliderLabelMouseEnter(slider); };
    w.label->onLeave = [this, slider] { SliderLabelMouseLeave(slider); };
    auto* reset = AddButton(page, qPrintable(QString("Reset_%1_Btn").arg(name)), "Reset", QRect(120, top + 20, 60, 25));
    connect(reset, &QPushButton::clicked, this, [this, slider] { ResetClick(slider); });
}

void TLensCorrectionForm::buildCalibratePage(QWidget* page) {
    GridCheckBox = new QCheckBox("Grid", page);
    GridCheckBox->setObjectName("GridCheckBox");
    GridCheckBox->setGeometry(8, 8, 80, 17);
    connect(GridCheckBox, &QCheckBox::clicked, this, &TLensCorrectionForm::GridCheckBoxClick);
    LivePreviewCheckBox = new QCheckBox("Live Preview", page);
    LivePreviewCheckBox->setObjectName("LivePreviewCheckBox");
    LivePreviewCheckBox->setGeometry(100, 8, 120, 17);
    addZoomButtons(page, "2", 32);
    ProfileLabel2 = AddLabel(page, "Default Blank Profile", 8, 64, "ProfileLabel2");
    ProfileLabel2->setFont(ProfileLabel->font());
    ProfileLabel2->resize(230, 20);

    addSlider(page, LensSlider::Rotation, "RotationSlider", "Rotation", 96);
    addSlider(page, LensSlider::Scale, "OveralScaleSlider", "Profile SCale", 156);
    addSlider(page, LensSlider::A, "A_Slider", "A (4th order)", 216);
    addSlider(page, LensSlider::B, "B_Slider", "B (3rd order)", 276);
    addSlider(page, LensSlider::C, "C_Slider", "C (2nd order)", 336);
    RotationStaticText = framedTextFor(LensSlider::Rotation);
    OveralScaleStaticText = framedTextFor(LensSlider::Scale);
    ADistortionStaticText = framedTextFor(LensSlider::A);
    BDistortionStaticText = framedTextFor(LensSlider::B);
    CDistortionStaticText = framedTextFor(LensSlider::C);
    RotationStaticText->setObjectName("RotationStaticText");
    OveralScaleStaticText->setObjectName("OveralScaleStaticText");
    ADistortionStaticText->setObjectName("ADistortionStaticText");
    BDistortionStaticText->setObjectName("BDistortionStaticText");
    CDistortionStaticText->setObjectName("CDistortionStaticText");

    connect(AddButton(page, "LoadProfileBtn2", "Load Profile", QRect(8, 420, 75, 25)), &QPushButton::clicked, this,
            &TLensCorrectionForm::LoadProfileBtnClick);
    SaveProfileBtn2 = AddButton(page, "SaveProfileBtn2", "Save Profile", QRect(88, 420, 75, 25));
    connect(SaveProfileBtn2, &QPushButton::clicked, this, &TLensCorrectionForm::SaveProfileBtnClick);
    CancelBtn2 = AddButton(page, "CancelBtn2", "Cancel", QRect(8, 590, 100, 27));
    connect(CancelBtn2, &QPushButton::clicked, this, &TLensCorrectionForm::CancelBtnClick);
    OkBtn2 = AddButton(page, "OkBtn2", "OK", QRect(130, 590, 100, 27));
    connect(OkBtn2, &QPushButton::clicked, this, &TLensCorrectionForm::OKBtnClick);
    KeyBuffer = new QLineEdit(page);
    KeyBuffer->setObjectName("KeyBuffer");
    KeyBuffer->setGeometry(240, 0, 1, 1);
    KeyBuffer->setFrame(false);
    KeyBuffer->installEventFilter(this);
    auto* trackBar = new QSlider(Qt::Horizontal, page);
    trackBar->setObjectName("RotationTrackBar");
    trackBar->setRange(-100, 100);
    trackBar->hide();
}

void TLensCorrectionForm::buildSavePage(QWidget* page) {
    connect(AddButton(page, "OpenBtn", "Open", QRect(8, 8, 75, 25)), &QPushButton::clicked, this, [this] {
        OpenFromList = false;
        OpenBtnClick();
    });
    connect(AddButton(page, "SaveBtn", "Save", QRect(88, 8, 75, 25)), &QPushButton::clicked, this,
            &TLensCorrectionForm::SaveBtnClick);
    BMPRadio = AddRadio(page, "BMPRadio", "BMPRadio", QRect(8, 40, 90, 17));
    JPGRadio = AddRadio(page, "JPGRadio", "JPGRadio", QRect(100, 40, 90, 17));
    TIFRadio = AddRadio(page, "TIFRadio", "TIFF", QRect(190, 40, 56, 17));
    PNGRadio = AddRadio(page, "PNGRadio", "PNG", QRect(190, 60, 56, 17));
    JPGRadio->setChecked(true);
    AddLabel(page, "JPEG Quality", 8, 66, "Label2");
    JPGQualityTrackBar = new QSlider(Qt::Horizontal, page);
    JPGQualityTrackBar->setObjectName("JPGQualityTrackBar");
    JPGQualityTrackBar->setGeometry(8, 84, 150, 22);
    JPGQualityTrackBar->setRange(1, 100);
    JPGQualityTrackBar->setValue(100);
    AddLabel(page, "100", 170, 86, "JPGQualityLabel");
    connect(AddButton(page, "CalibrationTargetBtn", "Show Calibration Target", QRect(8, 120, 160, 25)),
            &QPushButton::clicked, this, &TLensCorrectionForm::CalibrationTargetBtnClick);
    struct Field {
        const char *name, *caption, *value;
        QLineEdit** edit;
    } fields[] = {{"RThresholdEdit", "Red Threshold", "100", &RThresholdEdit},
                  {"GThresholdEdit", "Green Threshold", "100", &GThresholdEdit},
                  {"BThresholdEdit", "Blue Threshold", "10", &BThresholdEdit},
                  {"SearchSizeEdit", "Search Box Size", "12", &SearchSizeEdit},
                  {"PointThresholdEdit", "Point Threshold %", "70", &PointThresholdEdit}};
    for (int i = 0; i < 5; ++i) {
        AddLabel(page, fields[i].caption, 8, 162 + 26 * i);
        *fields[i].edit = new QLineEdit(fields[i].value, page);
        (*fields[i].edit)->setObjectName(fields[i].name);
        (*fields[i].edit)->setGeometry(130, 160 + 26 * i, 60, 21);
    }
    connect(AddButton(page, "ProcessBtn", "Process", QRect(8, 300, 75, 25)), &QPushButton::clicked, this,
            &TLensCorrectionForm::ProcessBtnClick);
    CounterLabel = AddLabel(page, "0/0", 8, 332, "CounterLabel");
    CounterLabel->resize(230, 16);
}

void TLensCorrectionForm::CalibrationTargetBtnClick() {
    if (!CallibrationTargetForm) return;
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        CallibrationTargetForm->setGeometry(screen->geometry());  // the whole screen
    CallibrationTargetForm->showMaximized();
    CallibrationTargetForm->raise();
    CallibrationTargetForm->update();
}

void TLensCorrectionForm::ProcessBtnClick() {
    auto number = [](const QLineEdit* edit) {
        bool ok = false;
        const int v = edit->text().trimmed().toInt(&ok);
        return ok ? v : 0;
    };
    ScanParameters p;
    p.redThreshold = number(RThresholdEdit);
    p.greenThreshold = number(GThresholdEdit);
    p.blueThreshold = number(BThresholdEdit);
    p.boxSize = number(SearchSizeEdit);
    p.pointPercent = number(PointThresholdEdit);
    {
        WaitCursor wait;
        ScanCalibrationPhoto(SourceImage, p, [this](const std::string& text) {
            CounterLabel->setText(ToQt(text));
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        });
    }
    ZoomFitBtnClick();
}

QLineEdit* TLensCorrectionForm::editFor(LensSlider slider) const { return widgets(slider).edit; }
QLabel* TLensCorrectionForm::framedTextFor(LensSlider slider) const { return widgets(slider).framed; }
EventLabel* TLensCorrectionForm::sliderLabelFor(LensSlider slider) const { return widgets(slider).label; }

char TLensCorrectionForm::decimalSeparator() const {
    const QString point = QLocale().decimalPoint();
    return point.isEmpty() ? '.' : point.front().toLatin1();
}

void TLensCorrectionForm::showValue(LensSlider slider, bool afterReset) {
    const Extended value = ValueOf(model_, slider);
    SliderWidgets& w = widgets(slider);
    const QSignalBlocker block(w.edit);
    w.edit->setText(ToQt(EditText(slider, value, decimalSeparator())));
    w.edit->setCursorPosition(0);  // a long number reads from its start
    if (w.framed) w.framed->setText(ToQt(FramedText(slider, value, afterReset, decimalSeparator())));
    if (w.box) w.box->update();
}

void TLensCorrectionForm::setSliderValue(LensSlider slider, Extended value, bool afterReset) {
    ValueOf(model_, slider) = value;
    if (slider != LensSlider::Rotation) {
        if (slider != LensSlider::Scale) model_.UpdateCoeffD();
        UpdateProfileLabel();
    }
    showValue(slider, afterReset);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TLensCorrectionForm::RenderAndPaint() {
    WaitCursor wait;
    RenderLensPreview(model_, SourceImage, view, LensViewBitmap, LensViewPlainBitmap);
    showPan_ = false;
    OutputViewBox->update();
}

// ---- opening and saving images ----

void TLensCorrectionForm::ImageListBoxClick() {
    const int row = ImageListBox->currentRow();
    if (row >= 0 && row < kSlotCount && row < static_cast<int>(fileList_.size()))
        ListFileName = ToQt(fileList_[static_cast<std::size_t>(row)]);
    OpenFromList = true;
    OpenBtnClick();
}

void TLensCorrectionForm::OpenBtnClick() {
    QString name;
    if (OpenFromList) {
        name = ListFileName;
    } else {
        const QStringList chosen = prompter_.openPictures(this, QDir::currentPath(), false);
        name = chosen.isEmpty() ? QString() : chosen.front();
    }
    OpenFromList = false;
    openFile(name);
}

void TLensCorrectionForm::openFile(const QString& name) {
    if (name.isEmpty()) return;
    WaitCursor wait;
    const std::string path = name.toStdString();
    try {
        // This window reads fewer extensions than the main window (no ".jpe"); others load nothing.
        if (LensWindowReads(path)) {
            Bitmap fresh;
            if (const std::string failure = LoadFailureMessage(LoadImageFile(path, fresh), path); !failure.empty())
                throw Error(failure);
            SourceDeep = fresh.deep() ? std::move(fresh) : Bitmap();
            SourceImage = SourceDeep.empty() ? std::move(fresh) : ToScreen(SourceDeep);
        }
    } catch (const std::exception& e) {
        prompter_.message(this, Prompter::Kind::Error, QString::fromUtf8(e.what()));
        return;
    }
    SourceFileName = name;
    model_.MeasureImage(SourceImage);
    ZoomFitBtnClick();
}

// A picture dropped on the window opens as through its Open.
namespace {

// A local file the lens window's own open reads.
bool DroppedPicture(const QMimeData* data) {
    return data && data->hasUrls() && !data->urls().isEmpty() && data->urls().front().isLocalFile() &&
           LensWindowReads(data->urls().front().toLocalFile().toStdString());
}

}  // namespace

void TLensCorrectionForm::dragEnterEvent(QDragEnterEvent* event) {
    if (DroppedPicture(event->mimeData())) event->acceptProposedAction();
}

void TLensCorrectionForm::dropEvent(QDropEvent* event) {
    const QMimeData* data = event->mimeData();
    if (!DroppedPicture(data)) return;
    event->acceptProposedAction();
    const QString file = data->urls().front().toLocalFile();
    QTimer::singleShot(0, this, [this, file] { openFile(file); });
}

ImageKind TLensCorrectionForm::savedFormat() const {
    return BMPRadio->isChecked() ? ImageKind::Bmp : TIFRadio->isChecked() ? ImageKind::Tiff
                                 : PNGRadio->isChecked() ? ImageKind::Png : ImageKind::Jpeg;
}

void TLensCorrectionForm::SaveBtnClick() {
    const QString chosen = prompter_.saveFile(this, QDir::currentPath(), QString(), QString());
    if (chosen.isEmpty() || SourceImage.empty()) return;
    try {
        WaitCursor wait;
        WriteCorrectedImage(model_, SourceDeep.empty() ? SourceImage : SourceDeep, SourceFileName.toStdString(),
                            QFileInfo(chosen).absolutePath().toStdString(),
                            savedFormat(), JPGQualityTrackBar->value());
    } catch (const std::exception& e) {
        prompter_.message(this, Prompter::Kind::Error, QString::fromUtf8(e.what()));
    }
}

// ---- view ----

void TLensCorrectionForm::ZoomFitBtnClick() {
    const int w = SourceImage.width(), h = SourceImage.height();
    if (static_cast<long long>(w) * h > 0) {
        view.centreX = w / 2;
        view.centreY = h / 2;
        view.zoom = std::max(static_cast<double>(w) / OutputViewBox->width(),
                             static_cast<double>(h) / OutputViewBox->height()) *
                    1.1;
    }
    RenderAndPaint();
}

void TLensCorrectionForm::Zoom1to1BtnClick() {
    view.zoom = 1;
    RenderAndPaint();
}

void TLensCorrectionForm::ZoomInBtnClick() {
    view.zoom /= 1.1;
    RenderAndPaint();
}

void TLensCorrectionForm::ZoomOutBtnClick() {
    view.zoom *= 1.1;
    RenderAndPaint();
}

void TLensCorrectionForm::GridCheckBoxClick() {
    view.grid = GridCheckBox->isChecked();
    RenderAndPaint();
}

void TLensCorrectionForm::OutputViewBoxMouseDown(Qt::MouseButton button, int x, int y) {
    if (button == Qt::RightButton) return;
    panning_ = true;
    mouseDownX_ = x;
    mouseDownY_ = y;
    panStartX_ = view.centreX;
    panStartY_ = view.centreY;
}

void TLensCorrectionForm::OutputViewBoxMouseMove(int x, int y) {
    if (!panning_) return;
    const double k = view.zoom * static_cast<double>(model_.OverallScale);
    view.centreX = static_cast<int>(std::clamp(panStartX_ - std::nearbyint((x - mouseDownX_) * k), -1e9, 1e9));
    view.centreY = static_cast<int>(std::clamp(panStartY_ - std::nearbyint((y - mouseDownY_) * k), -1e9, 1e9));
    DrawPanFrame(x - mouseDownX_, y - mouseDownY_, view.grid ? LensViewPlainBitmap : LensViewBitmap, panBitmap_,
                 view.grid);
    showPan_ = true;
    OutputViewBox->update();
}

void TLensCorrectionForm::OutputViewBoxMouseUp() {
    RenderAndPaint();
    panning_ = false;
}

// ---- sliders ----

void TLensCorrectionForm::SliderLabelMouseDown(LensSlider, Qt::MouseButton button, int x) {
    if (button == Qt::RightButton) return;
    mouseDownX_ = x;
    sliderDragging_ = true;
    for (LensSlider s : kSliders) dragStart_[static_cast<int>(s) - 1] = ValueOf(model_, s);
}

void TLensCorrectionForm::SliderLabelMouseMove(LensSlider slider, int x) {
    if (!sliderHot_) {
        sliderHot_ = true;
        activeSlider_ = slider;
        KeyBuffer->setFocus();
    }
    if (!sliderDragging_) {
        widgets(slider).box->update();
        return;
    }
    setSliderValue(slider, DraggedValue(slider, dragStart_[static_cast<int>(slider) - 1], x - mouseDownX_));
    if (LivePreviewCheckBox->isChecked()) RenderAndPaint();
}

void TLensCorrectionForm::SliderLabelMouseUp(LensSlider slider) {
    sliderDragging_ = false;
    sliderHot_ = false;
    widgets(slider).box->update();
    if (!LivePreviewCheckBox->isChecked()) RenderAndPaint();
}

void TLensCorrectionForm::SliderLabelMouseEnter(LensSlider slider) {
    sliderHot_ = true;
    widgets(slider).box->update();
}

void TLensCorrectionForm::SliderLabelMouseLeave(LensSlider slider) {
    if (sliderDragging_) return;
    sliderHot_ = false;
    widgets(slider).box->update();
}

void TLensCorrectionForm::ResetClick(LensSlider slider) {
    setSliderValue(slider, DefaultValue(slider), true);
    RenderAndPaint();
}

// ---- keys and typed values ----

bool TLensCorrectionForm::FormKeyDown(int key) {
    if (!sliderHot_ || activeSlider_ == LensSlider::None) {
        KeyBuffer->clear();
        return false;
    }
    const int direction = key == Qt::Key_Left ? -1 : key == Qt::Key_Right ? 1 : 0;
    if (direction == 0) return false;
    const LensSlider slider = activeSlider_;
    setSliderValue(slider, KeyedValue(slider, ValueOf(model_, slider), direction));
    RenderAndPaint();
    KeyBuffer->clear();
    return true;
}

void TLensCorrectionForm::setPending(bool pending) {
    UpdateBtn->setEnabled(pending);
    for (QPushButton* b : {OKBtn, OkBtn2, SaveProfileBtn, SaveProfileBtn2}) b->setEnabled(!pending);
}

void TLensCorrectionForm::EditKeyDown(LensSlider slider, int key, const QString& textBefore) {
    const QLabel* framed = framedTextFor(slider);
    if (framed && textBefore != framed->text()) setPending(true);
    if (key == Qt::Key_Return || key == Qt::Key_Enter) UpdateBtnClick();
}

void TLensCorrectionForm::UpdateBtnClick() {
    setPending(false);
    for (LensSlider s : {LensSlider::Rotation, LensSlider::Scale, LensSlider::A, LensSlider::B, LensSlider::C}) {
        ValueOf(model_, s) = TypedValue(s, editFor(s)->text().toStdString());
        showValue(s);
    }
    model_.UpdateCoeffD();
    UpdateProfileLabel();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    RenderAndPaint();
}

void TLensCorrectionForm::PageControlerChange(int index) {
    if (index == 0)
        ResetClick(LensSlider::Rotation);
    else if (UpdateBtn->isEnabled())
        UpdateBtnClick();
}

bool TLensCorrectionForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // The window previews every key: the arrows move the hot slider.
        if (FormKeyDown(key->key())) return true;
        for (LensSlider s : kSliders)
            if (watched == editFor(s)) EditKeyDown(s, key->key(), editFor(s)->text());
    }
    return QDialog::eventFilter(watched, event);
}

void TLensCorrectionForm::keyPressEvent(QKeyEvent* event) {
    if (FormKeyDown(event->key())) return;
    // Enter belongs to the edit boxes, not to the dialog's default button.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) return;
    QDialog::keyPressEvent(event);
}

void TLensCorrectionForm::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    // The view takes the rest of the window; its bitmaps follow.
    const int w = std::max(1, width() - 257), h = std::max(1, height() - 30);
    if (!OutputViewBox || (OutputViewBox->width() == w && OutputViewBox->height() == h)) return;
    OutputViewBox->setGeometry(253, 15, w, h);
    LensViewBitmap.resize(w, h);
    LensViewPlainBitmap.resize(w, h);
    PageControler->resize(249, height());
    RenderAndPaint();
}

void TLensCorrectionForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange) sliderHot_ = false;
    QDialog::changeEvent(event);
}

// ---- profiles ----

void TLensCorrectionForm::UpdateProfileLabel() {
    profileName_ = ToQt(Profile.labelFor({model_.OverallScale, model_.CoeffA, model_.CoeffB, model_.CoeffC}));
    // A name longer than the label keeps its start and its end (the focal
    // length), whole in the tip.
    for (QLabel* label : {ProfileLabel, ProfileLabel2}) {
        const QString shown = label->fontMetrics().elidedText(profileName_, Qt::ElideMiddle, label->width());
        label->setText(shown);
        label->setToolTip(shown == profileName_ ? QString() : profileName_);
    }
}

void TLensCorrectionForm::LoadProfileBtnClick() {
    const QString chosen = prompter_.openFile(this, ProfileDir, kProfileFilter);
    if (chosen.isEmpty()) return;
    ProfileDir = QFileInfo(chosen).absolutePath();
    ProfileReading reading;
    try {
        const auto bytes = ReadFilePrefix(chosen.toStdString(), kProfileReadLimit);
        reading = ReadProfileText(std::string(bytes.begin(), bytes.end()));
    } catch (const std::exception& e) {
        prompter_.message(this, Prompter::Kind::Error, QString::fromUtf8(e.what()));
        return;
    }
    Profile.lines = reading.lines;
    if (!reading.values) {
        prompter_.message(this, Prompter::Kind::Error, ToQt(reading.error));
        return;
    }
    const auto& values = reading.values;
    Profile.name = QFileInfo(chosen).completeBaseName().toStdString();
    const char sep = decimalSeparator();
    OveralScaleEdit->setText(ToQt(ProfileNumber(values->OverallScale, sep)));
    ADistortionEdit->setText(ToQt(ProfileNumber(values->CoeffA, sep)));
    BDistortionEdit->setText(ToQt(ProfileNumber(values->CoeffB, sep)));
    CDistortionEdit->setText(ToQt(ProfileNumber(values->CoeffC, sep)));
    UpdateBtnClick();
}

void TLensCorrectionForm::LensDatabaseBtnClick() {
    if (SourceImage.empty()) return;
    const LensDatabase* database;
    {
        WaitCursor wait;  // the database loads on first use
        database = &LensDatabase::Shared();
    }
    TLensDatabaseForm form(*database, LensTagsOf(SourceFileName.toStdString()), SourceImage.width(),
                           SourceImage.height(), this);
    if (prompter_.showModal(&form) != QDialog::Accepted || !form.chosen()) return;
    const std::optional<LensMatch>& chosen = form.chosen();
    databaseLens_ = chosen;
    Bitmap none;
    const std::string why = database->correctVignetting(*chosen, LensTagsOf(SourceFileName.toStdString()), none);
    VignettingCheckBox->setEnabled(why.empty());
    if (!why.empty()) VignettingCheckBox->setChecked(false);
    VignettingCheckBox->setToolTip(ToQt(why.empty() ? "Brighten the corners by the database's data for this lens" : why));
    // Taken as a profile of that name, so the label names the lens while the values stay.
    const TLensCorrection& c = chosen->correction;
    const LensProfileValues values{c.LensScale, c.LensA, c.LensB, c.LensC};
    const char sep = decimalSeparator();
    Profile.lines = SplitLines(ProfileText(values, sep));
    Profile.name = chosen->profileName();
    OveralScaleEdit->setText(ToQt(ProfileNumber(values.OverallScale, sep)));
    ADistortionEdit->setText(ToQt(ProfileNumber(values.CoeffA, sep)));
    BDistortionEdit->setText(ToQt(ProfileNumber(values.CoeffB, sep)));
    CDistortionEdit->setText(ToQt(ProfileNumber(values.CoeffC, sep)));
    UpdateBtnClick();
}

void TLensCorrectionForm::SaveProfileBtnClick() {
    const QString chosen = prompter_.saveFile(this, ProfileDir, kProfileFilter, profileName_ + ".pfl");
    if (chosen.isEmpty()) return;
    // The question is asked about the file that will actually be written.
    const QString target = ToQt(ProfileFileName(chosen.toStdString()));
    const QString name = QFileInfo(chosen).completeBaseName();
    if (QFileInfo::exists(target) &&
        prompter_.message(this, Prompter::Kind::Warning, "Overwrite existing " + name + " profile ?") ==
            Prompter::Answer::Cancel)
        return;
    ProfileDir = QFileInfo(chosen).absolutePath();
    const std::string text = ProfileText({model_.OverallScale, model_.CoeffA, model_.CoeffB, model_.CoeffC},
                                         decimalSeparator());
    try {
        WriteFileAtomically(target.toStdString(), std::vector<std::uint8_t>(text.begin(), text.end()));
    } catch (const std::exception& e) {
        prompter_.message(this, Prompter::Kind::Error, QString::fromUtf8(e.what()));
        return;
    }
    Profile.lines = SplitLines(text);
    Profile.name = name.toStdString();
    ProfileLabel->setText(name);
    ProfileLabel2->setText(name);
}

void TLensCorrectionForm::ClearProfileBtnClick() {
    Profile.clear();
    OveralScaleEdit->setText("1");
    ADistortionEdit->setText("0");
    BDistortionEdit->setText("0");
    CDistortionEdit->setText("0");
    UpdateBtnClick();
}

// ---- leaving ----

void TLensCorrectionForm::OKBtnClick() {
    workspace_.setLens(CorrectionOf(model_));
    // Each picture by its own focal length and aperture.
    if (VignettingCheckBox->isEnabled() && VignettingCheckBox->isChecked() && databaseLens_)
        workspace_.setLoadFilter([match = *databaseLens_](Bitmap& picture, const std::string& path) {
            LensDatabase::Shared().correctVignetting(match, LensTagsOf(path), picture);
        });
    else
        workspace_.setLoadFilter({});
    accept();
}

void TLensCorrectionForm::CancelBtnClick() { reject(); }

}  // namespace vantrel
