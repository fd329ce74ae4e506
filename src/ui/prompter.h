#pragma once

#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

namespace vantrel {

// Every modal interaction goes through here, so tests can answer them.
class Prompter {
public:
    enum class Kind { Warning, Error, Confirmation };
    enum class Answer { Ok = 1, Cancel = 2 };

    virtual ~Prompter() = default;
    // Picture files chosen in an open dialog (empty on Cancel).
    virtual QStringList openPictures(QWidget* parent, const QString& directory, bool multiple) = 0;
    // A message box with OK and Cancel.
    virtual Answer message(QWidget* parent, Kind kind, const QString& text) = 0;
    // Shows a window modally; returns its result (QDialog::Accepted or Rejected).
    virtual int showModal(QDialog* dialog) = 0;
    // A directory picked in a file dialog (empty on Cancel); `fileName` is
    // the text shown in its file name box.
    virtual QString chooseDirectory(QWidget* parent, const QString& title, const QString& directory,
                                    const QString& fileName) = 0;
    // A file chosen to open or to save under (empty on Cancel).
    virtual QString openFile(QWidget* parent, const QString& directory, const QString& filter) = 0;
    virtual QString saveFile(QWidget* parent, const QString& directory, const QString& filter,
                             const QString& fileName) = 0;
};

// The real dialogs and message boxes.
class QtPrompter : public Prompter {
public:
    QStringList openPictures(QWidget* parent, const QString& directory, bool multiple) override;
    Answer message(QWidget* parent, Kind kind, const QString& text) override;
    int showModal(QDialog* dialog) override;
    QString chooseDirectory(QWidget* parent, const QString& title, const QString& directory,
                            const QString& fileName) override;
    QString openFile(QWidget* parent, const QString& directory, const QString& filter) override;
    QString saveFile(QWidget* parent, const QString& directory, const QString& filter,
                     const QString& fileName) override;
};

}  // namespace vantrel
