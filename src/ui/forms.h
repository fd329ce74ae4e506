#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;

namespace vantrel {

// The About box.
class TAboutForm : public QDialog {
public:
    explicit TAboutForm(QWidget* parent = nullptr);
    void BitBtn1Click();
};

// The debug window's controls; its listings are filled by the alignment code.
class TDebugForm : public QDialog {
public:
    explicit TDebugForm(QWidget* parent = nullptr);

    QPlainTextEdit* CPDataMemo;
    QPlainTextEdit* ImageDataMemo;
    QPlainTextEdit* Image1rgbMemo;
    QPlainTextEdit* Image2rgbMemo;
    QPlainTextEdit* Image3rgbMemo;
    QLabel* Image1Pixel;
    QLabel* Image2Pixel;
    QLabel* Image3Pixel;
};

class PaintBox;

// The full-screen calibration target: red and green squares of 50 pixels.
// A click anywhere hides it and brings the lens correction window back.
class TCallibrationTargetForm : public QWidget {
public:
    explicit TCallibrationTargetForm(QWidget* parent = nullptr);
    void CallibrationTargetPaintBoxClick();
    PaintBox* CallibrationTargetPaintBox;
    QWidget* returnTo = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace vantrel
