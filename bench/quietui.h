// Answers for the program's questions in benchmarks: nothing is shown and nothing blocks, since a
// bench has no user. Questions are answered No, OK/Cancel with OK, dialogs are cancelled.
#pragma once

#include "device/uiservices.h"

class QuietUi : public tunara::device::UiServices {
public:
    int notices = 0; // timed notices that would have been shown

    void timedMessage(QWidget *, const QString &, unsigned) override { ++notices; }
    void message(QWidget *, const QString &, tunara::device::MessageIcon) override {}
    bool askYesNo(QWidget *, const QString &) override { return false; }
    bool askOkCancel(QWidget *, const QString &, tunara::device::MessageIcon) override {
        return true;
    }
    QStringList openFiles(QWidget *, const QString &, const QString &, const QString &) override {
        return {};
    }
    QString openFile(QWidget *, const QString &, const QString &, const QString &) override {
        return {};
    }
    QString saveFile(QWidget *, const QString &, const QString &, const QString &) override {
        return {};
    }
    QString chooseFolder(QWidget *, const QString &, const QString &) override { return {}; }
    std::optional<QFont> chooseFont(QWidget *, const QFont &) override { return std::nullopt; }
    bool openUrl(const QUrl &) override { return false; }
    bool startDetached(const QString &, const QStringList &) override { return false; }
};
