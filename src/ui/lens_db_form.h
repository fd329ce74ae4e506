#pragma once

#include <QDialog>
#include <optional>

#include "lensdb/lens_database.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vantrel {

// "Lens Database": what the database holds for one photograph (found by its
// EXIF, or picked from the list of lenses by hand). It changes nothing; the
// lens window reads chosen() on OK.
class TLensDatabaseForm : public QDialog {
public:
    TLensDatabaseForm(const LensDatabase& database, const ExifTags& exif, int width, int height,
                      QWidget* parent = nullptr);

    const std::optional<LensMatch>& chosen() const { return chosen_; }

    void FilterEditChange();
    void LensListClick();

    QLabel* FoundLabel;
    QLineEdit* FilterEdit;
    QListWidget* LensList;
    QLabel* ChosenLabel;
    QPushButton *OKBtn, *CancelBtn;

private:
    void show(const LensLookup& lookup);

    const LensDatabase& database_;
    ExifTags exif_;
    int width_, height_;
    std::optional<LensMatch> chosen_;
};

}  // namespace vantrel
