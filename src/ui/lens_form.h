#pragma once

#include <QDialog>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "formats/image_format.h"
#include "lens/distortion.h"
#include "lens/lens_controls.h"
#include "lens/lens_profile.h"
#include "lensdb/lens_database.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabWidget;

namespace vantrel {

class EventLabel;
class PaintBox;
class Prompter;
class Workspace;

// "Lens Correction Module": the chosen files are listed and the first one
// opened; the correction is tuned with sliders, typed values and arrow keys
// against a zoomable preview; profiles are loaded and saved; OK hands the
// values to the main window. The hidden "Save" page (Ctrl+Shift+S) opens and
// saves single corrected images.
class TLensCorrectionForm : public QDialog {
public:
    // `fileList` is the main window's list of the files being opened.
    TLensCorrectionForm(Workspace& workspace, const std::vector<std::string>& fileList, Prompter& prompter,
                        QWidget* parent = nullptr);

    // Opening.
    void ImageListBoxClick();
    void OpenBtnClick();
    void SaveBtnClick();
    // The file type picked on the save page.
    ImageKind savedFormat() const;
    // View.
    void ZoomFitBtnClick();
    void Zoom1to1BtnClick();
    void ZoomInBtnClick();
    void ZoomOutBtnClick();
    void GridCheckBoxClick();
    void OutputViewBoxMouseDown(Qt::MouseButton button, int x, int y);
    void OutputViewBoxMouseMove(int x, int y);
    void OutputViewBoxMouseUp();
    // Sliders (one function per event, taking the slider).
    void SliderLabelMouseDown(LensSlider slider, Qt::MouseButton button, int x);
    void SliderLabelMouseMove(LensSlider slider, int x);
    void SliderLabelMouseUp(LensSlider slider);
    void SliderLabelMouseEnter(LensSlider slider);
    void SliderLabelMouseLeave(LensSlider slider);
    void ResetClick(LensSlider slider);
    // Keys and typed values.
    bool FormKeyDown(int key);
    void EditKeyDown(LensSlider slider, int key, const QString& textBefore);
    void UpdateBtnClick();
    void PageControlerChange(int index);
    // Profiles.
    void LoadProfileBtnClick();
    void SaveProfileBtnClick();
    void ClearProfileBtnClick();
    void UpdateProfileLabel();
    // The lens database: what it holds for the selected photograph, taken on OK.
    void LensDatabaseBtnClick();
    // Calibration target and scan.
    void CalibrationTargetBtnClick();
    void ProcessBtnClick();
    QWidget* CallibrationTargetForm = nullptr;
    QLineEdit *RThresholdEdit, *GThresholdEdit, *BThresholdEdit, *SearchSizeEdit, *PointThresholdEdit;
    QLabel* CounterLabel;
    // Leaving.
    void OKBtnClick();
    void CancelBtnClick();

    void RenderAndPaint();
    LensModel& model() { return model_; }
    const Bitmap& sourceImage() const { return SourceImage; }
    QLineEdit* editFor(LensSlider slider) const;
    QLabel* framedTextFor(LensSlider slider) const;
    EventLabel* sliderLabelFor(LensSlider slider) const;

    QTabWidget* PageControler = nullptr;
    QListWidget* ImageListBox;
    PaintBox* OutputViewBox = nullptr;
    QLabel *ProfileLabel, *ProfileLabel2;
    QLineEdit *OveralScaleEdit, *ADistortionEdit, *BDistortionEdit, *CDistortionEdit, *RotationEdit;
    QLabel *OveralScaleStaticText, *ADistortionStaticText, *BDistortionStaticText, *CDistortionStaticText,
        *RotationStaticText;
    QCheckBox* VignettingCheckBox;
    QPushButton *LensDatabaseBtn, *UpdateBtn, *OKBtn, *OkBtn2, *CancelBtn, *CancelBtn2, *SaveProfileBtn, *SaveProfileBtn2;
    QCheckBox *GridCheckBox, *LivePreviewCheckBox;
    QLineEdit* KeyBuffer;
    QRadioButton *BMPRadio, *JPGRadio, *TIFRadio, *PNGRadio;
    QSlider* JPGQualityTrackBar;

    QString SourceFileName;
    QString ListFileName;
    bool OpenFromList = false;
    TLoadedProfile Profile;  // the profile last loaded or saved
    QString ProfileDir;
    Bitmap SourceImage;  // as the screen shows it
    Bitmap SourceDeep;   // the picture at its own depth when deeper than 8 bits, for the corrected save
    Bitmap LensViewBitmap, LensViewPlainBitmap;
    LensView view;

    // Opens this file as the Open button would.
    void openFile(const QString& name);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct SliderWidgets {
        PaintBox* box = nullptr;
        EventLabel* label = nullptr;
        QLineEdit* edit = nullptr;
        QLabel* framed = nullptr;
    };
    SliderWidgets& widgets(LensSlider slider) { return sliders_[static_cast<int>(slider) - 1]; }
    const SliderWidgets& widgets(LensSlider slider) const { return sliders_[static_cast<int>(slider) - 1]; }
    void buildPreviewPage(QWidget* page);
    void buildCalibratePage(QWidget* page);
    void buildSavePage(QWidget* page);
    void addZoomButtons(QWidget* page, const QString& suffix, int top);
    void addSlider(QWidget* page, LensSlider slider, const QString& name, const QString& caption, int top);
    // Writes a slider's value into its edit box and framed text, after its side effects.
    void showValue(LensSlider slider, bool afterReset = false);
    // A slider's new value with what follows from it (D, the profile name, the
    // texts); the caller renders.
    void setSliderValue(LensSlider slider, Extended value, bool afterReset = false);
    void setPending(bool pending);
    char decimalSeparator() const;

    Workspace& workspace_;
    const std::vector<std::string>& fileList_;
    Prompter& prompter_;
    LensModel model_;
    std::array<SliderWidgets, 5> sliders_;
    bool sliderHot_ = false, sliderDragging_ = false, panning_ = false;
    LensSlider activeSlider_ = LensSlider::None;
    int mouseDownX_ = 0, mouseDownY_ = 0;
    int panStartX_ = 0, panStartY_ = 0;
    std::array<Extended, 5> dragStart_{0, 0, 0, 0, 1};
    QString profileName_;  // the profile's whole name; the labels may show it shortened
    std::optional<LensMatch> databaseLens_;  // the lens last taken from the database
    Bitmap panBitmap_;
    bool showPan_ = false;
};

}  // namespace vantrel
