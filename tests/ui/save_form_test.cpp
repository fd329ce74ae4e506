#include <functional>

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QComboBox>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

#include "../core/dng_file.h"
#include "formats/bmp_codec.h"
#include "formats/image_file.h"
#include "formats/jpeg_codec.h"
#include "lens_form.h"
#include "main_window.h"
#include "save_form.h"
#include "scripted_prompter.h"
#include "util/file_io.h"

using namespace vantrel;

namespace {

Bitmap Flat(int w, int h, std::uint8_t grey) {
    Bitmap b(w, h);
    b.fill(grey, grey, grey);
    return b;
}

Bitmap Decode(const QString& path) {
    const auto bytes = ReadWholeFile(path.toStdString());
    return bytes.size() > 1 && bytes[0] == 'B' ? DecodeBmp(bytes.data(), bytes.size())
                                              : DecodeJpeg(bytes.data(), bytes.size());
}

}  // namespace

class SaveFormTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir sources_, outputs_;

    // A window with three loaded slots, by default grey 100, 130 and 160
    // (slot 2 is master); else file i (0..2) is `make(i)`, named by `name`.
    void load(TForm1& f, ScriptedPrompter& p, const QString& name = "IMG_%1.bmp",
              const std::function<std::vector<std::uint8_t>(int)>& make = {}) {
        QStringList files;
        const int greys[] = {100, 130, 160};
        for (int i = 0; i < 3; ++i) {
            const QString path = sources_.filePath(name.arg(i + 1));
            WriteFileAtomically(path.toStdString(), make ? make(i) : EncodeBmp(Flat(60 + i, 40, greys[i])));
            files << path;
        }
        p.files << files;
        f.OpenBtnClick();
        f.LastOutputDir = outputs_.path().toStdString();
    }

private slots:
    void init() {
        QDir(outputs_.path()).removeRecursively();
        QDir().mkpath(outputs_.path());
    }

    void saveAllWritesEveryLoadedSlotInTheMastersFrame() {
        ScriptedPrompter p;
        TForm1 f(p);
        load(f, p);
        QCOMPARE(f.workspace().MasterIndex(), 2);
        f.SaveForm->JPGQualitySlider->setValue(90);
        QCOMPARE(f.SaveForm->JPGQualityLabel->text(), QString("90%"));
        f.SaveBtnClick();
        for (int n = 1; n <= 3; ++n) {
            const QString out = outputs_.filePath(QString("IMG_%1Aligned.jpg").arg(n));
            QVERIFY2(QFileInfo::exists(out), qPrintable(out));
            const Bitmap b = Decode(out);
            QCOMPARE(b.width(), 61);  // the master's frame
            QCOMPARE(b.height(), 40);
        }
        QCOMPARE(f.statusText(1), QString("Ready"));
        QVERIFY(!f.SaveForm->MasterMarker[0]->isVisible() && !f.SaveForm->MasterMarker[1]->isHidden());
        QCOMPARE(f.SaveForm->OutputFileList->item(2)->text(), QString("IMG_3Aligned.jpg"));

        // The same names again: the markers show and the overwrite warning asks first.
        f.SaveForm->RecalculateBtnClick();
        QVERIFY(!f.SaveForm->FileOverwriteWarningStaticText->isHidden());
        QVERIFY(!f.SaveForm->FileOverwriteMarker[0]->isHidden());
        p.messageAnswers << Prompter::Answer::Cancel;
        f.SaveBtnClick();  // cancelled at the overwrite question: nothing written
        QVERIFY(p.messages.last().startsWith("The following files will be overwriten ...\n\n"));
        QVERIFY(p.messages.last().endsWith("\nClick OK to proceed or Cancel to return to the Save Dialog"));

        // Changing only the type renames every row.
        f.SaveForm->BMPRadio->click();
        QCOMPARE(f.SaveForm->OutputFileList->item(0)->text(), QString("IMG_1Aligned.bmp"));
        QVERIFY(f.SaveForm->FileOverwriteWarningStaticText->isHidden());
        f.SaveForm->JPGRadio->click();
    }

    void tiffCutToTheCommonAreaWithTransparentBorders() {
        ScriptedPrompter p;
        TForm1 f(p);
        load(f, p);
        Workspace& ws = f.workspace();
        ws.setControlPoints(3, 6, 10, 50, 14);  // image 3 turned a little
        ws.Recalculate(true);
        p.whileShown = [&](QDialog* dialog) {
            auto* form = static_cast<TSaveForm*>(dialog);
            QVERIFY(!form->TransparentCheckBox->isEnabled());  // JPEG has no alpha
            QTest::mouseClick(form->TIFRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(form->TransparentCheckBox->isEnabled());
            QTest::mouseClick(form->TransparentCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
            QTest::mouseClick(form->BordersCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
            QTest::mouseClick(form->CropCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(form->BordersIgnoredLabel->isVisible());
            QCOMPARE(form->OutputFileList->item(0)->text(), QString("IMG_1Aligned.tif"));
        };
        f.SaveBtnClick();
        p.whileShown = nullptr;
        const QString status = f.statusText(0);
        QVERIFY2(status.startsWith("Cropped to the common area: ") && status.endsWith("(borders ignored)"),
                 qPrintable(status));
        int w = 0, h = 0;
        QVERIFY(std::sscanf(status.toUtf8().constData(), "Cropped to the common area: %d x %d", &w, &h) == 2);
        QVERIFY(w < 61 && h < 40 && w > 30 && h > 20);
        for (int n = 1; n <= 3; ++n) {
            Bitmap out;
            QCOMPARE(LoadImageFile(outputs_.filePath(QString("IMG_%1Aligned.tif").arg(n)).toStdString(), out),
                     LoadOutcome::Loaded);
            QCOMPARE(out.width(), w);
            QCOMPARE(out.height(), h);
        }
        // A later save without the crop does not keep the crop's report.
        p.whileShown = [&](QDialog* dialog) {
            auto* form = static_cast<TSaveForm*>(dialog);
            QTest::mouseClick(form->CropCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
            QTest::mouseClick(form->AlignedTextEdit, Qt::LeftButton);
            QTest::keyClicks(form->AlignedTextEdit, "Again");
        };
        f.SaveBtnClick();
        p.whileShown = nullptr;
        QVERIFY(QFileInfo::exists(outputs_.filePath("IMG_1AlignedAgain.tif")));
        QCOMPARE(f.statusText(0), QString());
    }

    // The window shows what each format takes: alpha and quality only where
    // they apply, the alpha choice kept for when it applies again.
    void controlsFollowTheFormat() {
        ScriptedPrompter p;
        TForm1 f(p);
        load(f, p);
        p.whileShown = [&](QDialog* dialog) {
            auto* form = static_cast<TSaveForm*>(dialog);
            QCOMPARE(form->TIFRadio->text(), QString(".tif"));
            QCOMPARE(form->PNGRadio->text(), QString(".png"));
            QVERIFY(form->JPGQualitySlider->isEnabled());
            QTest::mouseClick(form->PNGRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(!form->JPGQualitySlider->isEnabled());
            QTest::mouseClick(form->TransparentCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(form->TransparentCheckBox->isChecked());
            QTest::mouseClick(form->BMPRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(!form->TransparentCheckBox->isEnabled() && !form->TransparentCheckBox->isChecked());
            QVERIFY(form->TransparentCheckBox->toolTip().contains("no alpha"));
            QVERIFY(!form->JPGQualitySlider->isEnabled());
            QTest::mouseClick(form->TIFRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(form->TransparentCheckBox->isEnabled() && form->TransparentCheckBox->isChecked());
            QTest::mouseClick(form->JPGRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(form->JPGQualitySlider->isEnabled());
            // A long name shows its start and its end, and whole as a tip.
            QLineEdit* name = form->SourceNameEdit[0];
            name->selectAll();
            QTest::keyClicks(name, "a_very_long_file_name_from_a_camera_that_names_its_files_at_length");
            QTest::keyClick(name, Qt::Key_Return);
            form->RecalculateBtnClick();
            QCOMPARE(form->OutputFileList->textElideMode(), Qt::ElideMiddle);
            QCOMPARE(form->OutputFileList->item(0)->toolTip(), form->OutputFileList->item(0)->text());
            QVERIFY(form->OutputFileList->item(0)->text().endsWith("Aligned.jpg"));
        };
        p.modalAnswers << QDialog::Rejected;
        f.SaveBtnClick();
        p.whileShown = nullptr;
    }

    // A lens correction that leaves empty areas inside the frame: the crop
    // cuts inside them and the alpha marks them, as for the warp's own.
    void cropAndAlphaKnowTheLensCorrection() {
        ScriptedPrompter p;
        TForm1 f(p);
        Bitmap noise(300, 200);
        std::uint32_t state = 5;
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 900; ++x) noise.row(y)[x] = static_cast<std::uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
        QStringList files;
        for (int i = 1; i <= 3; ++i) {
            const QString path = sources_.filePath(QString("N%1.bmp").arg(i));
            WriteFileAtomically(path.toStdString(), EncodeBmp(noise));
            files << path;
        }
        p.files << files;
        p.whileShown = [&](QDialog* dialog) {  // the lens window: B typed, Enter, then OK
            auto* lens = static_cast<TLensCorrectionForm*>(dialog);
            lens->BDistortionEdit->setFocus();
            lens->BDistortionEdit->selectAll();
            QTest::keyClicks(lens->BDistortionEdit, "0.08");
            QTest::keyClick(lens->BDistortionEdit, Qt::Key_Return);
        };
        f.OpenBtnClick();
        f.LastOutputDir = outputs_.path().toStdString();
        QCOMPARE(static_cast<double>(f.workspace().slot(1).LensB), 0.08);
        p.whileShown = [&](QDialog* dialog) {
            auto* form = static_cast<TSaveForm*>(dialog);
            QTest::mouseClick(form->PNGRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QTest::mouseClick(form->CropCheckBox, Qt::LeftButton, {}, QPoint(6, 8));
        };
        f.SaveBtnClick();
        p.whileShown = nullptr;
        Bitmap out;
        QCOMPARE(LoadImageFile(outputs_.filePath("N1Aligned.png").toStdString(), out), LoadOutcome::Loaded);
        QVERIFY(out.width() * out.height() < 300 * 200 * 9 / 10);
        // In noise, neighbours alike are fill.
        int alike = 0;
        for (int y = 0; y < out.height(); ++y)
            for (int x = 0; x + 1 < out.width(); ++x) alike += std::memcmp(out.row(y) + 3 * x, out.row(y) + 3 * x + 3, 3) == 0;
        QVERIFY2(alike < 4, qPrintable(QString::number(alike)));
    }

    void bordersWidenOnlyThatSave() {
        ScriptedPrompter p;
        TForm1 f(p);
        load(f, p);
        f.SaveForm->BordersCheckBox->setChecked(true);
        f.SaveForm->BMPRadio->setChecked(true);
        f.SaveBtnClick();
        const Bitmap bordered = Decode(outputs_.filePath("IMG_2Aligned.bmp"));
        QCOMPARE(bordered.width(), 161);
        QCOMPARE(bordered.height(), 140);
        QCOMPARE(bordered.row(70)[3 * 80], static_cast<std::uint8_t>(130));  // the master, shifted by 50
        QCOMPARE(bordered.row(10)[3 * 10], static_cast<std::uint8_t>(130));  // its own grey around

        // Unchecked again: the output view and the next save have the plain frame.
        f.SaveForm->BordersCheckBox->setChecked(false);
        QFile::remove(outputs_.filePath("IMG_2Aligned.bmp"));
        f.SaveBtnClick();
        QCOMPARE(Decode(outputs_.filePath("IMG_2Aligned.bmp")).width(), 61);
        f.AlignedPaintBoxMouseMove(5, 5);
        QCOMPARE(f.statusText(0), QString("Output Images - 61x40"));
        f.SaveForm->JPGRadio->setChecked(true);
    }

    void singleImageAndEmptySlots() {
        ScriptedPrompter p;
        TForm1 f(p);
        load(f, p);
        f.ClearImage3Click();
        f.findChild<QAction*>("SaveImage3")->trigger();  // an empty slot: "Aligned.jpg" is offered, nothing written
        QCOMPARE(f.SaveForm->OutputFileList->item(2)->text(), QString("Aligned.jpg"));
        QVERIFY(f.SaveForm->SourceNameEdit[2]->styleSheet().contains("#FFFFFF"));  // the one box to edit
        QVERIFY(f.SaveForm->SourceNameEdit[0]->styleSheet().contains("#808080"));
        QVERIFY(f.SaveForm->OutputFileList->item(0)->text().isEmpty());
        QVERIFY(QDir(outputs_.path()).entryList(QDir::Files).isEmpty());
        f.SaveSingleImage(1);
        QCOMPARE(QDir(outputs_.path()).entryList(QDir::Files), QStringList{"IMG_1Aligned.jpg"});

        // An empty list row clears the preview to black and leaves it black.
        f.SaveForm->OutputFileList->setCurrentRow(2);
        f.SaveForm->OutputFileListClick();
        const Bitmap& preview = f.SaveForm->PreviewBitmap;
        QCOMPARE(preview.row(314)[3 * 314], static_cast<std::uint8_t>(0));
        f.SaveForm->OutputFileList->setCurrentRow(0);
        f.SaveForm->OutputFileListClick();
        QCOMPARE(preview.row(314)[3 * 314], static_cast<std::uint8_t>(100));

        // Cancel writes nothing.
        QDir(outputs_.path()).removeRecursively();
        QDir().mkpath(outputs_.path());
        p.modalAnswers << QDialog::Rejected;
        f.SaveBtnClick();
        QVERIFY(QDir(outputs_.path()).entryList(QDir::Files).isEmpty());
    }

    void namesThatCollideOrLeaveTheDirectoryAreRefused() {
        ScriptedPrompter p;
        TForm1 f(p);
        // Two pictures of one name from two folders would be written to one file.
        QTemporaryDir other;
        QStringList files;
        for (const QString& folder : {sources_.path(), other.path()}) {
            files << folder + "/same.bmp";
            WriteFileAtomically(files.last().toStdString(), EncodeBmp(Flat(40, 30, folder == other.path() ? 90 : 140)));
        }
        p.files << files;
        f.OpenBtnClick();
        f.LastOutputDir = outputs_.path().toStdString();
        f.SaveBtnClick();
        QCOMPARE(p.messages.size(), 1);
        QVERIFY2(p.messages.last().contains("would both be saved as"), qPrintable(p.messages.last()));
        QVERIFY(p.messages.last().contains(files[0]) && p.messages.last().contains(files[1]));
        QVERIFY(QDir(outputs_.path()).entryList(QDir::Files).isEmpty());
        // A tag with a path separator.
        f.SaveForm->AlignedTextEdit->setText("../");
        f.SaveForm->AppendCheckBox->setChecked(false);
        f.findChild<QAction*>("SaveImage1")->trigger();
        QVERIFY2(p.messages.last().contains("path separator"), qPrintable(p.messages.last()));
        QVERIFY(QDir(outputs_.path() + "/..").entryList({"same*"}, QDir::Files).isEmpty());
    }

    void failedWritesReportTheFile() {
        ScriptedPrompter p;
        TForm1 f(p);
        load(f, p);
        f.LastOutputDir = outputs_.filePath("missing/folder").toStdString();
        f.SaveBtnClick();
        QVERIFY(p.messages.last().startsWith("Cannot create file "));
        QVERIFY(p.messages.last().contains("IMG_1Aligned.jpg"));
        QCOMPARE(p.kinds.last(), Prompter::Kind::Error);
        QVERIFY(f.statusText(1) != QString("Ready"));
    }

    void browsePicksTheDirectory() {
        ScriptedPrompter p;
        TForm1 f(p);
        load(f, p);
        p.modalAnswers << QDialog::Rejected;
        f.SaveBtnClick();
        const QString other = outputs_.filePath("elsewhere");
        QDir().mkpath(other);
        p.directories << other;
        f.SaveForm->SelectDirBtnClick();
        QCOMPARE(f.SaveForm->OutputDir, QDir::toNativeSeparators(other));
        QVERIFY(f.SaveForm->OutputFullDirLabel->text().remove(' ').contains("elsewhere"));
        QVERIFY(f.SaveForm->OutputFullPath[0].startsWith(other));
    }

    // Raw brackets: the development chosen in the menu, pictures held at 16
    // bits, saved by default as 16-bit TIFF, or at the depth chosen.
    void rawBracketsDevelopAndSaveAtTheirDepth() {
        ScriptedPrompter p;
        TForm1 f(p);
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        auto choose = [&](QAction* development) {
            QMenuBar* bar = f.menuBar();
            QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(f.OptionsMenu->menuAction()).center());
            QTRY_VERIFY(f.OptionsMenu->isVisible());
            QMenu* raw = f.OptionsMenu->findChild<QMenu*>("RawDevelopmentMenu");
            QTest::mouseClick(f.OptionsMenu, Qt::LeftButton, {}, f.OptionsMenu->actionGeometry(raw->menuAction()).center());
            QTRY_VERIFY(raw->isVisible());
            QTest::mouseClick(raw, Qt::LeftButton, {}, raw->actionGeometry(development).center());
            QTRY_VERIFY(!f.OptionsMenu->isVisible());
            f.activateWindow();  // the offscreen platform does not hand activation back from a popup
            QVERIFY(QTest::qWaitForWindowActive(&f));
        };
        QVERIFY(f.RawLinearAction->isChecked());
        choose(f.RawSrgbAction);
        QVERIFY(f.RawSrgbAction->isChecked() && !f.RawLinearAction->isChecked());
        QVERIFY2(f.statusText(0).contains("sRGB curve"), qPrintable(f.statusText(0)));
        choose(f.RawLinearAction);
        QVERIFY(f.RawLinearAction->isChecked());

        load(f, p, "RAW_%1.DNG", [](int i) {
            return test::MakeDng(96, 64, [](int x, int y) { return std::array<double, 3>{1.0 + x / 96.0, 1.5, 1.0 + y / 64.0}; },
                                 {1.0 / (8 << (2 * i))});
        });
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(f.workspace().slot(n).Deep.depth(), SampleDepth::U16);
            QVERIFY(f.workspace().slot(n).Deep.linear());
        }
        p.whileShown = [&](QDialog* dialog) {
            auto* form = static_cast<TSaveForm*>(dialog);
            QVERIFY(form->TIFRadio->isChecked());  // keeps the 16 bits
            QCOMPARE(form->DepthCombo->currentText(), QString("Source depth"));
            form->DepthCombo->setFocus();
            for (int i = 0; i < 3; ++i) QTest::keyClick(form->DepthCombo, Qt::Key_Down);
            QCOMPARE(form->DepthCombo->currentText(), QString("32-bit float"));
            QTest::mouseClick(form->PNGRadio, Qt::LeftButton, {}, QPoint(6, 8));  // no float in a PNG
            QCOMPARE(form->DepthCombo->currentText(), QString("16 bits"));
            QTest::keyClick(form->DepthCombo, Qt::Key_Down);
            QCOMPARE(form->DepthCombo->currentText(), QString("16 bits"));
            QTest::mouseClick(form->JPGRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(!form->DepthCombo->isEnabled());
            QTest::mouseClick(form->TIFRadio, Qt::LeftButton, {}, QPoint(6, 8));
            QVERIFY(form->DepthCombo->isEnabled());
            QTest::keyClick(form->DepthCombo, Qt::Key_Down);
            QCOMPARE(form->DepthCombo->currentText(), QString("32-bit float"));
        };
        f.SaveBtnClick();
        p.whileShown = nullptr;
        for (int n = 1; n <= 3; ++n) {
            Bitmap out;
            QCOMPARE(LoadImageFile(outputs_.filePath(QString("RAW_%1Aligned.tif").arg(n)).toStdString(), out),
                     LoadOutcome::Loaded);
            QCOMPARE(out.depth(), SampleDepth::Float);
        }
    }
};

QTEST_MAIN(SaveFormTest)
#include "save_form_test.moc"
