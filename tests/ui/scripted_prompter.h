#pragma once

#include <QDialog>
#include <functional>
#include <QList>
#include <QStringList>

#include "forms.h"
#include "lens_form.h"
#include "prompter.h"
#include "save_form.h"

namespace vantrel {

// Answers every modal interaction from a script; nothing ever blocks.
class ScriptedPrompter : public Prompter {
public:
    QList<QStringList> files;   // answers to open dialogs, in order
    QList<int> modalAnswers;    // QDialog::Accepted or Rejected
    QStringList directories;    // answers to directory choices
    QStringList messages;       // every message box shown
    QList<Kind> kinds;
    QList<Answer> messageAnswers;  // in order; then messageAnswer
    Answer messageAnswer = Answer::Ok;
    int modalsShown = 0;
    // When set, the dialog is shown and handed to it before the scripted answer.
    std::function<void(QDialog*)> whileShown;

    QStringList openPictures(QWidget*, const QString&, bool) override {
        return files.isEmpty() ? QStringList() : files.takeFirst();
    }
    Answer message(QWidget*, Kind kind, const QString& text) override {
        messages << text;
        kinds << kind;
        return messageAnswers.isEmpty() ? messageAnswer : messageAnswers.takeFirst();
    }
    int showModal(QDialog* dialog) override {
        ++modalsShown;
        if (whileShown) {
            dialog->show();
            whileShown(dialog);
        }
        const int answer = modalAnswers.isEmpty() ? QDialog::Accepted : modalAnswers.takeFirst();
        // OK goes through the window's own button, as a user's click would.
        if (auto* lens = dynamic_cast<TLensCorrectionForm*>(dialog); lens && answer == QDialog::Accepted) {
            lens->OKBtnClick();
            return answer;
        }
        if (auto* save = dynamic_cast<TSaveForm*>(dialog); save && answer == QDialog::Accepted) {
            save->setResult(0);
            save->OKBtnClick();
            return save->result();
        }
        dialog->done(answer);
        return answer;
    }
    QString chooseDirectory(QWidget*, const QString&, const QString&, const QString&) override {
        return directories.isEmpty() ? QString() : directories.takeFirst();
    }
    QStringList chosenFiles;  // answers to file open and save dialogs
    QString openFile(QWidget*, const QString&, const QString&) override {
        return chosenFiles.isEmpty() ? QString() : chosenFiles.takeFirst();
    }
    QString saveFile(QWidget*, const QString&, const QString&, const QString&) override {
        return chosenFiles.isEmpty() ? QString() : chosenFiles.takeFirst();
    }
};

}  // namespace vantrel
