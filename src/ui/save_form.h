#pragma once

#include <QDialog>
#include <array>
#include <optional>

#include "align/mapping.h"
#include "save/image_writer.h"
#include "imaging/bitmap.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QComboBox;

namespace vantrel {

class PaintBox;
class Prompter;
class Workspace;

// "Save Aligned Images": names the output files, warns about overwrites,
// previews any slot at reduced scale and sets type, quality and borders.
// It writes nothing; the main window reads its choices on OK.
class TSaveForm : public QDialog {
public:
    TSaveForm(Workspace& workspace, Prompter& prompter, QWidget* parent = nullptr);

    void RecalculateBtnClick();
    void SelectDirBtnClick();
    void JPGQualitySliderChange();
    void OKBtnClick();
    void CancelBtnClick();
    void OutputFileListClick();
    void ImageSourceNameEditClick(int n);
    void TopBdrEditChange();
    void BordersCheckBoxClick();
    void OutputDirEditChange();

    // The borders in force: the four fields when "Borders" is checked, else 0.
    Borders borders() const;
    ImageKind format() const;
    int quality() const;
    // Everything the save is written with.
    SaveOptions options() const;
    // The images may have moved since the dialog was last shown.
    void forgetCommonArea() { cropBorders_.reset(); }
    // Deep pictures loaded: until the user picks a type, .tif, which keeps
    // their depth; else .jpg, as ever.
    void offerDepthOf(bool deepPictures);

    std::array<QLineEdit*, kSlotCount> SourceNameEdit{};
    QLineEdit* AlignedTextEdit;
    QCheckBox* AppendCheckBox;
    QListWidget* OutputFileList;
    std::array<QFrame*, kSlotCount> MasterMarker{};
    std::array<QFrame*, kSlotCount> FileOverwriteMarker{};
    QLabel* FileOverwriteWarningStaticText;
    QLabel* OutputFullDirLabel;
    QPushButton* SelectDirBtn;
    QCheckBox* BordersCheckBox;
    QLineEdit *TopBdrEdit, *LeftBdrEdit, *BottomBdrEdit, *RightBdrEdit;
    QRadioButton *BMPRadio, *JPGRadio, *TIFRadio, *PNGRadio;
    QCheckBox *CropCheckBox, *TransparentCheckBox;
    QLabel* BordersIgnoredLabel;
    QSlider* JPGQualitySlider;
    // "Source depth", "8 bits", "16 bits", "32-bit float": the samples written.
    QComboBox* DepthCombo;
    QLabel* JPGQualityLabel;
    QPushButton *OKBtn, *CancelBtn;
    PaintBox* ImagePreviewPaintBox;
    QProgressBar* ProgressBar;
    QLabel* OutputDirLabel;
    QLineEdit* OutputDirEdit;
    QPushButton* RecalculateBtn;

    std::array<QString, kSlotCount> SourceBaseName, OutputFileName, OutputFullPath;
    QString OutputDir;
    QString NameProblem;  // why the names cannot be written; empty when they can
    Bitmap PreviewBitmap;
    int PreviewIndex = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void WrapDirectoryLabel();
    void FormatChanged();
    bool transparentWanted_ = false;  // the box as the user left it
    bool formatChosen_ = false;       // a type button was clicked
    bool offeredDeep_ = false;        // the type was last set for deep pictures
    Borders previewBorders();
    std::optional<Borders> cropBorders_;  // worked out once while the dialog is shown
    void RenderSavePreview(int n);
    void redrawPreview();

    Workspace& workspace_;
    Prompter& prompter_;
};

}  // namespace vantrel
