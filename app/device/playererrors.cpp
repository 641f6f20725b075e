#include "playererrors.h"

#include <KestoUSB.h>

namespace tunara::device {

using res::StrId;

namespace {

struct Row {
    Situation situation;
    int code;
    std::optional<StrId> text;
};

constexpr Row Rows[] = {
    {Situation::PaneDelete, KSUSB_ERR_WRITE_PROTECTED, StrId::ExternalProtected},
    {Situation::PaneDelete, KSUSB_ERR_PLAYER_NOT_READY, StrId::CantConnect},
    // An unplugged player fails before any exchange; to the user it is a player that does not
    // answer.
    {Situation::PaneDelete, KSUSB_ERR_NOT_CONNECTED, StrId::CantConnect},
    {Situation::PaneDelete, KSUSB_ERR_NOT_FOUND, StrId::FileNotFound},

    {Situation::PaneRename, KSUSB_ERR_WRITE_PROTECTED, StrId::ExternalProtected},
    {Situation::PaneRename, KSUSB_ERR_PLAYER_NOT_READY, StrId::CantConnect},
    {Situation::PaneRename, KSUSB_ERR_NOT_CONNECTED, StrId::CantConnect},

    {Situation::QueueDownloadStart, KSUSB_ERR_REFUSED, StrId::DownloadFailed},
    {Situation::QueueDownloadStart, KSUSB_ERR_OPEN_FILE, StrId::CantOpenFile},
    {Situation::QueueDownloadStart, KSUSB_ERR_NOT_CONNECTED, StrId::DeviceNotConnected},
    {Situation::QueueDownloadStart, KSUSB_ERR_NAME_AREA_FULL, StrId::NameAreaFull},
    {Situation::QueueDownloadStart, KSUSB_ERR_MEMORY_FULL, StrId::MemoryIsFull},
    {Situation::QueueDownloadStart, KSUSB_ERR_NOT_FOUND, StrId::FileNotFound},
    {Situation::QueueDownloadStart, KSUSB_ERR_EXISTS, StrId::AlreadyFileExist},

    {Situation::QueueUploadStart, KSUSB_ERR_OPEN_FILE, StrId::CantOpenFile},
    {Situation::QueueUploadStart, KSUSB_ERR_NOT_CONNECTED, StrId::DeviceNotConnected},
    {Situation::QueueUploadStart, KSUSB_ERR_NOT_FOUND, StrId::FileNotFound},

    {Situation::QueueRun, KSUSB_ERR_INCOMPLETE, StrId::FailedDataTransmittedXfer},
    {Situation::QueueRun, KSUSB_ERR_STOPPED, StrId::Aborted},
    {Situation::QueueRun, KSUSB_ERR_OPEN_FILE, StrId::CantOpenFile},
    {Situation::QueueRun, KSUSB_ERR_NOT_FOUND, StrId::FileNotFound},

    {Situation::FontStart, KSUSB_ERR_REFUSED, StrId::DownloadFailed},
    {Situation::FontStart, KSUSB_ERR_OPEN_FILE, StrId::FileNotFound},
    {Situation::FontStart, KSUSB_ERR_NOT_FOUND, StrId::FileNotFound},
    {Situation::FontStart, KSUSB_ERR_NOT_CONNECTED, StrId::NotConnectedOrNoDriver},
    {Situation::FontStart, KSUSB_ERR_NAME_AREA_FULL, StrId::TooManyFileEntries},
    {Situation::FontStart, KSUSB_ERR_MEMORY_FULL, StrId::MemoryIsFull},
    {Situation::FontStart, KSUSB_ERR_EXISTS, StrId::AlreadyFileExist},

    {Situation::FontRun, KSUSB_ERR_INCOMPLETE, StrId::FailedDataTransmittedXfer},
    {Situation::FontRun, KSUSB_ERR_STOPPED, StrId::Aborted},
    {Situation::FontRun, KSUSB_ERR_OPEN_FILE, StrId::FileNotFound},
    {Situation::FontRun, KSUSB_ERR_NOT_FOUND, StrId::FileNotFound},

    {Situation::SysParamRun, KSUSB_ERR_INCOMPLETE, StrId::FailedDataTransmittedXfer},
    {Situation::SysParamRun, KSUSB_ERR_STOPPED, std::nullopt}, // a stop clears the log
    {Situation::SysParamRun, KSUSB_ERR_OPEN_FILE, StrId::FileNotFound},
    {Situation::SysParamRun, KSUSB_ERR_NOT_FOUND, StrId::FileNotFound},
};

// The text of every code a situation does not name.
constexpr StrId fallback(Situation s) {
    switch (s) {
    case Situation::QueueDownloadStart:
        return StrId::FailedDataTransmittedXfer;
    case Situation::FontRun:
        return StrId::UnknownError;
    case Situation::SysParamRun:
        return StrId::LogError;
    default:
        return StrId::FailedDataTransmitted;
    }
}

} // namespace

std::optional<StrId> playerMessage(Situation situation, int code) {
    for (const Row &r : Rows) {
        if (r.situation == situation && r.code == code)
            return r.text;
    }
    return fallback(situation);
}

StrId playerMessageId(Situation situation, int code) {
    return playerMessage(situation, code).value_or(fallback(situation));
}

} // namespace tunara::device
