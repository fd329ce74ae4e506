#include <QApplication>
#include <QFont>
#include <QTimer>

#include <malloc.h>

#include <cstdio>

#include "launch.h"
#include "main_window.h"
#include "prompter.h"
#include "util/file_io.h"

int main(int argc, char** argv) {
    // A bounded number of malloc arenas, so a memory limit means what it says.
    ::mallopt(M_ARENA_MAX, 2);
    // A session ended during a save leaves no temporary file beside the outputs.
    vantrel::RemoveTemporaryFilesOnInterrupt();
    // --help and --version need no display.
    QStringList raw;
    for (int i = 1; i < argc; ++i) raw << QString::fromLocal8Bit(argv[i]);
    if (const vantrel::Launch early = vantrel::ParseLaunch(raw); early.exitCode == 0) {
        std::fputs(early.text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    QApplication app(argc, argv);  // takes Qt's own options out of the arguments
    const vantrel::Launch launch = vantrel::ParseLaunch(QApplication::arguments().mid(1));
    if (launch.exitCode >= 0) {
        std::fputs(launch.text.toLocal8Bit().constData(), launch.exitCode == 0 ? stdout : stderr);
        return launch.exitCode;
    }
    QFont font("Arial");  // fontconfig picks a metric twin where Arial is missing
    font.setPixelSize(12);
    QApplication::setFont(font);

    vantrel::QtPrompter prompter;
    vantrel::TForm1 form(prompter);
    form.show();
    // Files from the command line (a file manager's "Open With") open once the window is up.
    if (!launch.files.isEmpty()) QTimer::singleShot(0, &form, [&] { form.openFiles(launch.files); });
    return QApplication::exec();
}
