#include "save_form.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QStandardItemModel>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>

#include "bitmap_image.h"
#include "paint_box.h"
#include "prompter.h"
#include "save/output_naming.h"
#include "widgets.h"
#include "workspace/workspace.h"

namespace vantrel {

namespace {

QFrame* AddBar(QWidget* parent, const QString& name, const QRect& geometry, const QString& colour) {
    auto* bar = new QFrame(parent);
    bar->setObjectName(name);
    bar->setGeometry(geometry);
    bar->setStyleSheet(QString("background-color: %1;").arg(colour));
    bar->hide();
    return bar;
}

const char* const kLightRed = "rgb(255, 150, 150)";

}  // namespace

TSaveForm::TSaveForm(Workspace& workspace, Prompter& prompter, QWidget* parent)
    : QDialog(parent), workspace_(workspace), prompter_(prompter) {
    setObjectName("SaveForm");
    setWindowTitle("Save Aligned Images");
    setFixedSize(863, 635);
    UseWindowFont(this);

    AddLabel(this, "Input File Names  (click to edit)", 8, 6);
    for (int i = 0; i < kSlotCount; ++i) {
        const int n = i + 1;
        SourceNameEdit[i] = new QLineEdit(this);
        SourceNameEdit[i]->setObjectName(QString("Image%1SourceNameEdit").arg(n));
        SourceNameEdit[i]->setGeometry(8, 24 + 24 * i, 208, 21);
        connect(SourceNameEdit[i], &QLineEdit::textChanged, this, [this] { RecalculateBtnClick(); });
        SourceNameEdit[i]->installEventFilter(this);
    }
    AddLabel(this, "Tag", 8, 100);
    AlignedTextEdit = new QLineEdit("Aligned", this);
    AlignedTextEdit->setObjectName("AlignedTextEdit");
    AlignedTextEdit->setGeometry(8, 116, 120, 21);
    connect(AlignedTextEdit, &QLineEdit::textChanged, this, [this] { RecalculateBtnClick(); });
    AppendCheckBox = new QCheckBox("Append", this);
    AppendCheckBox->setObjectName("AppendCheckBox");
    AppendCheckBox->setGeometry(140, 118, 76, 17);
    AppendCheckBox->setChecked(true);
    connect(AppendCheckBox, &QCheckBox::clicked, this, [this] { RecalculateBtnClick(); });

    AddLabel(this, "Output File List  (click to preview)", 8, 144);
    OutputFileList = new QListWidget(this);
    OutputFileList->setObjectName("OutputFileList");
    OutputFileList->setGeometry(20, 162, 180, 64);
    OutputFileList->setUniformItemSizes(true);
    // Long names keep their start and their tag and extension.
    OutputFileList->setTextElideMode(Qt::ElideMiddle);
    connect(OutputFileList, &QListWidget::itemClicked, this, [this] { OutputFileListClick(); });
    for (int i = 0; i < kSlotCount; ++i) {
        MasterMarker[i] = AddBar(this, QString("Image%1MasterMarker").arg(i + 1), QRect(8, 166 + 20 * i, 8, 14), "yellow");
        FileOverwriteMarker[i] =
            AddBar(this, QString("Image%1FileOverwriteMarker").arg(i + 1), QRect(204, 166 + 20 * i, 8, 14), kLightRed);
    }
    FileOverwriteWarningStaticText = new QLabel("   File Overwrite Warning  ", this);
    FileOverwriteWarningStaticText->setObjectName("FileOverwriteWarningStaticText");
    FileOverwriteWarningStaticText->setGeometry(20, 230, 180, 18);
    FileOverwriteWarningStaticText->setAlignment(Qt::AlignCenter);
    FileOverwriteWarningStaticText->setStyleSheet(
        QString("background-color: %1; border: 1px solid black;").arg(kLightRed));
    FileOverwriteWarningStaticText->hide();

    AddLabel(this, "Output Directory", 8, 254);
    auto* shape = new QFrame(this);
    shape->setObjectName("Shape1");
    shape->setGeometry(8, 270, 181, 101);
    shape->setFrameShape(QFrame::Box);
    OutputFullDirLabel = new QLabel(this);
    OutputFullDirLabel->setObjectName("OutputFullDirLabel");
    OutputFullDirLabel->setGeometry(10, 272, 177, 97);
    OutputFullDirLabel->setWordWrap(true);
    OutputFullDirLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    OutputFullDirLabel->setStyleSheet("background-color: white;");
    SelectDirBtn = new QPushButton("Browse", this);
    SelectDirBtn->setObjectName("SelectDirBtn");
    SelectDirBtn->setGeometry(114, 376, 75, 25);
    connect(SelectDirBtn, &QPushButton::clicked, this, [this] { SelectDirBtnClick(); });

    BordersCheckBox = new QCheckBox("Borders", this);
    BordersCheckBox->setObjectName("BordersCheckBox");
    BordersCheckBox->setGeometry(8, 408, 80, 17);
    connect(BordersCheckBox, &QCheckBox::clicked, this, [this] { BordersCheckBoxClick(); });
    auto addBorder = [&](const char* name, int x, int y) {
        auto* edit = new QLineEdit("50", this);
        edit->setObjectName(name);
        edit->setGeometry(x, y, 40, 21);
        connect(edit, &QLineEdit::textChanged, this, [this] { TopBdrEditChange(); });
        return edit;
    };
    TopBdrEdit = addBorder("TopBdrEdit", 60, 430);
    LeftBdrEdit = addBorder("LeftBdrEdit", 14, 454);
    RightBdrEdit = addBorder("RightBdrEdit", 106, 454);
    BottomBdrEdit = addBorder("BottomBdrEdit", 60, 478);

    CropCheckBox = new QCheckBox("Crop to common area", this);
    CropCheckBox->setObjectName("CropCheckBox");
    CropCheckBox->setGeometry(72, 408, 150, 17);
    connect(CropCheckBox, &QCheckBox::clicked, this, [this] {
        BordersIgnoredLabel->setVisible(CropCheckBox->isChecked() && BordersCheckBox->isChecked());
        BordersCheckBoxClick();
    });
    BordersIgnoredLabel = new QLabel("ignored when cropping", this);
    BordersIgnoredLabel->setObjectName("BordersIgnoredLabel");
    BordersIgnoredLabel->setGeometry(152, 440, 72, 34);
    BordersIgnoredLabel->setWordWrap(true);
    BordersIgnoredLabel->hide();

    AddLabel(this, "File Type", 8, 508);
    BMPRadio = AddRadio(this, "BMPRadio", ".bmp", QRect(8, 524, 60, 17));
    JPGRadio = AddRadio(this, "JPGRadio", ".jpg", QRect(76, 524, 60, 17));
    // Named as the first two are, by their files' extension.
    TIFRadio = AddRadio(this, "TIFRadio", ".tif", QRect(134, 524, 44, 17));
    PNGRadio = AddRadio(this, "PNGRadio", ".png", QRect(178, 524, 46, 17));
    JPGRadio->setChecked(true);
    for (QRadioButton* radio : {BMPRadio, JPGRadio, TIFRadio, PNGRadio})
        connect(radio, &QRadioButton::clicked, this, [this] {
            formatChosen_ = true;
            FormatChanged();
            RecalculateBtnClick();
        });
    TransparentCheckBox = new QCheckBox("Transparent borders", this);
    TransparentCheckBox->setObjectName("TransparentCheckBox");
    TransparentCheckBox->setGeometry(80, 506, 144, 17);
    connect(TransparentCheckBox, &QCheckBox::toggled, this, [this](bool on) { transparentWanted_ = on; });

    AddLabel(this, "Quality", 8, 550);
    DepthCombo = new QComboBox(this);
    DepthCombo->setObjectName("DepthCombo");
    DepthCombo->setGeometry(112, 546, 112, 20);
    DepthCombo->addItems({"Source depth", "8 bits", "16 bits", "32-bit float"});
    DepthCombo->setToolTip("The samples written: each image's own depth, or the one chosen");
    JPGQualitySlider = new QSlider(Qt::Horizontal, this);
    JPGQualitySlider->setObjectName("JPGQualitySlider");
    JPGQualitySlider->setGeometry(8, 566, 150, 22);
    JPGQualitySlider->setRange(1, 100);
    JPGQualitySlider->setSingleStep(1);
    JPGQualitySlider->setValue(100);
    connect(JPGQualitySlider, &QSlider::valueChanged, this, [this] { JPGQualitySliderChange(); });
    JPGQualityLabel = new QLabel("100 %", this);
    JPGQualityLabel->setObjectName("JPGQualityLabel");
    JPGQualityLabel->setGeometry(164, 568, 50, 17);
    FormatChanged();

    OKBtn = new QPushButton("Ok... Save", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setGeometry(8, 600, 96, 27);
    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setGeometry(120, 600, 96, 27);
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });

    ImagePreviewPaintBox = new PaintBox(this);
    ImagePreviewPaintBox->setObjectName("ImagePreviewPaintBox");
    ImagePreviewPaintBox->setGeometry(226, 3, 629, 629);
    ImagePreviewPaintBox->onPaint = [this](QPainter& p) { p.drawImage(0, 0, WrapBitmap(PreviewBitmap)); };
    PreviewBitmap.resize(629, 629);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setRange(0, 100);
    ProgressBar->hide();
    OutputDirLabel = new QLabel(this);
    OutputDirLabel->setObjectName("OutputDirLabel");
    OutputDirLabel->hide();
    OutputDirEdit = new QLineEdit(this);
    OutputDirEdit->setObjectName("OutputDirEdit");
    OutputDirEdit->hide();
    connect(OutputDirEdit, &QLineEdit::textChanged, this, [this] { OutputDirEditChange(); });
    RecalculateBtn = new QPushButton(this);
    RecalculateBtn->setObjectName("RecalculateBtn");
    RecalculateBtn->hide();
    connect(RecalculateBtn, &QPushButton::clicked, this, [this] { RecalculateBtnClick(); });
}

bool TSaveForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonPress)
        for (int n = 0; n < kSlotCount; ++n)
            if (watched == SourceNameEdit[n]) ImageSourceNameEditClick(n + 1);
    return QDialog::eventFilter(watched, event);
}

Borders TSaveForm::borders() const {
    if (!BordersCheckBox->isChecked()) return {};
    return {BorderValue(TopBdrEdit->text().toStdString()), BorderValue(LeftBdrEdit->text().toStdString()),
            BorderValue(BottomBdrEdit->text().toStdString()), BorderValue(RightBdrEdit->text().toStdString())};
}

ImageKind TSaveForm::format() const {
    return BMPRadio->isChecked() ? ImageKind::Bmp : TIFRadio->isChecked() ? ImageKind::Tiff
                                 : PNGRadio->isChecked() ? ImageKind::Png : ImageKind::Jpeg;
}

SaveOptions TSaveForm::options() const {
    SaveOptions o{format(), quality(), borders(), CropCheckBox->isChecked(),
                  TransparentCheckBox->isChecked() && FormatOf(format()).writesAlpha};
    const int depth = DepthCombo->currentIndex();
    if (depth > 0) o.depth = depth == 1 ? SampleDepth::U8 : depth == 2 ? SampleDepth::U16 : SampleDepth::Float;
    return o;
}

void TSaveForm::offerDepthOf(bool deepPictures) {
    if (formatChosen_ || deepPictures == offeredDeep_) return;
    offeredDeep_ = deepPictures;
    (deepPictures ? TIFRadio : JPGRadio)->setChecked(true);
    FormatChanged();
}

// Only a format with alpha offers transparency; the box keeps its tick.
void TSaveForm::FormatChanged() {
    // A format without alpha shows the box unticked, and says why; the
    // choice comes back with a format that has alpha.
    const bool alpha = FormatOf(format()).writesAlpha;
    TransparentCheckBox->setEnabled(alpha);
    {
        const QSignalBlocker keep(TransparentCheckBox);  // the user's choice stays as it was
        TransparentCheckBox->setChecked(alpha && transparentWanted_);
    }
    TransparentCheckBox->setToolTip(alpha ? QString() : QString("%1 has no alpha channel").arg(FormatOf(format()).name));
    // Depth where the format has a choice: PNG holds no float.
    const SampleDepth deepest = FormatOf(format()).deepest;
    DepthCombo->setEnabled(deepest != SampleDepth::U8);
    if (auto* model = qobject_cast<QStandardItemModel*>(DepthCombo->model())) {
        QStandardItem* floating = model->item(3);
        floating->setEnabled(deepest == SampleDepth::Float);
        if (!floating->isEnabled() && DepthCombo->currentIndex() == 3) DepthCombo->setCurrentIndex(2);
    }
    DepthCombo->setToolTip(deepest == SampleDepth::U8 ? QString("%1 holds 8 bits").arg(FormatOf(format()).name)
                                                      : QString("The samples written: each image's own depth, or the one chosen"));
    // The quality is a JPEG's alone.
    const bool quality = format() == ImageKind::Jpeg;
    JPGQualitySlider->setEnabled(quality);
    JPGQualityLabel->setEnabled(quality);
}

Borders TSaveForm::previewBorders() {
    if (!CropCheckBox->isChecked()) return borders();
    if (!cropBorders_) {
        try {
            cropBorders_ = SaveBorders(workspace_, options());
        } catch (const std::exception&) {
            cropBorders_ = Borders{};  // no common area: the save says so
        }
    }
    return *cropBorders_;
}

int TSaveForm::quality() const { return JPGQualitySlider->value(); }

void TSaveForm::WrapDirectoryLabel() {
    const QFontMetrics metrics(OutputFullDirLabel->font());
    OutputFullDirLabel->setText(QString::fromStdString(vantrel::WrapDirectoryLabel(
        OutputDir.toStdString(), OutputFullDirLabel->width(),
        [&](const std::string& s) { return metrics.horizontalAdvance(QString::fromStdString(s)); })));
}

void TSaveForm::OutputDirEditChange() {
    const QSignalBlocker block(OutputDirEdit);
    OutputDirEdit->setText(OutputDir);
    WrapDirectoryLabel();
}

void TSaveForm::RecalculateBtnClick() {
    OutputFileList->clear();
    OutputDirEditChange();
    OutputDirLabel->setText(QString("Output Directory ...") + QDir::separator() + QFileInfo(OutputDir).fileName());

    SaveNaming naming;
    for (int n = 0; n < kSlotCount; ++n) {
        naming.enabled[n] = SourceNameEdit[n]->isEnabled();
        naming.baseName[n] = SourceNameEdit[n]->text().toStdString();
    }
    naming.tag = AlignedTextEdit->text().toStdString();
    naming.append = AppendCheckBox->isChecked();
    naming.format = format();
    naming.outputDir = OutputDirEdit->text().toStdString();
    for (int n = 0; n < kSlotCount; ++n) naming.sourcePath[n] = workspace_.slot(n + 1).FilePath;
    const OutputNames names = ComputeOutputNames(
        naming, [](const std::string& path) { return QFileInfo::exists(QString::fromStdString(path)); });
    for (int n = 0; n < kSlotCount; ++n) {
        OutputFileName[n] = QString::fromStdString(names.fileName[n]);
        OutputFullPath[n] = QString::fromStdString(names.fullPath[n]);
        if (!naming.enabled[n]) SourceBaseName[n].clear();
        OutputFileList->addItem(OutputFileName[n]);
        OutputFileList->item(n)->setToolTip(OutputFileName[n]);  // the whole name where the row cuts it
        FileOverwriteMarker[n]->setVisible(names.exists[n]);
    }
    FileOverwriteWarningStaticText->setVisible(names.anyExists);
    NameProblem = QString::fromStdString(names.problem);
}

void TSaveForm::SelectDirBtnClick() {
    QString files;
    for (int n = 0; n < kSlotCount; ++n)
        if (SourceNameEdit[n]->isEnabled()) files += OutputFileName[n] + "; ";
    const QString chosen = prompter_.chooseDirectory(this, "Choose Output Directory", OutputDir, files);
    if (chosen.isEmpty()) return;
    OutputDir = QDir::toNativeSeparators(chosen);
    RecalculateBtnClick();
}

void TSaveForm::JPGQualitySliderChange() { JPGQualityLabel->setText(QString("%1%").arg(JPGQualitySlider->value())); }

void TSaveForm::OKBtnClick() {
    // Names that would leave the directory or collide are mended here, not written.
    if (!NameProblem.isEmpty()) {
        prompter_.message(this, Prompter::Kind::Error, NameProblem);
        return;
    }
    OutputNames names;
    names.fullPath.resize(kSlotCount);
    names.exists.resize(kSlotCount);
    std::vector<bool> enabled(kSlotCount);
    for (int n = 0; n < kSlotCount; ++n) {
        names.fullPath[n] = OutputFullPath[n].toStdString();
        names.exists[n] = !OutputFullPath[n].isEmpty() && QFileInfo::exists(OutputFullPath[n]);
        enabled[n] = SourceNameEdit[n]->isEnabled();
    }
    const std::string message = OverwriteMessage(names, enabled);
    if (!message.empty() &&
        prompter_.message(this, Prompter::Kind::Warning, QString::fromStdString(message)) == Prompter::Answer::Cancel)
        return;
    accept();
}

void TSaveForm::CancelBtnClick() { reject(); }

void TSaveForm::RenderSavePreview(int n) {
    WaitCursor wait;
    vantrel::RenderSavePreview(workspace_.source(n), n == workspace_.MasterIndex(), workspace_.masterGeometry(), previewBorders(),
                               PreviewBitmap, [this](int percent) { ProgressBar->setValue(percent); });
}

void TSaveForm::redrawPreview() { ImagePreviewPaintBox->update(); }

void TSaveForm::OutputFileListClick() {
    PreviewBitmap.fill(0, 0, 0);
    const int row = OutputFileList->currentRow();
    if (row >= 0 && row < kSlotCount && workspace_.slot(row + 1).Loaded && !OutputFileName[row].isEmpty()) {
        RenderSavePreview(row + 1);
        PreviewIndex = row + 1;
    }
    redrawPreview();
}

void TSaveForm::ImageSourceNameEditClick(int n) {
    RenderSavePreview(n);
    OutputFileList->setCurrentRow(n - 1);
    redrawPreview();
}

void TSaveForm::TopBdrEditChange() {
    if (!BordersCheckBox->isChecked()) return;
    BordersCheckBoxClick();
}

void TSaveForm::BordersCheckBoxClick() {
    BordersIgnoredLabel->setVisible(CropCheckBox->isChecked() && BordersCheckBox->isChecked());
    PreviewBitmap.fill(0, 0, 0);
    if (PreviewIndex >= 1 && PreviewIndex <= kSlotCount && workspace_.slot(PreviewIndex).Loaded) RenderSavePreview(PreviewIndex);
    redrawPreview();
}

}  // namespace vantrel
