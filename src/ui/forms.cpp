#include "forms.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "bitmap_image.h"
#include "lens/target_scan.h"
#include "paint_box.h"
#include "widgets.h"


namespace vantrel {

namespace {

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

TCallibrationTargetForm::TCallibrationTargetForm(QWidget* parent) : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    setObjectName("CallibrationTargetForm");
    setWindowTitle("Callibration Target");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    CallibrationTargetPaintBox = new PaintBox(this);
    CallibrationTargetPaintBox->setObjectName("CallibrationTargetPaintBox");
    layout->addWidget(CallibrationTargetPaintBox);
    CallibrationTargetPaintBox->onPaint = [this](QPainter& p) {
        Bitmap pattern(CallibrationTargetPaintBox->width(), CallibrationTargetPaintBox->height());
        DrawTargetPattern(pattern);
        p.drawImage(0, 0, WrapBitmap(pattern));
    };
    CallibrationTargetPaintBox->onMouseUp = [this](Qt::MouseButton, int, int) { CallibrationTargetPaintBoxClick(); };
}

void TCallibrationTargetForm::CallibrationTargetPaintBoxClick() {
    hide();
    // Back to the lens window as it was (modal while it runs); a lens window
    // already gone is not brought back without its modality.
    if (returnTo && returnTo->isVisible()) {
        returnTo->raise();
        returnTo->activateWindow();
    }
}

void TCallibrationTargetForm::keyPressEvent(QKeyEvent* event) {
    // Escape dismisses the target only; it never reaches the lens window.
    if (event->key() == Qt::Key_Escape)
        CallibrationTargetPaintBoxClick();
    else
        QWidget::keyPressEvent(event);
}

}  // namespace vantrel
