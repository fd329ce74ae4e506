#include "forms.h"

#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>

#include "workspace/workspace.h"

namespace vantrel {

namespace {

QLabel* AddLabel(QWidget* parent, const QString& text, const QRect& geometry, const char* name = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    if (name) label->setObjectName(name);
    return label;
}

QPlainTextEdit* AddMemo(QWidget* parent, const char* name, const QRect& geometry) {
    auto* memo = new QPlainTextEdit(parent);
    memo->setObjectName(name);
    memo->setGeometry(geometry);
    memo->setReadOnly(true);
    return memo;
}

}  // namespace

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
    setObjectName("AboutForm");
    setWindowTitle("About");
    setFixedSize(208, 270);
    auto* title = AddLabel(this, "Vantrel v2.0", QRect(8, 16, 192, 24));
    QFont bold = title->font();
    bold.setBold(true);
    bold.setPixelSize(16);
    title->setFont(bold);
    title->setAlignment(Qt::AlignCenter);
    const char* lines[] = {"Aligns bracketed exposures", "for HDR merging,", "pixel for pixel.",
                           "Lens correction included."};
    for (int i = 0; i < 4; ++i) AddLabel(this, lines[i], QRect(8, 64 + 28 * i, 192, 20))->setAlignment(Qt::AlignCenter);
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("BitBtn1");
    ok->setGeometry(66, 220, 75, 25);
    connect(ok, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
}

void TAboutForm::BitBtn1Click() { accept(); }

TDebugForm::TDebugForm(QWidget* parent) : QDialog(parent) {
    setObjectName("DebugForm");
    setWindowTitle("Vantrel Debug Form");
    setModal(false);
    resize(760, 520);
    CPDataMemo = AddMemo(this, "CPDataMemo", QRect(8, 8, 240, 500));
    ImageDataMemo = AddMemo(this, "ImageDataMemo", QRect(256, 8, 240, 500));
    Image1rgbMemo = AddMemo(this, "Image1rgbMemo", QRect(504, 8, 248, 140));
    Image2rgbMemo = AddMemo(this, "Image2rgbMemo", QRect(504, 180, 248, 140));
    Image3rgbMemo = AddMemo(this, "Image3rgbMemo", QRect(504, 352, 248, 140));
    Image1Pixel = AddLabel(this, QString(), QRect(504, 150, 248, 20), "Image1Pixel");
    Image2Pixel = AddLabel(this, QString(), QRect(504, 322, 248, 20), "Image2Pixel");
    Image3Pixel = AddLabel(this, QString(), QRect(504, 494, 248, 20), "Image3Pixel");
}

TLensCorrectionForm::TLensCorrectionForm(Workspace& workspace, QWidget* parent)
    : QDialog(parent), workspace_(workspace) {
    setObjectName("LensCorrectionForm");
    setWindowTitle("Lens Correction Module");
    resize(892, 665);
    AddLabel(this, "Image List  (click to select)", QRect(8, 8, 233, 16), "Label11");
    ImageListBox = new QListWidget(this);
    ImageListBox->setObjectName("ImageListBox");
    ImageListBox->setGeometry(8, 26, 233, 64);
    ImageListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(ImageListBox, &QListWidget::itemClicked, this, [this] { ImageListBoxClick(); });
    CancelBtn = new QPushButton("Cancel", this);
    CancelBtn->setObjectName("CancelBtn");
    CancelBtn->setGeometry(8, 620, 75, 25);
    OKBtn = new QPushButton("OK", this);
    OKBtn->setObjectName("OKBtn");
    OKBtn->setGeometry(166, 620, 75, 25);
    connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { CancelBtnClick(); });
}

void TLensCorrectionForm::ImageListBoxClick() {
    const int row = ImageListBox->currentRow();
    if (row >= 0 && row < 3 && row < static_cast<int>(workspace_.FileList.size()))
        ListFileName = QString::fromStdString(workspace_.FileList[static_cast<std::size_t>(row)]);
}

void TLensCorrectionForm::OKBtnClick() {
    workspace_.LensScale = OverallScale;
    workspace_.LensA = CoeffA;
    workspace_.LensB = CoeffB;
    workspace_.LensC = CoeffC;
    workspace_.LensD = CoeffD;
    accept();
}

void TLensCorrectionForm::CancelBtnClick() { reject(); }

}  // namespace vantrel
