// What a memory pane needs from the window that holds it: the status bar, the connection
// indicator, the player's model code, the questions and notices, and posting commands.
#pragma once

#include <QString>
#include <QtGlobal>

class QFont;
class QMenu;
class QObject;
class QWidget;

namespace tunara::device {

class PlayerLink;
class TransferQueue;
class UiServices;

class PaneFrame {
public:
    virtual ~PaneFrame() = default;
    virtual void setMessageText(const QString &text) = 0;  // status pane 0
    virtual void setCapacityText(const QString &text) = 0; // status pane 1
    virtual void setConnected(bool connected) = 0;         // status pane 2
    virtual int modelCode() const = 0;
    virtual QFont listFont() const = 0;
    virtual UiServices &ui() = 0;
    // The program's one player link: every library call of a pane runs through it.
    virtual PlayerLink &link() = 0;
    virtual QWidget *dialogParent() = 0;
    virtual Qt::KeyboardModifiers keyboardModifiers() const = 0;
    // Queues a command for `target`; its availability is tested again when it arrives.
    virtual void postCommand(int id, QObject *target) = 0;
    // Greys or un-greys the main tool bar's Refresh button during a pane refresh.
    virtual void setRefreshButtonEnabled(bool enabled) = 0;
    virtual void paneActivated(QObject *pane) = 0;
    // The program's one transfer queue; null until the transfer manager exists.
    virtual TransferQueue *transferQueue() = 0;
    // The main menu's "&File" popup, shown as the panes' context menu; null: no context menu.
    virtual QMenu *fileMenu() { return nullptr; }
    // The settings value `DownloadFolder` of section `Option`: where Download to Device starts.
    virtual QString downloadFolder() const { return {}; }
    // Brings the main window to the foreground (after files were dropped on a pane).
    virtual void bringToFront() {}
};

} // namespace tunara::device
