// The scripted player's answers to the calls only the service tools make. They are weak, so a
// fuller answer elsewhere in the fake takes their place.
#include "fakekesto.h"

using fake::player;

extern "C" {

__attribute__((weak)) int KSUSB_Download(unsigned char, const char *, KSNotifyTarget *, uint32_t) {
    const fake::Call call("KSUSB_Download");
    player().lastError = KSUSB_ERR_NOT_CONNECTED;
    return 0;
}

__attribute__((weak)) int KSUSB_RefreshMemory(unsigned char) {
    const fake::Call call("KSUSB_RefreshMemory");
    return 1;
}

__attribute__((weak)) int KSUSB_DeleteFileInMemory(unsigned char, const char *) {
    const fake::Call call("KSUSB_DeleteFileInMemory");
    return 1;
}

__attribute__((weak)) int KSUSB_SystemReg(unsigned char, const char *, KSNotifyTarget *, uint32_t) {
    const fake::Call call("KSUSB_SystemReg");
    player().lastError = KSUSB_ERR_NOT_CONNECTED;
    return 0;
}

__attribute__((weak)) int KSUSB_PhysicalBlockAccess(unsigned char, uint32_t, unsigned char,
                                                    unsigned char *) {
    const fake::Call call("KSUSB_PhysicalBlockAccess");
    player().lastError = KSUSB_ERR_SEND;
    return 0;
}
}
