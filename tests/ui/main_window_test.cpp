#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QProgressBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "forms.h"
#include "formats/bmp_codec.h"
#include "formats/image_file.h"
#include "imaging/slider_render.h"
#include "imaging/view_render.h"
#include "launch.h"
#include "lens_form.h"
#include "main_window.h"
#include "paint_box.h"
#include "prompter.h"
#include "scripted_prompter.h"
#include "util/file_io.h"
#include "../core/synthetic_brackets.h"

using namespace vantrel;

namespace {

// A pointer move delivered straight to the widget (no button state needed).
void move(QWidget* widget, QPoint at) {
    QMouseEvent event(QEvent::MouseMove, QPointF(at), widget->mapToGlobal(QPointF(at)), Qt::NoButton, Qt::NoButton, {});
    QApplication::sendEvent(widget, &event);
}

Bitmap Flat(int w, int h, std::uint8_t grey) {
    Bitmap b(w, h);
    b.fill(grey, grey, grey);
    return b;
}

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QString write(const QString& name, const Bitmap& b) {
        const QString path = dir_.filePath(name);
        WriteFileAtomically(path.toStdString(), EncodeBmp(b));
        return path;
    }
    static const std::uint8_t* viewPixel(TForm1& f, int n, int x, int y) {
        return f.view(n).ViewBitmap.row(y) + x * 3;
    }

private slots:
    void startsEmptyWithTheLayout() {
        ScriptedPrompter p;
        TForm1 f(p);
        QCOMPARE(f.windowTitle(), QString("Vantrel  v2.0"));
        QCOMPARE(f.centralWidget()->size(), QSize(870, 634));
        QCOMPARE(f.AlignedPaintBox->geometry(), QRect(421, 328, 444, 301));
        for (int n = 1; n <= 3; ++n) {
            QCOMPARE(viewPixel(f, n, 140, 140)[1], 0);
            QVERIFY(!f.masterSelect(n)->isHidden());
            QVERIFY(f.masterText(n)->isHidden());
            QVERIFY(f.histoBox(n)->isHidden());
        }
        QCOMPARE(f.statusText(1), QString("Empty"));
        QCOMPARE(f.FOVLabel->text(), QString("None"));
        QCOMPARE(f.AlignmentDataStringGrid->item(0, 2)->text(), QString("Image 2"));
        QCOMPARE(f.AlignmentDataStringGrid->item(9, 0)->text(), QString("Scale"));
        QVERIFY(f.AlignmentDataStringGrid->item(1, 1)->text().isEmpty());
        QCOMPARE(f.AlignmentDataStringGrid->columnWidth(0), 69);
        QCOMPARE(f.AlignmentDataStringGrid->rowHeight(0), 23);
        QVERIFY(!f.ScalingCheckBox->isHidden() && f.ScalingCheckBox->isChecked());
        QVERIFY(!f.LivePreviewCheckBox->isChecked());
        QVERIFY(!f.Debug1->isVisible());
        QCOMPARE(f.LensCorrectionForm->windowTitle(), QString("Lens Correction Module"));
        QCOMPARE(f.DebugForm->windowTitle(), QString("Vantrel Debug Form"));
        QCOMPARE(f.AboutForm->size(), QSize(208, 270));
    }

    void closeCancelledKeepsEverything() {
        ScriptedPrompter p;
        TForm1 f(p);
        p.files << QStringList{write("a.bmp", Flat(40, 30, 100))};
        f.LoadSlotFromFile(1);
        p.messageAnswer = Prompter::Answer::Cancel;
        f.Close1Click();
        QCOMPARE(p.messages.last(), QString("Click OK to exit the program\nOr Cancel to return"));
        QCOMPARE(p.kinds.last(), Prompter::Kind::Confirmation);
        QVERIFY(f.workspace().slot(1).Loaded);
        QCOMPARE(f.workspace().MasterIndex(), 1);
    }

    void openFillsSlotsInOrder() {
        ScriptedPrompter p;
        TForm1 f(p);
        const QString a = write("a.bmp", Flat(60, 40, 90)), b = write("b.bmp", Flat(50, 50, 130));
        p.files << QStringList{a, b};
        f.OpenBtnClick();
        QCOMPARE(p.modalsShown, 1);
        QCOMPARE(f.LensCorrectionForm->ImageListBox->count(), 3);
        QCOMPARE(f.LensCorrectionForm->ImageListBox->item(1)->text(), QString("b.bmp"));
        QCOMPARE(f.LensCorrectionForm->ListFileName, a);
        Workspace& ws = f.workspace();
        QVERIFY(ws.slot(1).Loaded && ws.slot(2).Loaded && !ws.slot(3).Loaded);
        QCOMPARE(QString::fromStdString(ws.slot(2).FileName), QString("b.bmp"));
        QCOMPARE(f.statusText(1), QString("Ready"));
        QCOMPARE(f.progressValue(), 0);
        QCOMPARE(ws.MasterIndex(), 2);  // luminance 130 is nearer to 126 than 90
        QVERIFY(f.masterSelect(2)->isHidden() && !f.masterText(2)->isHidden());
        QVERIFY(!f.masterSelect(2)->isChecked());
        QCOMPARE(viewPixel(f, 2, 140, 140)[0], 129);  // one level darker at brightness 0

        // Four files: the first three are read.
        const QString c = write("c.bmp", Flat(30, 30, 10)), d = write("d.bmp", Flat(30, 30, 20));
        p.files << QStringList{d, c, a, b};
        f.OpenBtnClick();
        QCOMPARE(QString::fromStdString(ws.slot(1).FileName), QString("d.bmp"));
        QCOMPARE(QString::fromStdString(ws.slot(3).FileName), QString("a.bmp"));
        QCOMPARE(f.FileList.size(), std::size_t{3});
    }

    void cancelledOrFailedLoadsKeepPathAndImage() {
        ScriptedPrompter p;
        TForm1 f(p);
        Workspace& ws = f.workspace();
        const QString a = write("a.bmp", Flat(60, 40, 90));
        p.files << QStringList{a};
        f.OpenBtnClick();
        QCOMPARE(QString::fromStdString(ws.slot(1).FilePath), a);

        // Cancel in the lens window: nothing loads, the path still names the shown image.
        p.files << QStringList{write("b.bmp", Flat(10, 10, 10))};
        p.modalAnswers << QDialog::Rejected;
        f.OpenBtnClick();
        QCOMPARE(QString::fromStdString(ws.slot(1).FilePath), a);
        QCOMPARE(ws.slot(1).Bitmap.width(), 60);
        QCOMPARE(f.statusText(1), QString("Ready"));

        // A broken file: the invalid-picture message, and the slot keeps its image.
        const QString broken = dir_.filePath("broken.jpg");
        WriteFileAtomically(broken.toStdString(), std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xC0, 0, 1});
        p.files << QStringList{broken};
        f.LoadSlotFromFile(1);
        QCOMPARE(p.messages.last(), QString::fromUtf8(kInvalidPictureMessage));
        QVERIFY(p.messages.last().contains(".bmp  .BMP  .jpg"));
        QCOMPARE(p.kinds.last(), Prompter::Kind::Error);
        QVERIFY(ws.slot(1).Loaded);
        QCOMPARE(QString::fromStdString(ws.slot(1).FilePath), a);

        // A file that vanished before loading.
        const QString gone = write("gone.bmp", Flat(10, 10, 10));
        p.files << QStringList{gone};
        p.modalAnswers << QDialog::Accepted;
        QFile::remove(gone);
        f.OpenBtnClick();
        QCOMPARE(p.messages.last(), QString("File does not exist !!!"));
        QCOMPARE(p.kinds.last(), Prompter::Kind::Warning);
        QCOMPARE(QString::fromStdString(ws.slot(1).FilePath), a);
    }

    void realCameraFilesLoad() {
        ScriptedPrompter p;
        TForm1 f(p);
        const QString bracket = QString(VANTREL_TESTDATA_DIR) + "/brackets/sony-dsc08191-08205/";
        p.files << QStringList{bracket + "DSC08196.JPG", bracket + "DSC08197.JPG", bracket + "DSC08198.JPG"};
        f.OpenBtnClick();
        Workspace& ws = f.workspace();
        for (int n = 1; n <= 3; ++n) {
            QVERIFY(ws.slot(n).Loaded);
            QCOMPARE(ws.slot(n).Bitmap.width(), 200);
            QVERIFY(ws.slot(n).Luminance > 0);
        }
        QVERIFY(ws.MasterIndex() >= 1);
        QVERIFY(p.messages.isEmpty());
    }

    void loadAndClearSlots() {
        ScriptedPrompter p;
        TForm1 f(p);
        Workspace& ws = f.workspace();
        p.files << QStringList{write("a.bmp", Flat(40, 40, 126)), write("b.bmp", Flat(40, 40, 60)),
                               write("c.bmp", Flat(40, 40, 200))};
        f.OpenBtnClick();
        QCOMPARE(ws.MasterIndex(), 1);  // avg 128: slot 1 is nearest

        p.files << QStringList{write("e.bmp", Flat(20, 20, 90))};
        f.LoadImage2Click();
        QCOMPARE(QString::fromStdString(ws.slot(2).FileName), QString("e.bmp"));
        QCOMPARE(f.FileList.size(), std::size_t{1});
        QCOMPARE(ws.MasterIndex(), 1);  // loading keeps the master

        f.ClearImage1Click();  // the master: another loaded slot takes over
        QVERIFY(!ws.slot(1).Loaded);
        QVERIFY(ws.MasterIndex() == 2 || ws.MasterIndex() == 3);
        QVERIFY(!f.masterSelect(1)->isHidden());
        QCOMPARE(viewPixel(f, 1, 140, 140)[0], 0);
        f.ClearImage2Click();
        f.ClearImage3Click();
        QCOMPARE(ws.MasterIndex(), 0);
        QCOMPARE(f.statusText(1), QString("Empty"));
        for (int n = 1; n <= 3; ++n) QVERIFY(!f.masterSelect(n)->isHidden() && f.masterText(n)->isHidden());

        // The box of an empty slot cannot make it master.
        f.masterSelect(2)->setChecked(true);
        QVERIFY(!f.masterSelect(2)->isChecked());
        QCOMPARE(ws.MasterIndex(), 0);
    }

    void navigationButtonsAndPanning() {
        ScriptedPrompter p;
        TForm1 f(p);
        Workspace& ws = f.workspace();
        p.files << QStringList{write("a.bmp", Flat(4000, 300, 50)), QString(), write("c.bmp", Flat(300, 300, 60))};
        f.OpenBtnClick();
        QVERIFY(!ws.slot(2).Loaded);
        const double zoom1 = ws.slot(1).Zoom;
        QTest::mouseClick(f.findChild<QPushButton*>("InputZoomInBtn"), Qt::LeftButton);
        QTest::mouseClick(f.findChild<QPushButton*>("InputZoomOutBtn"), Qt::LeftButton);
        QVERIFY(std::abs(ws.slot(1).Zoom - zoom1) < 1e-12);
        QTest::mouseClick(f.findChild<QPushButton*>("Input1to1Btn"), Qt::LeftButton);
        QCOMPARE(ws.slot(1).Zoom, 1.0);
        QCOMPARE(ws.slot(1).ViewCenterX, 2000);
        QTest::mouseClick(f.findChild<QPushButton*>("InputCP1Btn"), Qt::LeftButton);
        QCOMPARE(ws.slot(1).ViewCenterX, 400);
        QCOMPARE(ws.slot(3).ViewCenterX, 30);
        QTest::mouseClick(f.findChild<QPushButton*>("InputCP2Btn"), Qt::LeftButton);
        QCOMPARE(ws.slot(3).ViewCenterX, 270);

        // Drag in view 1: the picture follows the pointer; other views stay.
        const int before1 = ws.slot(1).ViewCenterX, before3 = ws.slot(3).ViewCenterX;
        PaintBox* view = f.paintBox(1);
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(100, 100));
        QMouseEvent move(QEvent::MouseMove, QPointF(130, 90), view->mapToGlobal(QPointF(130, 90)), Qt::NoButton,
                         Qt::LeftButton, {});
        QApplication::sendEvent(view, &move);
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(130, 90));
        QCOMPARE(ws.slot(1).ViewCenterX, before1 - 30);
        QCOMPARE(ws.slot(3).ViewCenterX, before3);
        QVERIFY(!f.pointer().Panning);

        // A right-button press starts no drag.
        QTest::mousePress(view, Qt::RightButton, {}, QPoint(100, 100));
        QVERIFY(!f.pointer().Panning);
        QTest::mouseRelease(view, Qt::RightButton, {}, QPoint(100, 100));

        const double emptyZoom = ws.slot(2).Zoom;
        QTest::mouseClick(f.findChild<QPushButton*>("InputFitBtn"), Qt::LeftButton);
        QCOMPARE(ws.slot(1).ViewCenterX, 2000);
        QCOMPARE(ws.slot(1).Zoom, 1.1 * 4000 / 281);
        QCOMPARE(ws.slot(3).Zoom, 1.1 * 300 / 281);
        QCOMPARE(ws.slot(2).Zoom, emptyZoom);  // an empty slot is left as it is
    }

    void hoverNamesTheImage() {
        ScriptedPrompter p;
        TForm1 f(p);
        p.files << QStringList{write("photo.bmp", Flat(64, 48, 90))};
        f.OpenBtnClick();
        f.PaintBox1MouseMove(10, 10);
        QCOMPARE(f.statusText(0), QString("Image 1 - photo.bmp   64x48"));
        QCOMPARE(f.pointer().ActiveControl, Control::InputView1);
        f.PaintBox2MouseMove(10, 10);
        QCOMPARE(f.statusText(0), QString("Image 2 - Empty"));
    }

    void progressPanelDrawsTheValue() {
        ScriptedPrompter p;
        TForm1 f(p);
        f.show();
        auto* panel = f.findChild<PaintBox*>("StatusPanel2");
        QVERIFY(panel);
        f.MainProgressBar->setValue(100);
        QImage full = panel->grab().toImage();
        QCOMPARE(full.pixelColor(panel->width() / 2, panel->height() / 2), QColor(0, 0, 128));
        QVERIFY(full.pixelColor(0, panel->height() / 2) != QColor(0, 0, 128));
        f.MainProgressBar->setValue(0);
        QImage empty = panel->grab().toImage();
        QVERIFY(empty.pixelColor(panel->width() / 2, panel->height() / 2) != QColor(0, 0, 128));
    }

    // ---- control points, master, sliders, keys, output view ----

    void dragsControlPointsByZoomedTravel() {
        ScriptedPrompter p;
        TForm1 f(p);
        Workspace& ws = f.workspace();
        p.files << QStringList{write("a.bmp", Flat(1000, 800, 120))};
        f.OpenBtnClick();
        const TImageSlot& s = ws.slot(1);
        const double zoom = s.Zoom;  // 1.1 x 1000 / 281
        const MarkCentre mark = ViewPosition(s.CP1X, s.CP1Y, s.ViewCenterX, s.ViewCenterY, zoom, 281, 281);
        PaintBox* view = f.paintBox(1);
        const int startX = s.CP1X, startY = s.CP1Y;
        const QByteArray outputBefore(reinterpret_cast<const char*>(f.OutputBitmap.bits()), 444 * 3);

        move(view, QPoint(mark.x + 24, mark.y));  // inside the 49 x 49 zone
        QVERIFY(f.pointer().HoverCP1);
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(mark.x + 24, mark.y));
        QVERIFY(f.pointer().DraggingCP1 && !f.pointer().Panning);
        move(view, QPoint(mark.x + 24 + 7, mark.y - 3));
        QCOMPARE(s.CP1X, startX + static_cast<int>(std::nearbyint(7 * zoom)));
        QCOMPARE(s.CP1Y, startY + static_cast<int>(std::nearbyint(-3 * zoom)));
        // Live preview off: the grid follows, the output view waits for the release.
        QCOMPARE(f.AlignmentDataStringGrid->item(6, 1)->text(), QString("0"));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(f.OutputBitmap.bits()), 444 * 3), outputBefore);
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(mark.x + 31, mark.y - 3));
        QVERIFY(!f.pointer().DraggingCP1);

        // 25 pixels off the mark centre: a pan, not a drag.
        const MarkCentre moved = ViewPosition(s.CP1X, s.CP1Y, s.ViewCenterX, s.ViewCenterY, zoom, 281, 281);
        move(view, QPoint(moved.x + 25, moved.y));
        QVERIFY(!f.pointer().HoverCP1);
        QTest::mousePress(view, Qt::LeftButton, {}, QPoint(moved.x + 25, moved.y));
        QVERIFY(f.pointer().Panning && !f.pointer().DraggingCP1);
        QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(moved.x + 25, moved.y));

        // Leaving a view forgets the hovered mark: a press in the output view
        // then pans it rather than starting a drag that would follow the
        // pointer back into the input view.
        const MarkCentre at = ViewPosition(s.CP1X, s.CP1Y, s.ViewCenterX, s.ViewCenterY, zoom, 281, 281);
        move(view, QPoint(at.x, at.y));
        QVERIFY(f.pointer().HoverCP1);
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(view, &leave);
        QTest::mousePress(f.AlignedPaintBox, Qt::LeftButton, {}, QPoint(50, 50));
        QVERIFY(f.pointer().Panning && !f.pointer().DraggingCP1);
        QTest::mouseRelease(f.AlignedPaintBox, Qt::LeftButton, {}, QPoint(50, 50));

        // The right button drags nothing.
        const int cp = s.CP1X;
        move(view, QPoint(moved.x, moved.y));
        QTest::mousePress(view, Qt::RightButton, {}, QPoint(moved.x, moved.y));
        move(view, QPoint(moved.x + 30, moved.y));
        QCOMPARE(s.CP1X, cp);
        QTest::mouseRelease(view, Qt::RightButton, {}, QPoint(moved.x + 30, moved.y));
    }

    // The choice by luminance itself is the workspace's (its table of cases).
    void mastersByLuminanceAndByBox() {
        ScriptedPrompter p;
        TForm1 f(p);
        p.files << QStringList{write("x.bmp", Flat(30, 20, 100)), write("y.bmp", Flat(30, 20, 150))};
        f.OpenBtnClick();
        QCOMPARE(f.workspace().MasterIndex(), 2);
        QVERIFY(!f.masterText(2)->isHidden());
        QTest::mouseClick(f.masterSelect(1), Qt::LeftButton);
        QCOMPARE(f.workspace().MasterIndex(), 1);
        QVERIFY(!f.masterSelect(1)->isChecked() && f.masterSelect(1)->isHidden() && !f.masterSelect(2)->isHidden());
        f.masterSelect(3)->setChecked(true);  // empty slot
        QCOMPARE(f.workspace().MasterIndex(), 1);
        QVERIFY(!f.masterSelect(3)->isChecked());

        // After a click on a box, Space goes to the key buffer, not to another box.
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QTest::mouseClick(f.masterSelect(2), Qt::LeftButton);
        QCOMPARE(f.workspace().MasterIndex(), 2);
        QTest::keyClick(f.windowHandle(), Qt::Key_Space);
        QCOMPARE(f.workspace().MasterIndex(), 2);
        QCOMPARE(QApplication::focusWidget(), f.KeyBuffer);
    }

    void brightnessAndFieldOfViewSliders() {
        ScriptedPrompter p;
        TForm1 f(p);
        Workspace& ws = f.workspace();
        QCOMPARE(BrightnessKnobX(97, 0), 48);
        EventLabel* label = f.sliderLabel(1);
        move(label, QPoint(10, 5));
        QTest::mousePress(label, Qt::LeftButton, {}, QPoint(10, 5));
        QVERIFY(!f.histoBox(1)->isHidden());
        move(label, QPoint(110, 5));
        QCOMPARE(ws.slot(1).Brightness, 255);  // 300 clamped
        QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(110, 5));
        QVERIFY(f.histoBox(1)->isHidden());  // released outside the label
        f.sliderBox(1)->grab();                // paints the slider
        QCOMPARE(f.view(1).SliderBitmap.row(7)[92 * 3 + 1], 128);  // grey knob at the right end tick

        // The field of view: 120 pointer pixels are 60 degrees.
        EventLabel* fov = f.FOV_SliderLabel;
        const double focalBefore = ws.FocalLengthPx();
        move(fov, QPoint(5, 5));
        QTest::mousePress(fov, Qt::LeftButton, {}, QPoint(5, 5));
        move(fov, QPoint(125, 5));
        QCOMPARE(f.FOVLabel->text(), QString("60.0 deg / 31.2 mm"));
        QCOMPARE(ws.FocalLengthPx(), focalBefore);  // no master: unchanged
        move(fov, QPoint(405, 5));
        QCOMPARE(f.FOVLabel->text().left(9), QString("179.0 deg"));
        move(fov, QPoint(-500, 5));
        QCOMPARE(f.FOVLabel->text(), QString("None"));
        QTest::mouseRelease(fov, Qt::LeftButton, {}, QPoint(-500, 5));
    }

    void keysNudgeAndStepTheFieldOfView() {
        ScriptedPrompter p;
        TForm1 f(p);
        Workspace& ws = f.workspace();
        p.files << QStringList{write("a.bmp", Flat(600, 400, 90)), write("b.bmp", Flat(600, 400, 130))};
        f.OpenBtnClick();
        f.show();
        const TImageSlot& s = ws.slot(2);
        const MarkCentre mark = ViewPosition(s.CP1X, s.CP1Y, s.ViewCenterX, s.ViewCenterY, s.Zoom, 281, 281);
        move(f.paintBox(2), QPoint(mark.x, mark.y));
        QVERIFY(f.pointer().HoverCP1);
        const int x = s.CP1X, y = s.CP1Y;
        QTest::keyClick(f.KeyBuffer, 'd');
        QCOMPARE(s.CP1X, x + 1);
        QTest::keyClick(f.KeyBuffer, Qt::Key_Down);
        QCOMPARE(s.CP1Y, y + 1);
        QTest::keyClick(f.KeyBuffer, '4');
        QCOMPARE(s.CP1X, x);
        // Away from the marks nothing moves.
        move(f.paintBox(2), QPoint(140, 5));
        QVERIFY(!f.pointer().HoverCP1);
        QTest::keyClick(f.KeyBuffer, 'd');
        QCOMPARE(s.CP1X, x);

        // The right arrow with the pointer resting on the field-of-view slider
        // renders at once. The window system's own events: the enter comes
        // before the first move.
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QTest::mouseMove(f.FOV_SliderLabel, QPoint(5, 5));
        f.OutputBitmap.fill(1, 2, 3);
        QTest::keyClick(f.windowHandle(), Qt::Key_Right);
        QCOMPARE(f.FOVLabel->text(), QString("0.5 deg / 4125.3 mm"));
        QVERIFY(ws.FocalLengthPx() < 1e9);
        QVERIFY(f.OutputBitmap.row(150)[3 * 222 + 2] != 3);
    }

    void outputViewNavigation() {
        ScriptedPrompter p;
        TForm1 f(p);
        Workspace& ws = f.workspace();
        move(f.AlignedPaintBox, QPoint(10, 10));
        QCOMPARE(f.statusText(0), QString("Output Images - 0x0"));
        p.files << QStringList{write("big.bmp", Flat(3000, 2000, 120))};
        f.OpenBtnClick();
        QTest::mouseClick(f.findChild<QPushButton*>("Output1to1Btn"), Qt::LeftButton);
        QTest::mouseClick(f.findChild<QPushButton*>("OutPutZoomInBtn"), Qt::LeftButton);
        QCOMPARE(ws.outputView().zoom, 1 / 1.1);
        QTest::mouseClick(f.findChild<QPushButton*>("OutputFitBtn"), Qt::LeftButton);
        QVERIFY(std::abs(ws.outputView().zoom - 3000.0 / 444 * 1.1) < 1e-12);
        QCOMPARE(ws.outputView().centerX, 1500);
        QCOMPARE(ws.outputView().centerY, 1000);
        move(f.AlignedPaintBox, QPoint(10, 10));
        QCOMPARE(f.statusText(0), QString("Output Images - 3000x2000"));

        // Dragging right by 10 view pixels moves the centre left by round(10 x zoom).
        QTest::mousePress(f.AlignedPaintBox, Qt::LeftButton, {}, QPoint(100, 100));
        move(f.AlignedPaintBox, QPoint(110, 100));
        QCOMPARE(ws.outputView().centerX, 1500 - static_cast<int>(std::nearbyint(10 * ws.outputView().zoom)));
        QTest::mouseRelease(f.AlignedPaintBox, Qt::LeftButton, {}, QPoint(110, 100));
        QVERIFY(!f.pointer().Panning);
        QTest::mousePress(f.AlignedPaintBox, Qt::RightButton, {}, QPoint(100, 100));
        QVERIFY(!f.pointer().Panning);
        QTest::mouseRelease(f.AlignedPaintBox, Qt::RightButton, {}, QPoint(100, 100));
    }

    void debugWindowTracesThePointUnderThePointer() {
        ScriptedPrompter p;
        TForm1 f(p);
        p.files << QStringList{write("a.bmp", Flat(300, 200, 100)), write("b.bmp", Flat(300, 200, 140))};
        f.OpenBtnClick();
        f.Debug1Click();
        QVERIFY(f.DebugForm->isVisible());
        QVERIFY(f.DebugForm->CPDataMemo->toPlainText().startsWith("a.bmp\nAngle        "));
        f.DebugForm->ImageDataMemo->setPlainText("before");
        f.AlignedPaintBoxMouseMove(100, 100);  // no field of view: nothing listed
        QCOMPARE(f.DebugForm->ImageDataMemo->toPlainText(), QString("before"));
        f.workspace().setFOVDegrees(60);
        f.workspace().Recalculate(true);
        f.AlignedPaintBoxMouseMove(100, 100);
        QVERIFY(f.DebugForm->ImageDataMemo->toPlainText().startsWith("Output Point, relative to Top-Left of view box"));
        QVERIFY(f.DebugForm->Image3rgbMemo->toPlainText().endsWith("B 3  255"));
        // A pan writes nothing.
        f.DebugForm->ImageDataMemo->setPlainText("before");
        QTest::mousePress(f.AlignedPaintBox, Qt::LeftButton, {}, QPoint(100, 100));
        f.AlignedPaintBoxMouseMove(120, 100);
        QCOMPARE(f.DebugForm->ImageDataMemo->toPlainText(), QString("before"));
        QTest::mouseRelease(f.AlignedPaintBox, Qt::LeftButton, {}, QPoint(120, 100));
    }

    // Auto Align from the menu bar, from Ctrl+A and after a load when its box
    // is ticked; a picture that does not match is named; the marks can still
    // be dragged by whole pixels from where the program put them.
    void autoAlignFromTheMenuTheKeyAndTheBox() {
        ScriptedPrompter p;
        TForm1 f(p);
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        Workspace& ws = f.workspace();
        Bitmap photo;
        LoadImageFile(QString(VANTREL_TESTDATA_DIR "/camera-jpeg/exif-samples/hdr/iphone_hdr_NO.jpg").toStdString(), photo);
        auto shot = [&](const QString& name, const test::Motion& motion, double gain) {
            return write(name, test::Exposure(photo, 600, 400, [&](test::Point q) {
                             const test::Point r = test::Unmap(motion, q);
                             return test::Point{r.x * 5, r.y * 5};
                         }, gain, 1, 1));
        };
        // With nothing loaded the key says so.
        QTest::keyClick(f.windowHandle(), Qt::Key_A, Qt::ControlModifier);
        QVERIFY2(f.statusText(0).contains("open two or three images first"), qPrintable(f.statusText(0)));
        const QString master = shot("master.bmp", test::Motion{}, 1);
        const QString turned = shot("turned.bmp", test::SimilarityAbout(600, 400, 1.5, 1.01, 9, -4), 0.5);
        p.files << QStringList{master, turned};
        f.OpenBtnClick();
        QTest::mouseClick(f.masterSelect(1), Qt::LeftButton);
        QCOMPARE(ws.MasterIndex(), 1);

        // The original commands keep their places; Auto Align comes after
        // them, in a menu of its own that shows its shortcut.
        QStringList titles;
        for (QAction* a : f.menuBar()->actions())
            if (a->isVisible()) titles << a->text();
        QCOMPARE(titles, (QStringList{"Open", "Save All", "About", "Close", "Align", "Options"}));
        QCOMPARE(f.MainMenuAutoAlign->shortcut(), QKeySequence("Ctrl+A"));
        QVERIFY(f.MainMenuAutoAlign->isShortcutVisibleInContextMenu());
        QTest::mouseClick(f.menuBar(), Qt::LeftButton, {}, f.menuBar()->actionGeometry(f.AlignMenu->menuAction()).center());
        QTRY_VERIFY(f.AlignMenu->isVisible());
        QTest::mouseClick(f.AlignMenu, Qt::LeftButton, {}, f.AlignMenu->actionGeometry(f.MainMenuAutoAlign).center());
        QTRY_VERIFY(!f.AlignMenu->isVisible());
        f.activateWindow();  // the offscreen platform does not hand activation back from a popup
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QVERIFY(ws.slot(2).CP1X != std::floor(ws.slot(2).CP1X));  // a sub-pixel point
        QVERIFY(std::abs(ws.slot(2).Rotation * 180 / std::numbers::pi - 1.5) < 0.05);
        QCOMPARE(f.statusText(1), QString("Ready"));
        QVERIFY(p.messages.isEmpty());
        QVERIFY2(f.statusText(0).startsWith("Image 2 aligned ("), qPrintable(f.statusText(0)));  // the outcome, in the bar
        // Sub-pixel offsets: the two Delta rows with three decimals each.
        const QRegularExpression threeDecimals("^-?\\d+\\.\\d{3}$");
        for (const int row : {6, 7})
            QVERIFY2(threeDecimals.match(f.AlignmentDataStringGrid->item(row, 2)->text()).hasMatch(),
                     qPrintable(f.AlignmentDataStringGrid->item(row, 2)->text()));

        // A hand drag moves the point by whole source pixels from where it was.
        const TImageSlot& s = ws.slot(2);
        const double x = s.CP1X;
        const MarkCentre mark = ViewPosition(s.CP1X, s.CP1Y, s.ViewCenterX, s.ViewCenterY, s.Zoom, 281, 281);
        move(f.paintBox(2), QPoint(mark.x, mark.y));
        QTest::mousePress(f.paintBox(2), Qt::LeftButton, {}, QPoint(mark.x, mark.y));
        QMouseEvent drag(QEvent::MouseMove, QPointF(mark.x + 3, mark.y), f.paintBox(2)->mapToGlobal(QPointF(mark.x + 3, mark.y)),
                         Qt::NoButton, Qt::LeftButton, {});
        QApplication::sendEvent(f.paintBox(2), &drag);
        QTest::mouseRelease(f.paintBox(2), Qt::LeftButton, {}, QPoint(mark.x + 3, mark.y));
        QCOMPARE(s.CP1X - x, std::nearbyint(3 * s.Zoom));

        // Ctrl+A puts it back.
        QTest::keyClick(f.windowHandle(), Qt::Key_A, Qt::ControlModifier);
        QVERIFY(std::abs(s.CP1X - x) < 0.05);

        // Ticked, a load aligns at once; a grey picture is named, not aligned.
        QTest::mouseClick(f.AutoAlignCheckBox, Qt::LeftButton);
        QVERIFY(f.AutoAlignCheckBox->isChecked());
        p.files << QStringList{write("grey.bmp", Flat(600, 400, 90))};
        f.LoadImage3Click();
        QVERIFY(!p.messages.isEmpty());
        QVERIFY2(p.messages.last().contains("Image 3 (grey.bmp) could not be aligned"), qPrintable(p.messages.last()));
        QVERIFY(std::abs(s.CP1X - x) < 0.05);  // the others are still aligned
    }

    // Drags `files` (as URLs) onto `target` at `at`, through the application's event delivery.
    static bool drop(QWidget* target, const QPoint& at, const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &enter);
        if (!enter.isAccepted()) return false;
        QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
        QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(target, &dropped);
        QCoreApplication::processEvents();  // the load runs once the drop is over
        return dropped.isAccepted();
    }

    void filesFromTheCommandLineAndFromDrops() {
        ScriptedPrompter p;
        TForm1 f(p);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        const QString a = write("a.bmp", Flat(40, 30, 60)), b = write("b.bmp", Flat(41, 30, 120)),
                      c = write("c.bmp", Flat(42, 30, 180)), d = write("d.bmp", Flat(43, 30, 200));
        // The command line: the first three, through the lens window, as Open.
        const Launch launch = ParseLaunch({a, b, c, d});
        QCOMPARE(launch.exitCode, -1);
        f.openFiles(launch.files);
        QCOMPARE(p.modalsShown, 1);
        for (int n = 1; n <= 3; ++n) QCOMPARE(f.workspace().slot(n).Bitmap.width(), 39 + n);
        QCOMPARE(ParseLaunch({"--version"}).text, QString("vantrel 2.0\n"));
        QCOMPARE(ParseLaunch({"--frobnicate"}).exitCode, 2);

        // One file on input view 2: that slot only.
        QVERIFY(drop(f.paintBox(2), f.paintBox(2)->rect().center(), {QUrl::fromLocalFile(d)}));
        QCOMPARE(f.workspace().slot(2).FileName, std::string("d.bmp"));
        QCOMPARE(f.workspace().slot(1).FileName, std::string("a.bmp"));
        QCOMPARE(f.workspace().slot(3).FileName, std::string("c.bmp"));
        // Two files on the output view: Open with them, the third slot emptied.
        QVERIFY(drop(f.AlignedPaintBox, f.AlignedPaintBox->rect().center(), {QUrl::fromLocalFile(c), QUrl::fromLocalFile(a)}));
        QCOMPARE(f.workspace().slot(1).FileName, std::string("c.bmp"));
        QCOMPARE(f.workspace().slot(2).FileName, std::string("a.bmp"));
        QVERIFY(!f.workspace().slot(3).Loaded);
        // Anything but a local picture file is not taken, and changes nothing.
        QVERIFY(!drop(f.paintBox(3), QPoint(5, 5), {QUrl("https://example.com/e.jpg")}));
        QVERIFY(!f.workspace().slot(3).Loaded);
        const QString notes = dir_.filePath("README.md");
        WriteFileAtomically(notes.toStdString(), std::string("# not a picture\n"));
        const int modals = p.modalsShown;
        for (QWidget* target : {static_cast<QWidget*>(f.AlignedPaintBox), static_cast<QWidget*>(f.paintBox(1))})
            QVERIFY(!drop(target, target->rect().center(), {QUrl::fromLocalFile(notes)}));
        QCOMPARE(p.modalsShown, modals);
        QCOMPARE(f.workspace().slot(1).FileName, std::string("c.bmp"));
        QCOMPARE(f.workspace().slot(2).FileName, std::string("a.bmp"));
        // The lens window opens a dropped picture as its Open.
        auto* lens = static_cast<TLensCorrectionForm*>(f.LensCorrectionForm);
        QVERIFY(drop(lens, QPoint(400, 300), {QUrl::fromLocalFile(b)}));
        QCOMPARE(lens->sourceImage().width(), 41);
        QVERIFY(!drop(lens, QPoint(400, 300), {QUrl::fromLocalFile(notes)}));
        QCOMPARE(lens->sourceImage().width(), 41);
    }

    void gridShowsLoadedColumnsAndTheMaster() {
        ScriptedPrompter p;
        TForm1 f(p);
        f.show();
        p.files << QStringList{write("a.bmp", Flat(50, 40, 100)), QString(), write("c.bmp", Flat(50, 40, 126))};
        f.OpenBtnClick();
        QCOMPARE(f.workspace().MasterIndex(), 3);
        QCOMPARE(f.AlignmentDataStringGrid->item(2, 1)->text(), QString("50 x 40"));
        const QImage grid = f.AlignmentDataStringGrid->viewport()->grab().toImage();
        const QRect master = f.AlignmentDataStringGrid->visualRect(f.AlignmentDataStringGrid->model()->index(0, 3));
        const QRect other = f.AlignmentDataStringGrid->visualRect(f.AlignmentDataStringGrid->model()->index(0, 1));
        QCOMPARE(grid.pixelColor(master.left() + 3, master.top() + 3), QColor(240, 240, 50));
        QCOMPARE(grid.pixelColor(other.left() + 3, other.top() + 3), QColor(150, 150, 150));
        // Column 2 (empty slot) shows only its heading: its data cells are plain.
        const QRect empty = f.AlignmentDataStringGrid->visualRect(f.AlignmentDataStringGrid->model()->index(2, 2));
        for (int x = empty.left() + 1; x < empty.right() - 1; ++x)
            QCOMPARE(grid.pixelColor(x, empty.center().y()), QColor(200, 200, 200));
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
