#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

#include "formats/bmp_codec.h"
#include "forms.h"
#include "lens/target_scan.h"
#include "formats/source_metadata.h"
#include "lens_db_form.h"
#include "lens_form.h"
#include "metadata/jpeg_metadata.h"
#include "main_window.h"
#include "paint_box.h"
#include "scripted_prompter.h"
#include "util/file_io.h"

using namespace vantrel;

namespace {

void move(QWidget* widget, QPoint at) {
    QMouseEvent event(QEvent::MouseMove, QPointF(at), widget->mapToGlobal(QPointF(at)), Qt::NoButton, Qt::NoButton, {});
    QApplication::sendEvent(widget, &event);
}

void typeInto(QLineEdit* edit, const QString& text) {
    edit->setFocus();
    edit->selectAll();
    QTest::keyClicks(edit, text);
    QTest::keyClick(edit, Qt::Key_Return);
}

}  // namespace

// The lens window on its own, with the file list it reads.
struct Standalone {
    ScriptedPrompter p;
    Workspace ws;
    std::vector<std::string> files = std::vector<std::string>(kSlotCount);
    TLensCorrectionForm form{ws, files, p};
};

class LensFormTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    QString writeImage(const QString& name, int w, int h) {
        Bitmap b(w, h);
        b.fill(90, 120, 150);
        const QString path = dir_.filePath(name);
        WriteFileAtomically(path.toStdString(), EncodeBmp(b));
        return path;
    }

private slots:
    void slidersDragSnapAndKeys() {
        Standalone window;
        auto& [p, ws, files, form] = window;
        LensModel& m = form.model();
        EventLabel* a = form.sliderLabelFor(LensSlider::A);
        move(a, QPoint(10, 5));
        QTest::mousePress(a, Qt::LeftButton, {}, QPoint(10, 5));
        move(a, QPoint(1010, 5));
        QCOMPARE(static_cast<double>(m.CoeffA), 1.0);
        move(a, QPoint(2000, 5));
        QCOMPARE(static_cast<double>(m.CoeffA), 1.0);
        move(a, QPoint(10, 5));
        QCOMPARE(static_cast<double>(m.CoeffA), 0.0);
        QTest::mouseRelease(a, Qt::LeftButton, {}, QPoint(10, 5));
        QCOMPARE(form.ProfileLabel->text(), QString("Default Blank Profile"));

        // One right arrow on the hot rotation slider: 0.001 radian.
        form.show();
        EventLabel* rotation = form.sliderLabelFor(LensSlider::Rotation);
        form.SliderLabelMouseLeave(LensSlider::A);
        move(rotation, QPoint(40, 5));
        QTest::keyClick(form.KeyBuffer, Qt::Key_Right);
        QCOMPARE(form.RotationEdit->text(), QString("0.0572957795130823"));
        QCOMPARE(form.RotationStaticText->text(), QString(" 0.05729578"));

        // The scale slider does not go below 0.001.
        form.SliderLabelMouseLeave(LensSlider::Rotation);
        form.SliderLabelMouseEnter(LensSlider::Scale);
        m.OverallScale = 0.001L;
        form.SliderLabelMouseMove(LensSlider::Scale, 5);
        QVERIFY(form.FormKeyDown(Qt::Key_Left));
        QCOMPARE(static_cast<double>(m.OverallScale), 0.001);
    }

    void typedValuesAndThePendingState() {
        Standalone window;
        auto& [p, ws, files, form] = window;
        form.show();
        LensModel& m = form.model();
        form.ADistortionEdit->setFocus();
        QTest::keyClicks(form.ADistortionEdit, "x");
        QVERIFY(form.UpdateBtn->isEnabled());
        QVERIFY(!form.OKBtn->isEnabled() && !form.OkBtn2->isEnabled() && !form.SaveProfileBtn->isEnabled());
        typeInto(form.ADistortionEdit, "abc");
        QCOMPARE(static_cast<double>(m.CoeffA), 0.0);
        QCOMPARE(form.ADistortionEdit->text(), QString("0"));
        QVERIFY(!form.UpdateBtn->isEnabled() && form.OKBtn->isEnabled());
        typeInto(form.OveralScaleEdit, "20");
        QCOMPARE(static_cast<double>(m.OverallScale), 10.0);
        typeInto(form.OveralScaleEdit, "0");
        QCOMPARE(static_cast<double>(m.OverallScale), 0.001);
        typeInto(form.BDistortionEdit, "0.25");
        typeInto(form.CDistortionEdit, "0.0004");  // snaps to 0
        QCOMPARE(static_cast<double>(m.CoeffC), 0.0);
        QCOMPARE(m.CoeffD, 1 - (0 + m.CoeffB + 0));
        QCOMPARE(form.ProfileLabel->text(), QString("Custom Profile"));

        // A page switch applies pending edits; back on "Preview" the rotation resets.
        form.PageControler->setCurrentIndex(0);
        form.ADistortionEdit->setFocus();
        QTest::keyClicks(form.ADistortionEdit, "1");  // "01"
        form.PageControler->setCurrentIndex(1);
        QVERIFY(!form.UpdateBtn->isEnabled());
        m.PreviewRotation = 0.5L;
        form.PageControler->setCurrentIndex(0);
        QCOMPARE(static_cast<double>(m.PreviewRotation), 0.0);
    }

    void viewZoomAndOpening() {
        Standalone window;
        auto& [p, ws, files, form] = window;
        files = {writeImage("wide.bmp", 3000, 2000).toStdString(), "", ""};
        form.ImageListBox->addItem("wide.bmp");
        form.ImageListBox->setCurrentRow(0);
        form.ImageListBoxClick();
        QCOMPARE(form.view.centreX, 1500);
        QCOMPARE(form.view.centreY, 1000);
        QVERIFY(std::abs(form.view.zoom - 3000.0 / 635 * 1.1) < 1e-12);
        QCOMPARE(form.model().NormRadius, 1000);
        form.Zoom1to1BtnClick();
        for (int i = 0; i < 5; ++i) form.ZoomInBtnClick();
        QVERIFY(std::abs(form.view.zoom - 1 / std::pow(1.1, 5)) < 1e-12);

        // A file with the extension .Jpg loads nothing but is recorded.
        const QString odd = dir_.filePath("photo.Jpg");
        QFile::copy(dir_.filePath("wide.bmp"), odd);
        form.ListFileName = odd;
        form.OpenFromList = true;
        form.OpenBtnClick();
        QCOMPARE(form.SourceFileName, odd);
        QCOMPARE(form.sourceImage().width(), 3000);

        // Panning shows a shifted copy and renders on release.
        form.OutputViewBoxMouseDown(Qt::LeftButton, 100, 100);
        form.OutputViewBoxMouseMove(110, 100);
        QCOMPARE(form.view.centreX, 1500 - static_cast<int>(std::nearbyint(10 * form.view.zoom)));
        form.OutputViewBoxMouseUp();
    }

    void profilesSaveLoadAndRefuse() {
        Standalone window;
        auto& [p, ws, files, form] = window;
        typeInto(form.ADistortionEdit, "0.0125");
        typeInto(form.OveralScaleEdit, "1.02");
        const QString lens = dir_.filePath("lens.pfl");
        p.chosenFiles << lens;
        form.SaveProfileBtnClick();
        QVERIFY(QFileInfo::exists(lens));
        QCOMPARE(form.ProfileLabel->text(), QString("lens"));
        QCOMPARE(form.ProfileLabel2->text(), QString("lens"));

        // Typed without extension: the existing lens.pfl is what would be written, so ask.
        p.chosenFiles << dir_.filePath("lens");
        p.messageAnswers << Prompter::Answer::Cancel;
        form.SaveProfileBtnClick();
        QCOMPARE(p.messages.last(), QString("Overwrite existing lens profile ?"));

        form.ClearProfileBtnClick();
        QCOMPARE(static_cast<double>(form.model().CoeffA), 0.0);
        QCOMPARE(form.ProfileLabel->text(), QString("Default Blank Profile"));
        p.chosenFiles << lens;
        form.LoadProfileBtnClick();
        QCOMPARE(static_cast<double>(form.model().CoeffA), 0.0125);
        QCOMPARE(static_cast<double>(form.model().OverallScale), 1.02);
        QCOMPARE(form.ProfileLabel->text(), QString("lens"));

        // Moving away and back to the exact value names the profile again.
        form.SliderLabelMouseDown(LensSlider::A, Qt::LeftButton, 0);
        form.SliderLabelMouseMove(LensSlider::A, 5);
        QCOMPARE(form.ProfileLabel->text(), QString("Custom Profile"));
        form.SliderLabelMouseMove(LensSlider::A, 0);
        QCOMPARE(form.ProfileLabel->text(), QString("lens"));
        form.SliderLabelMouseUp(LensSlider::A);

        // A comma profile loads too; out-of-range values load clamped.
        const QString comma = dir_.filePath("comma.pfl");
        WriteFileAtomically(comma.toStdString(), std::string("FOV\r\n0\r\nOveral Scale\r\n20\r\nA\r\n1,5\r\nB\r\n0\r\nC\r\n0\r\n"));
        p.chosenFiles << comma;
        form.LoadProfileBtnClick();
        QCOMPARE(static_cast<double>(form.model().OverallScale), 10.0);
        QCOMPARE(static_cast<double>(form.model().CoeffA), 1.0);
        QCOMPARE(form.ProfileLabel->text(), QString("Custom Profile"));

        // Refused files change nothing.
        const QString bad = dir_.filePath("bad.pfl");
        WriteFileAtomically(bad.toStdString(), std::string("FOV\r\n0\r\nOveral Scale\r\n1\r\nA\r\n-10\r\nB\r\n0\r\nC\r\n0\r\n"));
        p.chosenFiles << bad;
        form.LoadProfileBtnClick();
        QCOMPARE(p.messages.last(), QString("Unable to parse file contents."));
        QCOMPARE(static_cast<double>(form.model().CoeffA), 1.0);
        const QString shortFile = dir_.filePath("short.pfl");
        WriteFileAtomically(shortFile.toStdString(), std::string("FOV\r\n0\r\n"));
        p.chosenFiles << shortFile;
        form.LoadProfileBtnClick();
        QCOMPARE(p.kinds.last(), Prompter::Kind::Error);
        QCOMPARE(static_cast<double>(form.model().OverallScale), 10.0);
    }

    void targetAndScan() {
        ScriptedPrompter p;
        TForm1 f(p);
        auto* form = dynamic_cast<TLensCorrectionForm*>(f.LensCorrectionForm);
        // Modal, as Open shows it; the target must still take a click or Escape.
        form->setWindowModality(Qt::ApplicationModal);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form));
        QWidget* targetWindow = f.CallibrationTargetForm;
        for (const bool byKey : {false, true}) {
            QTest::keyClick(form, Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
            QTest::mouseClick(form->findChild<QPushButton*>("CalibrationTargetBtn"), Qt::LeftButton);
            QVERIFY(targetWindow->isVisible());
            QVERIFY(QTest::qWaitForWindowExposed(targetWindow));
            if (byKey) {
                QTest::keyClick(targetWindow->windowHandle(), Qt::Key_Escape);
            } else {
                const QImage shown = f.CallibrationTargetForm->CallibrationTargetPaintBox->grab().toImage();
                QCOMPARE(shown.pixelColor(10, 10), QColor(255, 0, 0));
                QCOMPARE(shown.pixelColor(60, 10), QColor(0, 255, 0));
                QTest::mouseClick(targetWindow->windowHandle(), Qt::LeftButton, {}, QPoint(30, 30));
            }
            QTRY_VERIFY(!targetWindow->isVisible());
            QVERIFY(form->isVisible() && form->isModal());
        }
        form->hide();

        // A photograph of the target: its corners are marked and the view fits.
        Bitmap target(300, 200);
        DrawTargetPattern(target);
        const QString path = dir_.filePath("target.bmp");
        WriteFileAtomically(path.toStdString(), EncodeBmp(target));
        form->ListFileName = path;
        form->OpenFromList = true;
        form->OpenBtnClick();
        form->ProcessBtnClick();
        QCOMPARE(form->CounterLabel->text(), QString("Raw Neg Points left to scan -  0"));
        const std::uint8_t* centre = form->sourceImage().row(50) + 3 * 50;
        QCOMPARE(int(centre[0]), 255);  // white centre of the mark at (50, 50)
        QCOMPARE(int(centre[1]), 255);
        form->SearchSizeEdit->setText("0");
        form->ProcessBtnClick();  // ends without corners
    }

    void savesACorrectedImageWithItsMetadata() {
        Standalone window;
        auto& [p, ws, files, form] = window;
        const QString camera = QString(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/Canon_DIGITAL_IXUS_400.jpg";
        form.ListFileName = camera;
        form.OpenFromList = true;
        form.OpenBtnClick();
        typeInto(form.ADistortionEdit, "0.0125");
        p.chosenFiles << dir_.filePath("anything.jpg");  // only its directory counts
        form.SaveBtnClick();
        const QString out = dir_.filePath("Canon_DIGITAL_IXUS_400.jpg_Corrected12.5.jpg");
        QVERIFY2(QFileInfo::exists(out), qPrintable(out));
        TJpegMetadata meta;
        QVERIFY(meta.ReadMetadata(out.toStdString()));
        QCOMPARE(meta.Directory()->ExifWidth, form.sourceImage().width());

        // TIFF, picked on the page, keeps the metadata too.
        form.PageControler->setTabVisible(2, true);
        form.PageControler->setCurrentIndex(2);
        form.show();
        QTest::mouseClick(form.TIFRadio, Qt::LeftButton, {}, QPoint(6, 8));
        QVERIFY(form.TIFRadio->isChecked());
        QCOMPARE(form.savedFormat(), ImageKind::Tiff);
        p.chosenFiles << dir_.filePath("anything.jpg");
        form.SaveBtnClick();
        SourceMetadata tiff;
        QVERIFY(tiff.read(dir_.filePath("Canon_DIGITAL_IXUS_400.jpg_Corrected12.5.tif").toStdString()));
        QVERIFY(tiff.image.exif.size() > 100);
    }

    void lensDatabaseFindsTheLensAndTakesAHandPick() {
        Standalone window;
        auto& [p, ws, files, form] = window;
        form.show();
        form.ListFileName = QString(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/87_OSError.jpg";
        form.OpenFromList = true;
        form.OpenBtnClick();
        QVERIFY(!form.sourceImage().empty());

        // Cancel: what was found is shown, nothing changes.
        QString found, selected;
        p.whileShown = [&](QDialog* dialog) {
            auto* db = static_cast<TLensDatabaseForm*>(dialog);
            found = db->FoundLabel->text();
            // The lens found stands selected in the list.
            selected = db->LensList->currentItem() ? db->LensList->currentItem()->text() : QString();
            QVERIFY(db->LensList->currentItem() &&
                    db->LensList->viewport()->rect().intersects(db->LensList->visualItemRect(db->LensList->currentItem())));
        };
        p.modalAnswers << QDialog::Rejected;
        QTest::mouseClick(form.LensDatabaseBtn, Qt::LeftButton);
        QVERIFY2(found.startsWith("Nikon Nikkor AF-S 18-70mm f/3.5-4.5G DX IF-ED on Nikon D70s at 60 mm"), qPrintable(found));
        QVERIFY2(selected.startsWith("Nikon Nikkor AF-S 18-70mm f/3.5-4.5G DX IF-ED"), qPrintable(selected));
        QCOMPARE(form.ADistortionEdit->text(), QString("0"));

        // OK takes the match: the values, read from their start, and a label
        // naming lens and focal length, shortened in the middle to fit and
        // whole in its tip.
        p.whileShown = nullptr;
        QTest::mouseClick(form.LensDatabaseBtn, Qt::LeftButton);
        const QString name("Nikon Nikkor AF-S 18-70mm f/3.5-4.5G DX IF-ED at 60 mm");
        QCOMPARE(form.ProfileLabel->toolTip(), name);
        QVERIFY2(form.ProfileLabel->text().startsWith("Nikon") && form.ProfileLabel->text().endsWith("at 60 mm"),
                 qPrintable(form.ProfileLabel->text()));
        QVERIFY(form.ProfileLabel->fontMetrics().horizontalAdvance(form.ProfileLabel->text()) <= form.ProfileLabel->width());
        QVERIFY(form.model().CoeffA != 0 && form.model().OverallScale != 1);
        for (QLineEdit* edit : {form.OveralScaleEdit, form.ADistortionEdit, form.BDistortionEdit, form.CDistortionEdit})
            QCOMPARE(edit->cursorPosition(), 0);

        // A lens picked by hand from the filtered list, then OK by its button.
        p.whileShown = [&](QDialog* dialog) {
            auto* db = static_cast<TLensDatabaseForm*>(dialog);
            db->FilterEdit->setFocus();
            QTest::keyClicks(db->FilterEdit, "14-24mm f/2.8G");
            QListWidgetItem* first = nullptr;
            for (int i = 0; i < db->LensList->count() && !first; ++i)
                if (!db->LensList->item(i)->isHidden()) first = db->LensList->item(i);
            QVERIFY(first);
            QTest::mouseClick(db->LensList->viewport(), Qt::LeftButton, {}, db->LensList->visualItemRect(first).center());
            QVERIFY2(db->ChosenLabel->text().contains("14-24mm f/2.8G"), qPrintable(db->ChosenLabel->text()));
            QTest::mouseClick(db->OKBtn, Qt::LeftButton);
        };
        QTest::mouseClick(form.LensDatabaseBtn, Qt::LeftButton);
        p.whileShown = nullptr;
        QVERIFY2(form.ProfileLabel->toolTip().contains("14-24mm f/2.8G"), qPrintable(form.ProfileLabel->toolTip()));
    }

    // The database's vignetting: off unless ticked, offered only for a lens
    // the database has data for, and applied by OK to every load.
    void vignettingGoesWithTheDatabaseLens() {
        Standalone window;
        auto& [p, ws, files, form] = window;
        form.show();
        const QString nikon = QString(VANTREL_TESTDATA_DIR) + "/camera-jpeg/exif-samples/tests/87_OSError.jpg";
        form.ListFileName = nikon;
        form.OpenFromList = true;
        form.OpenBtnClick();
        QVERIFY(!form.VignettingCheckBox->isEnabled());  // no database lens yet
        QTest::mouseClick(form.LensDatabaseBtn, Qt::LeftButton);
        QVERIFY(form.VignettingCheckBox->isEnabled());
        QVERIFY(!form.VignettingCheckBox->isChecked());
        QTest::mouseClick(form.VignettingCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
        QVERIFY(form.VignettingCheckBox->isChecked());
        QTest::mouseClick(form.OKBtn, Qt::LeftButton);
        Bitmap grey(300, 200);
        grey.fill(128, 128, 128);
        ws.placeImage(1, grey, nikon.toStdString());
        const Bitmap& loaded = ws.slot(1).Bitmap;
        QVERIFY2(loaded.row(5)[15] > loaded.row(100)[450] + 5, qPrintable(QString::number(loaded.row(5)[15])));
        // Unticked, OK leaves the corners as they are.
        form.show();
        QTest::mouseClick(form.VignettingCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
        QTest::mouseClick(form.OKBtn, Qt::LeftButton);
        ws.placeImage(1, grey, nikon.toStdString());
        QCOMPARE(ws.slot(1).Bitmap.row(5)[15], ws.slot(1).Bitmap.row(100)[450]);
    }

    void okHandsTheValuesToTheLoad() {
        ScriptedPrompter p;
        TForm1 f(p);
        auto* form = dynamic_cast<TLensCorrectionForm*>(f.LensCorrectionForm);
        QVERIFY(form);
        typeInto(form->OveralScaleEdit, "2");
        // Cancel: nothing is handed over and nothing loads.
        p.files << QStringList{writeImage("a.bmp", 40, 30)};
        p.modalAnswers << QDialog::Rejected;
        f.OpenBtnClick();
        QCOMPARE(static_cast<double>(f.workspace().lens().LensScale), 1.0);
        QVERIFY(!f.workspace().slot(1).Loaded);
        // OK: the slot is loaded with the accepted correction (half size in grey).
        p.files << QStringList{writeImage("a.bmp", 40, 30)};
        f.OpenBtnClick();
        QCOMPARE(static_cast<double>(f.workspace().slot(1).LensScale), 2.0);
        QCOMPARE(form->sourceImage().width(), 40);
    }
};

QTEST_MAIN(LensFormTest)
#include "lens_form_test.moc"
