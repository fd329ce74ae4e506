#include <QApplication>
#include <QFont>

#include "main_window.h"
#include "prompter.h"
#include "util/file_io.h"

int main(int argc, char** argv) {
    // A session ended during a save leaves no temporary file beside the outputs.
    vantrel::RemoveTemporaryFilesOnInterrupt();
    QApplication app(argc, argv);
    QFont font("Arial");  // fontconfig picks a metric twin where Arial is missing
    font.setPixelSize(12);
    QApplication::setFont(font);

    vantrel::QtPrompter prompter;
    vantrel::TForm1 form(prompter);
    form.show();
    return QApplication::exec();
}
