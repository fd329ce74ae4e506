#pragma once

#include <QString>
#include <QStringList>

namespace vantrel {

// What the program's command line asks for: files to open, or text to print
// before leaving with `exitCode` (when it is not negative).
struct Launch {
    QStringList files;  // absolute paths, in the order given
    QString text;
    int exitCode = -1;
};

// `arguments` without the program's name (Qt's own options already taken).
Launch ParseLaunch(const QStringList& arguments);

}  // namespace vantrel
