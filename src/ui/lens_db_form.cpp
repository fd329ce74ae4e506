#include "lens_db_form.h"

#include <QLineEdit>
#include <QListWidget>

#include "util/number_format.h"
#include "widgets.h"

namespace vantrel {

TLensDatabaseForm::TLensDatabaseForm(const LensDatabase& database, const ExifTags& exif, int width, int height,
                                     QWidget* parent)
    : QDialog(parent), database_(database), exif_(exif), width_(width), height_(height) {
    setObjectName("LensDatabaseForm");
    setWindowTitle("Lens Database");
    setFixedSize(520, 420);
    UseWindowFont(this);

    AddLabel(this, "Found for this photograph:", 8, 8, "FoundCaption");
    FoundLabel = new QLabel(this);
    FoundLabel->setObjectName("FoundLabel");
    FoundLabel->setGeometry(8, 26, 504, 48);
    FoundLabel->setWordWrap(true);
    FoundLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    AddLabel(this, "Or pick a lens (type to filter):", 8, 82, "PickCaption");
    FilterEdit = new QLineEdit(this);
    FilterEdit->setObjectName("FilterEdit");
    FilterEdit->setGeometry(8, 100, 504, 21);
    connect(FilterEdit, &QLineEdit::textChanged, this, [this] { FilterEditChange(); });
    LensList = new QListWidget(this);
    LensList->setObjectName("LensList");
    LensList->setGeometry(8, 126, 504, 190);
    for (std::size_t i = 0; i < database_.lenses().size(); ++i) {
        const LensEntry& e = database_.lenses()[i];
        auto* item = new QListWidgetItem(ToQt(e.name + (e.mounts.empty() ? "" : "  (" + e.mounts + ")")), LensList);
        item->setData(Qt::UserRole, static_cast<qulonglong>(i));
    }
    connect(LensList, &QListWidget::itemClicked, this, [this] { LensListClick(); });

    AddLabel(this, "To be used:", 8, 322, "ChosenCaption");
    ChosenLabel = new QLabel(this);
    ChosenLabel->setObjectName("ChosenLabel");
    ChosenLabel->setGeometry(8, 340, 504, 40);
    ChosenLabel->setWordWrap(true);
    ChosenLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    CancelBtn = AddButton(this, "CancelBtn", "Cancel", QRect(8, 386, 100, 27));
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
    OKBtn = AddButton(this, "OKBtn", "OK", QRect(412, 386, 100, 27));
    connect(OKBtn, &QPushButton::clicked, this, &QDialog::accept);

    const LensLookup found = database_.lookup(exif_, width_, height_);
    FoundLabel->setText(ToQt(found.match ? found.match->describe() : found.problem));
    show(found);
    // The lens found stands selected in the list, scrolled into view.
    if (found.match)
        for (int i = 0; i < LensList->count(); ++i)
            if (database_.lenses()[LensList->item(i)->data(Qt::UserRole).toULongLong()].name == found.match->lens) {
                LensList->setCurrentRow(i);
                LensList->scrollToItem(LensList->item(i), QAbstractItemView::PositionAtCenter);
                break;
            }
}

void TLensDatabaseForm::show(const LensLookup& lookup) {
    chosen_ = lookup.match;
    ChosenLabel->setText(ToQt(lookup.match ? lookup.match->describe() : lookup.problem));
    OKBtn->setEnabled(chosen_.has_value());
}

void TLensDatabaseForm::FilterEditChange() {
    const QString filter = FilterEdit->text().trimmed();
    for (int i = 0; i < LensList->count(); ++i)
        LensList->item(i)->setHidden(!filter.isEmpty() && !LensList->item(i)->text().contains(filter, Qt::CaseInsensitive));
}

void TLensDatabaseForm::LensListClick() {
    const QListWidgetItem* item = LensList->currentItem();
    if (!item) return;
    show(database_.lookupLens(item->data(Qt::UserRole).toULongLong(), exif_, width_, height_));
}

}  // namespace vantrel
