#pragma once

#include <QDialog>

class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace vantrel {

class Workspace;

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

// The lens correction window. For now it lists the chosen files and accepts
// or rejects them, handing the identity correction back on OK; the preview,
// sliders and profiles come later.
class TLensCorrectionForm : public QDialog {
public:
    TLensCorrectionForm(Workspace& workspace, QWidget* parent = nullptr);

    void ImageListBoxClick();
    void OKBtnClick();
    void CancelBtnClick();

    QListWidget* ImageListBox;
    QPushButton* OKBtn;
    QPushButton* CancelBtn;

    // The values the window stands at; copied to the main window on OK.
    long double OverallScale = 1, CoeffA = 0, CoeffB = 0, CoeffC = 0, CoeffD = 1;
    // The file the list points at (full path), empty when none.
    QString ListFileName;

private:
    Workspace& workspace_;
};

}  // namespace vantrel
