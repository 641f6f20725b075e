// Everything the program asks of the user or of the desktop goes through this interface:
// message boxes, yes/no questions, the timed notice, folder and font choosers, opening
// addresses and starting programs. The program uses DesktopUiServices; tests answer instead.
#pragma once

#include <QFont>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

class QWidget;

namespace tunara::device {

enum class MessageIcon { None, Information, Warning, Stop, Question };

class UiServices {
public:
    virtual ~UiServices() = default;
    // Shows the timed notice and returns once it has closed (by itself or by the user).
    virtual void timedMessage(QWidget *parent, const QString &text, unsigned timeoutMs) = 0;
    virtual void message(QWidget *parent, const QString &text, MessageIcon icon) = 0;
    virtual bool askYesNo(QWidget *parent, const QString &text) = 0;
    // An OK/Cancel question; true for OK.
    virtual bool askOkCancel(QWidget *parent, const QString &text, MessageIcon icon) = 0;
    // Open dialog for one or more existing files; empty when cancelled. `filter` is in Qt's
    // form ("MP3 File (*.mp3);;All Files (*)").
    virtual QStringList openFiles(QWidget *parent, const QString &title, const QString &folder,
                                  const QString &filter) = 0;
    // Open dialog for one existing file; empty when cancelled.
    virtual QString openFile(QWidget *parent, const QString &title, const QString &start,
                             const QString &filter) = 0;
    // Save As dialog starting at `initialPath` (folder and proposed name); it asks before
    // overwriting an existing file. Empty when cancelled.
    virtual QString saveFile(QWidget *parent, const QString &title, const QString &initialPath,
                             const QString &filter) = 0;
    virtual QString chooseFolder(QWidget *parent, const QString &title, const QString &start) = 0;
    virtual std::optional<QFont> chooseFont(QWidget *parent, const QFont &initial) = 0;
    virtual bool openUrl(const QUrl &url) = 0;
    virtual bool startDetached(const QString &program, const QStringList &arguments) = 0;
};

class DesktopUiServices : public UiServices {
public:
    void timedMessage(QWidget *parent, const QString &text, unsigned timeoutMs) override;
    void message(QWidget *parent, const QString &text, MessageIcon icon) override;
    bool askYesNo(QWidget *parent, const QString &text) override;
    bool askOkCancel(QWidget *parent, const QString &text, MessageIcon icon) override;
    QStringList openFiles(QWidget *parent, const QString &title, const QString &folder,
                          const QString &filter) override;
    QString openFile(QWidget *parent, const QString &title, const QString &start,
                     const QString &filter) override;
    QString saveFile(QWidget *parent, const QString &title, const QString &initialPath,
                     const QString &filter) override;
    QString chooseFolder(QWidget *parent, const QString &title, const QString &start) override;
    std::optional<QFont> chooseFont(QWidget *parent, const QFont &initial) override;
    bool openUrl(const QUrl &url) override;
    bool startDetached(const QString &program, const QStringList &arguments) override;
};

} // namespace tunara::device
