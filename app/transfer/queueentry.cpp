#include "queueentry.h"

#include <KestoUSB.h>

namespace tunara::transfer {

using res::StrId;

EntryKind kindFor(unsigned char memoryId, bool download) {
    if (memoryId == KSUSB_MEM_CARD)
        return download ? EntryKind::DownloadCard : EntryKind::UploadCard;
    return download ? EntryKind::DownloadFlash : EntryKind::UploadFlash;
}

unsigned char memoryOf(EntryKind kind) {
    return kind == EntryKind::DownloadCard || kind == EntryKind::UploadCard ? KSUSB_MEM_CARD
                                                                            : KSUSB_MEM_FLASH;
}

StrId downloadStartFailure(int code) {
    switch (code) {
    case KSUSB_ERR_REFUSED:
        return StrId::DownloadFailed;
    case KSUSB_ERR_OPEN_FILE:
        return StrId::CantOpenFile;
    case KSUSB_ERR_NOT_CONNECTED:
        return StrId::DeviceNotConnected;
    case KSUSB_ERR_NAME_AREA_FULL:
        return StrId::NameAreaFull;
    case KSUSB_ERR_MEMORY_FULL:
        return StrId::MemoryIsFull;
    case KSUSB_ERR_NOT_FOUND:
        return StrId::FileNotFound;
    case KSUSB_ERR_EXISTS:
        return StrId::AlreadyFileExist;
    default:
        return StrId::FailedDataTransmittedXfer;
    }
}

StrId uploadStartFailure(int code) {
    switch (code) {
    case KSUSB_ERR_OPEN_FILE:
        return StrId::CantOpenFile;
    case KSUSB_ERR_NOT_CONNECTED:
        return StrId::DeviceNotConnected;
    case KSUSB_ERR_NOT_FOUND:
        return StrId::FileNotFound;
    default:
        return StrId::FailedDataTransmitted;
    }
}

StrId runFailure(int code) {
    switch (code) {
    case KSUSB_ERR_INCOMPLETE:
        return StrId::FailedDataTransmittedXfer;
    case KSUSB_ERR_STOPPED:
        return StrId::Aborted;
    case KSUSB_ERR_OPEN_FILE:
        return StrId::CantOpenFile;
    case KSUSB_ERR_NOT_FOUND:
        return StrId::FileNotFound;
    default:
        return StrId::FailedDataTransmitted;
    }
}

} // namespace tunara::transfer
