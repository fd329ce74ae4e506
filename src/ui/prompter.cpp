#include "prompter.h"

#include "formats/image_format.h"

#include <QDialog>
#include <QFileDialog>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>

namespace vantrel {

QStringList QtPrompter::openPictures(QWidget* parent, const QString& directory, bool multiple) {
    const QString filter = QString::fromStdString(PictureDialogFilter()) + ";;" + QObject::tr("All files (*)");
    if (multiple) return QFileDialog::getOpenFileNames(parent, QObject::tr("Open"), directory, filter);
    const QString file = QFileDialog::getOpenFileName(parent, QObject::tr("Open"), directory, filter);
    return file.isEmpty() ? QStringList() : QStringList{file};
}

Prompter::Answer QtPrompter::message(QWidget* parent, Kind kind, const QString& text) {
    const auto buttons = QMessageBox::Ok | QMessageBox::Cancel;
    QMessageBox::StandardButton pressed;
    switch (kind) {
        case Kind::Warning: pressed = QMessageBox::warning(parent, QObject::tr("Warning"), text, buttons); break;
        case Kind::Error: pressed = QMessageBox::critical(parent, QObject::tr("Error"), text, buttons); break;
        default: pressed = QMessageBox::question(parent, QObject::tr("Confirm"), text, buttons); break;
    }
    return pressed == QMessageBox::Ok ? Answer::Ok : Answer::Cancel;
}

int QtPrompter::showModal(QDialog* dialog) { return dialog->exec(); }

QString QtPrompter::chooseDirectory(QWidget* parent, const QString& title, const QString& directory,
                                    const QString& fileName) {
    QFileDialog dialog(parent, title, directory);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.selectFile(fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    // The directory part of whatever was chosen.
    const QFileInfo chosen(dialog.selectedFiles().front());
    return chosen.isDir() ? chosen.absoluteFilePath() : chosen.absolutePath();
}

QString QtPrompter::openFile(QWidget* parent, const QString& directory, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, QObject::tr("Open"), directory, filter);
}

QString QtPrompter::saveFile(QWidget* parent, const QString& directory, const QString& filter,
                             const QString& fileName) {
    // The overwrite question is the caller's.
    return QFileDialog::getSaveFileName(parent, QObject::tr("Save"), QDir(directory).filePath(fileName), filter,
                                        nullptr, QFileDialog::DontConfirmOverwrite);
}

}  // namespace vantrel
