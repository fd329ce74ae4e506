// The window on a screen of two device pixels a pixel (run with QT_SCALE_FACTOR=2).
#include <QMenuBar>
#include <QTemporaryDir>
#include <QtTest>

#include "formats/bmp_codec.h"
#include "main_window.h"
#include "paint_box.h"
#include "scripted_prompter.h"
#include "util/file_io.h"

using namespace vantrel;

class HighDpiTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;

    // Share of the 2 x 2 blocks of a grab that are not one colour: a view
    // drawn at its own pixels and doubled has none.
    static double FineBlocks(const QImage& image) {
        int fine = 0, blocks = 0;
        for (int y = 0; y + 1 < image.height(); y += 2)
            for (int x = 0; x + 1 < image.width(); x += 2) {
                const QRgb a = image.pixel(x, y);
                fine += image.pixel(x + 1, y) != a || image.pixel(x, y + 1) != a || image.pixel(x + 1, y + 1) != a;
                ++blocks;
            }
        return blocks ? static_cast<double>(fine) / blocks : 0;
    }

private slots:
    void viewsAreDrawnAtTheScreensPixels() {
        ScriptedPrompter p;
        TForm1 f(p);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        if (f.devicePixelRatioF() < 2) QSKIP("the screen is not scaled (QT_SCALE_FACTOR=2)");
        // Fine detail: a new grey every pixel, zoomed out on the views.
        Bitmap b(1200, 900);
        for (int y = 0; y < 900; ++y)
            for (int x = 0; x < 1200; ++x) std::fill_n(b.row(y) + 3 * x, 3, static_cast<std::uint8_t>((x * 37 + y * 91) % 251));
        QStringList files;
        for (const char* name : {"a.bmp", "b.bmp"}) {
            const QString path = dir_.filePath(name);
            WriteFileAtomically(path.toStdString(), EncodeBmp(b));
            files << path;
        }
        p.files << files;
        f.OpenBtnClick();
        for (QWidget* view : {static_cast<QWidget*>(f.paintBox(1)), static_cast<QWidget*>(f.AlignedPaintBox)}) {
            const QImage shot = view->grab().toImage();
            QCOMPARE(shot.width(), 2 * view->width());
            QVERIFY2(FineBlocks(shot) > 0.5, qPrintable(view->objectName()));
        }
    }
};

QTEST_MAIN(HighDpiTest)
#include "high_dpi_test.moc"
