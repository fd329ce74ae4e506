#include "launch.h"

#include <QFileInfo>

namespace vantrel {

Launch ParseLaunch(const QStringList& arguments) {
    Launch launch;
    bool options = true;
    for (const QString& arg : arguments) {
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--help" || arg == "-h")) {
            launch.text =
                "Usage: vantrel [FILE...]\n"
                "Aligns up to three bracketed exposures. Files given are opened as the Open command\n"
                "opens them: the lens correction window first, then one slot each (the first three).\n"
                "\n"
                "  --help, --version\n"
                "\n"
                "vantrel-align does the same from a shell; see vantrel-align --help.\n";
            launch.exitCode = 0;
            return launch;
        } else if (options && arg == "--version") {
            launch.text = "vantrel 2.0\n";
            launch.exitCode = 0;
            return launch;
        } else if (options && arg.size() > 1 && arg.startsWith('-')) {
            launch.text = "vantrel: unknown option " + arg + "\nTry 'vantrel --help'.\n";
            launch.exitCode = 2;
            return launch;
        } else {
            launch.files << QFileInfo(arg).absoluteFilePath();
        }
    }
    return launch;
}

}  // namespace vantrel
