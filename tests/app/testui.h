// Answers for the program's questions and notices in tests, with a record of what was asked.
#pragma once

#include "device/uiservices.h"

#include <QStringList>

#include <functional>

class TestUi : public tunara::device::UiServices {
public:
    QStringList timed;
    QStringList messages;
    QStringList questions;
    QList<QUrl> opened;
    QStringList started;
    QList<QStringList> startedArguments;
    bool answerYes = true;
    QString folder;
    std::optional<QFont> font;
    std::function<void()> onTimed;
    // Answers for the OK/Cancel question and the file dialogs, taken in turn; an empty queue
    // answers OK, or cancels a file dialog.
    QList<bool> okCancelAnswers;
    QList<QStringList> openFilesAnswers;
    QStringList openFileAnswers;
    QStringList saveFileAnswers;
    // What the file dialogs were opened with: title, start folder or path, filter.
    QList<QStringList> fileDialogs;

    void timedMessage(QWidget *, const QString &text, unsigned) override {
        timed << text;
        if (onTimed)
            onTimed();
    }
    void message(QWidget *, const QString &text, tunara::device::MessageIcon) override {
        messages << text;
    }
    bool askYesNo(QWidget *, const QString &text) override {
        questions << text;
        return answerYes;
    }
    bool askOkCancel(QWidget *, const QString &text, tunara::device::MessageIcon) override {
        questions << text;
        return okCancelAnswers.isEmpty() ? true : okCancelAnswers.takeFirst();
    }
    QStringList openFiles(QWidget *, const QString &title, const QString &start,
                          const QString &filter) override {
        fileDialogs.append({title, start, filter});
        return openFilesAnswers.isEmpty() ? QStringList() : openFilesAnswers.takeFirst();
    }
    QString openFile(QWidget *, const QString &title, const QString &start,
                     const QString &filter) override {
        fileDialogs.append({title, start, filter});
        return openFileAnswers.isEmpty() ? QString() : openFileAnswers.takeFirst();
    }
    QString saveFile(QWidget *, const QString &title, const QString &start,
                     const QString &filter) override {
        fileDialogs.append({title, start, filter});
        return saveFileAnswers.isEmpty() ? QString() : saveFileAnswers.takeFirst();
    }
    QString chooseFolder(QWidget *, const QString &, const QString &) override { return folder; }
    std::optional<QFont> chooseFont(QWidget *, const QFont &) override { return font; }
    bool openUrl(const QUrl &url) override {
        opened << url;
        return true;
    }
    bool startDetached(const QString &program, const QStringList &arguments) override {
        started << program;
        startedArguments << arguments;
        return true;
    }
};
