// The names of the last-error codes, and the library-wide last error itself.
#include "KestoUSB.h"
#include "library_state.h"
#include "transport.h"

namespace kestousb {

// Written by the caller's thread and by a transfer worker; read from any thread.
void setLastErrorCode(int code) {
    library().lastError.store(code, std::memory_order_relaxed);
}
int lastErrorCode() {
    return library().lastError.load(std::memory_order_relaxed);
}

} // namespace kestousb

extern "C" int KSUSB_GetLastError(void) {
    return kestousb::lastErrorCode();
}

extern "C" const char *KSUSB_ErrorName(int code) {
    switch (code) {
    case KSUSB_OK:
        return "KSUSB_OK";
    case KSUSB_ERR_SEND:
        return "KSUSB_ERR_SEND";
    case KSUSB_ERR_RECEIVE:
        return "KSUSB_ERR_RECEIVE";
    case KSUSB_ERR_RESULT_REQUEST:
        return "KSUSB_ERR_RESULT_REQUEST";
    case KSUSB_ERR_RESULT_REPLY:
        return "KSUSB_ERR_RESULT_REPLY";
    case KSUSB_ERR_NO_CLOSING_MARK:
        return "KSUSB_ERR_NO_CLOSING_MARK";
    case KSUSB_ERR_EXISTS:
        return "KSUSB_ERR_EXISTS";
    case KSUSB_ERR_NOT_FOUND:
        return "KSUSB_ERR_NOT_FOUND";
    case KSUSB_ERR_NO_NAME_ROOM:
        return "KSUSB_ERR_NO_NAME_ROOM";
    case KSUSB_ERR_THREAD:
        return "KSUSB_ERR_THREAD";
    case KSUSB_ERR_STOP_EVENT:
        return "KSUSB_ERR_STOP_EVENT";
    case KSUSB_ERR_MEMORY_FULL:
        return "KSUSB_ERR_MEMORY_FULL";
    case KSUSB_ERR_NAME_AREA_FULL:
        return "KSUSB_ERR_NAME_AREA_FULL";
    case KSUSB_ERR_NOT_CONNECTED:
        return "KSUSB_ERR_NOT_CONNECTED";
    case KSUSB_ERR_CLOSE:
        return "KSUSB_ERR_CLOSE";
    case KSUSB_ERR_OPEN_FILE:
        return "KSUSB_ERR_OPEN_FILE";
    case KSUSB_ERR_STOPPED:
        return "KSUSB_ERR_STOPPED";
    case KSUSB_ERR_INCOMPLETE:
        return "KSUSB_ERR_INCOMPLETE";
    case KSUSB_ERR_PROBE:
        return "KSUSB_ERR_PROBE";
    case KSUSB_ERR_REFUSED:
        return "KSUSB_ERR_REFUSED";
    case KSUSB_ERR_PLAYER_NOT_READY:
        return "KSUSB_ERR_PLAYER_NOT_READY";
    case KSUSB_ERR_CARD_CHANGED:
        return "KSUSB_ERR_CARD_CHANGED";
    case KSUSB_ERR_WRITE_PROTECTED:
        return "KSUSB_ERR_WRITE_PROTECTED";
    }
    return "KSUSB_ERR_UNKNOWN";
}
