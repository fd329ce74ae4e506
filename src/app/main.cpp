#include <QApplication>
#include <QFont>

#include "main_window.h"
#include "prompter.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QFont font("Arial");  // fontconfig picks a metric twin where Arial is missing
    font.setPixelSize(12);
    QApplication::setFont(font);

    vantrel::QtPrompter prompter;
    vantrel::TForm1 form(prompter);
    form.show();
    return QApplication::exec();
}
