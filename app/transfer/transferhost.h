// What the transfer manager needs from the main window: its status bar, the options, the
// player's model code, the panes' refresh after a download, and the questions and notices.
#pragma once

#include "media/levelmode.h"

#include <QRect>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

class QWidget;

namespace tunara::device {
class PlayerLink;
class UiServices;
} // namespace tunara::device

namespace tunara::transfer {

struct TransferOptions {
    bool showXferDlg = true;   // show the dialog when entries are queued
    bool autoStartXfer = true; // start at once when entries are queued
    bool hideXferDlg = false;  // hide (and clear) the dialog when a queue finishes without error
    bool blockMpeg2Ext = true; // run the MPEG check on ".mp3" downloads
    bool convert = true;       // convert audio the player cannot play to MP3 before sending
    int convertKbps = 192;     // the converted file's bit rate (capped by media::maxBitRateKbps)
    bool convertVbr = false;   // variable bit rate, at most convertKbps
    bool convertCover = true;  // carry the front cover into the converted file
    // Volume levelling: converted files in the float path, MP3s sent as they are losslessly;
    // an album is the queue's rows from one folder.
    media::LevelMode level = media::LevelMode::Off;
    bool levelTags = false; // gains the files' tags hold are taken instead of measuring them
};

class TransferHost {
public:
    virtual ~TransferHost() = default;
    virtual device::UiServices &ui() = 0;
    virtual int modelCode() const = 0;
    virtual TransferOptions transferOptions() const = 0;
    // The last folder files were queued from (the profile's DownloadFolder).
    virtual void storeDownloadFolder(const QString &folder) = 0;
    // Status pane 0.
    virtual void setMessageText(const QString &text) = 0;
    virtual QString messageText() const = 0;
    // The status bar that holds the overall progress bar, and pane 0's rectangle in it.
    virtual QWidget *statusBarWidget() = 0;
    virtual QRect messagePaneRect() const = 0;
    // A download into `memoryId` finished: the pane of that memory re-reads it (hint 2).
    virtual void downloadFinished(unsigned char memoryId) = 0;
    // The names the pane of `memoryId` shows the player holding (empty without such a pane).
    virtual QStringList playerNames(unsigned char memoryId) const = 0;
    // The free bytes the pane of `memoryId` shows the memory having (none without such a pane,
    // or before it read the player).
    virtual std::optional<std::uint64_t> freeBytes(unsigned char /*memoryId*/) const {
        return std::nullopt;
    }
    // The Option command of the main window.
    virtual void openOptions() = 0;
    // The queue's busy state changed (commands that talk to the player follow it).
    virtual void transferBusyChanged(bool busy) = 0;
    // Something talks to the player: a device call of the window, a refresh, a transfer or a
    // service transfer. A queue start waits meanwhile; the host calls resumeHeldStart() after.
    virtual bool deviceBusy() const = 0;
    // The program's player link: the queue's start calls run on it.
    virtual device::PlayerLink &link() = 0;
    // The folder of the program file (the voice converter sits there).
    virtual QString programDir() const = 0;
};

} // namespace tunara::transfer
