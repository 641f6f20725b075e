#include "fakekesto.h"

#include <algorithm>
#include <cstring>

namespace fake {

Player &player() {
    static Player p;
    return p;
}

void reset() {
    player() = Player{};
}

void setModel(const char *model, const char *version, const char *date) {
    KSPlayerStatus &s = player().status;
    std::memset(&s, 0, sizeof s);
    std::strncpy(s.model, model, sizeof s.model - 1);
    std::strncpy(s.version, version, sizeof s.version - 1);
    std::strncpy(s.date, date, sizeof s.date - 1);
}

KSUSB_TOpenTable &table(unsigned char mem, uint32_t total, uint32_t freeBytes) {
    KSUSB_TOpenTable &t = player().tables[mem];
    std::memset(&t, 0, sizeof t);
    t.total = total;
    t.free = freeBytes;
    return t;
}

void addFile(unsigned char mem, const std::string &name, uint32_t size, uint16_t date,
             uint16_t time) {
    KSUSB_TOpenTable &t = player().tables[mem];
    KSUSB_TFileEntry &e = t.entries[t.count++];
    std::memset(&e, 0, sizeof e);
    std::strncpy(e.name, name.c_str(), sizeof e.name - 1);
    e.size = size;
    e.date = date;
    e.time = time;
}

int countCalls(const std::string &name) {
    const auto &c = player().calls;
    return int(std::count(c.begin(), c.end(), name));
}

} // namespace fake

using fake::player;

namespace {
int fail(int code) {
    player().lastError = code;
    return 0;
}
void log(const std::string &call) {
    player().calls.push_back(call);
}
} // namespace

extern "C" {

int KSUSB_CheckConnect(void) {
    log("KSUSB_CheckConnect");
    return player().connected ? 1 : fail(KSUSB_ERR_NOT_CONNECTED);
}

int KSUSB_PlayerPresent(void) {
    log("KSUSB_PlayerPresent");
    return player().present ? 1 : 0;
}

// No hot-plug notice in the fake: a watch falls back to its plain wait.
int KSUSB_WaitDeviceChange(int) {
    return -1;
}

unsigned char InvokePlayer(void) {
    log("InvokePlayer");
    if (!player().connected) {
        fail(KSUSB_ERR_NOT_CONNECTED);
        return 0;
    }
    unsigned char f = player().flags;
    if (!player().flagQueue.empty()) {
        f = player().flagQueue.front();
        player().flagQueue.pop_front();
    }
    if (f & KSUSB_FLAG_NOT_CONNECTED)
        player().lastError = KSUSB_ERR_PLAYER_NOT_READY;
    else if (f & KSUSB_FLAG_CARD_CHANGED)
        player().lastError = KSUSB_ERR_CARD_CHANGED;
    return f;
}

int GetPlayerVersion(void) {
    log("GetPlayerVersion");
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    return player().versionError != 0 ? fail(player().versionError) : 1;
}

int KSUSB_GetPlayerStatus(void) {
    log("KSUSB_GetPlayerStatus");
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    return player().statusError != 0 ? fail(player().statusError) : 1;
}

int GetPlayerInfo(KSPlayerStatus *out) {
    log("GetPlayerInfo");
    char spare[sizeof out->spare];
    std::memcpy(spare, out->spare, sizeof spare);
    *out = player().status;
    std::memcpy(out->spare, spare, sizeof spare);
    return 1;
}

int KSUSB_GetLastError(void) {
    return player().lastError;
}

int RefreshMemory(unsigned char mem) {
    log(std::string("RefreshMemory:") + char(mem));
    if (player().duringRefresh)
        player().duringRefresh(mem);
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    if (const int e = player().refreshError[mem]; e != 0)
        return fail(e);
    return 1;
}

int GetFileInfo(unsigned char mem, KSUSB_TOpenTable *out) {
    log(std::string("GetFileInfo:") + char(mem));
    const KSUSB_TOpenTable &t = player().tables[mem];
    out->total = t.total;
    out->free = t.free;
    out->count = t.count;
    std::memcpy(out->entries, t.entries, sizeof(KSUSB_TFileEntry) * t.count);
    return 1;
}

int KSUSB_ReplaceInMemory(unsigned char mem, const char *name, unsigned char position) {
    log(std::string("Replace:") + char(mem) + ":" + name + ":" + std::to_string(position));
    if (const int e = player().replaceError[mem]; e != 0)
        return fail(e);
    return 1;
}

} // extern "C"
