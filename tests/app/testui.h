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
    bool answerYes = true;
    QString folder;
    std::optional<QFont> font;
    std::function<void()> onTimed;

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
    QString chooseFolder(QWidget *, const QString &, const QString &) override { return folder; }
    std::optional<QFont> chooseFont(QWidget *, const QFont &) override { return font; }
    bool openUrl(const QUrl &url) override {
        opened << url;
        return true;
    }
    bool startDetached(const QString &program, const QStringList &) override {
        started << program;
        return true;
    }
};
