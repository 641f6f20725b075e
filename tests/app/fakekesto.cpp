#include "fakekesto.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

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

namespace detail {
struct Worker {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false;               // guarded by mutex
    int endCode = KSUSB_XFER_FAILED; // guarded by mutex: what the worker posts when it stops
    intptr_t endValue = KSUSB_ERR_STOPPED;
    std::atomic<bool> running{false};
};
Worker &worker() {
    static Worker w;
    return w;
}
} // namespace detail

bool workerRunning() {
    return detail::worker().running;
}

void endDownload(bool arrived, intptr_t bytes) {
    detail::Worker &w = detail::worker();
    {
        std::lock_guard lock(w.mutex);
        w.endCode = arrived ? KSUSB_XFER_DONE : KSUSB_XFER_FAILED;
        w.endValue = arrived ? bytes : intptr_t{KSUSB_ERR_INCOMPLETE};
        w.stop = true;
    }
    w.changed.notify_all();
    if (w.thread.joinable())
        w.thread.join();
}

namespace {
// The player answers one call at a time, on whatever thread asks; a held call waits at the gate
// before it takes the player.
std::mutex &playerMutex() {
    static std::mutex m;
    return m;
}
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    std::string prefix;
    bool holding = false;
    int waiting = 0;
};
Gate &gate() {
    static Gate g;
    return g;
}
} // namespace

int countCalls(const std::string &name) {
    std::lock_guard lock(playerMutex());
    const auto &c = player().calls;
    return int(std::count(c.begin(), c.end(), name));
}

void holdCalls(const std::string &prefix) {
    std::lock_guard lock(gate().mutex);
    gate().prefix = prefix;
    gate().holding = true;
}

void releaseCalls() {
    {
        std::lock_guard lock(gate().mutex);
        gate().holding = false;
    }
    gate().changed.notify_all();
}

bool callHeld() {
    std::lock_guard lock(gate().mutex);
    return gate().waiting > 0;
}

Call::Call(const std::string &name) {
    {
        std::unique_lock lock(gate().mutex);
        if (gate().holding && name.rfind(gate().prefix, 0) == 0) {
            ++gate().waiting;
            gate().changed.wait(lock, [] { return !gate().holding; });
            --gate().waiting;
        }
    }
    playerMutex().lock();
    player().calls.push_back(name);
}

Call::~Call() {
    playerMutex().unlock();
}

} // namespace fake

using fake::player;

namespace {
int fail(int code) {
    player().lastError = code;
    return 0;
}
} // namespace

using Call = fake::Call;
using fake::detail::Worker;
using fake::detail::worker;

extern "C" {

int KSUSB_CheckConnect(void) {
    const Call call("KSUSB_CheckConnect");
    return player().connected ? 1 : fail(KSUSB_ERR_NOT_CONNECTED);
}

int KSUSB_PlayerInUse(void) {
    return player().inUse ? 1 : 0;
}

int KSUSB_PlayerPresent(void) {
    const Call call("KSUSB_PlayerPresent");
    return player().present ? 1 : 0;
}

// No hot-plug notice in the fake: a watch falls back to its plain wait.
int KSUSB_WaitDeviceChange(int) {
    return -1;
}

unsigned char InvokePlayer(void) {
    const Call call("InvokePlayer");
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
    const Call call("GetPlayerVersion");
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    return player().versionError != 0 ? fail(player().versionError) : 1;
}

int KSUSB_GetPlayerStatus(void) {
    const Call call("KSUSB_GetPlayerStatus");
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    return player().statusError != 0 ? fail(player().statusError) : 1;
}

int GetPlayerInfo(KSPlayerStatus *out) {
    const Call call("GetPlayerInfo");
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
    const Call call(std::string("RefreshMemory:") + char(mem));
    if (player().duringRefresh)
        player().duringRefresh(mem);
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    if (const int e = player().refreshError[mem]; e != 0)
        return fail(e);
    return 1;
}

int GetFileInfo(unsigned char mem, KSUSB_TOpenTable *out) {
    const Call call(std::string("GetFileInfo:") + char(mem));
    const KSUSB_TOpenTable &t = player().tables[mem];
    out->total = t.total;
    out->free = t.free;
    out->count = t.count;
    std::memcpy(out->entries, t.entries, sizeof(KSUSB_TFileEntry) * t.count);
    return 1;
}

int KSUSB_ReplaceInMemory(unsigned char mem, const char *name, unsigned char position) {
    const Call call(std::string("Replace:") + char(mem) + ":" + name + ":" +
                    std::to_string(position));
    const int e = player().replaceError[mem];
    const auto made =
        std::count_if(player().calls.begin(), player().calls.end(),
                      [](const std::string &c) { return c.rfind("Replace:", 0) == 0; });
    if (e != 0 && (player().replaceFailFrom <= 0 || made >= player().replaceFailFrom))
        return fail(e);
    return 1;
}

namespace {
int findEntry(const KSUSB_TOpenTable &t, const char *name) {
    for (int i = 0; i < int(t.count); ++i) {
        if (std::strncmp(t.entries[i].name, name, sizeof t.entries[i].name) == 0)
            return i;
    }
    return -1;
}

int renameEntry(const char *kind, unsigned char mem, const char *oldName, char *newName) {
    const Call call(std::string(kind) + ":" + char(mem) + ":" + oldName + ":" + newName);
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    if (const int e = player().renameError[mem]; e != 0)
        return fail(e);
    KSUSB_TOpenTable &t = player().tables[mem];
    if (findEntry(t, newName) >= 0)
        return fail(KSUSB_ERR_EXISTS);
    const int i = findEntry(t, oldName);
    if (i < 0)
        return fail(KSUSB_ERR_NOT_FOUND);
    std::memset(t.entries[i].name, 0, sizeof t.entries[i].name);
    std::strncpy(t.entries[i].name, newName, sizeof t.entries[i].name - 1);
    return 1;
}
} // namespace

int KSUSB_DeleteFileInMemory(unsigned char mem, const char *name) {
    const Call call(std::string("Delete:") + char(mem) + ":" + name);
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    if (const int e = player().deleteError[mem]; e != 0)
        return fail(e);
    KSUSB_TOpenTable &t = player().tables[mem];
    const int i = findEntry(t, name);
    if (i < 0)
        return fail(KSUSB_ERR_NOT_FOUND);
    std::memmove(&t.entries[i], &t.entries[i + 1], sizeof(KSUSB_TFileEntry) * (t.count - i - 1));
    --t.count;
    return 1;
}

int KSUSB_RenameInMemory(unsigned char mem, const char *oldName, char *newName) {
    return renameEntry("Rename", mem, oldName, newName);
}

int KSUSB_RenameInMemory83(unsigned char mem, const char *oldName, char *newName) {
    return renameEntry("Rename83", mem, oldName, newName);
}

int KSUSB_FormatMemory(unsigned char mem) {
    const Call call(std::string("Format:") + char(mem));
    if (!player().connected)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    if (const int e = player().formatError[mem]; e != 0)
        return fail(e);
    player().tables[mem].count = 0;
    return 1;
}

// Transfers are run against the virtual player; the scripted player refuses to start them, or
// starts a worker that waits for KSUSB_Stop (downloadRuns).
int KSUSB_Download(unsigned char, const char *, KSNotifyTarget *window, uint32_t) {
    const Call call("KSUSB_Download");
    if (!player().downloadRuns || window == nullptr)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    Worker &w = worker();
    if (w.thread.joinable())
        w.thread.join();
    w.stop = false;
    w.endCode = KSUSB_XFER_FAILED;
    w.endValue = KSUSB_ERR_STOPPED;
    w.running = true;
    w.thread = std::thread([window, &w] {
        window->post(window, WM_XFER_NOTIFY, KSUSB_XFER_START, 1000);
        int code = 0;
        intptr_t value = 0;
        {
            std::unique_lock lock(w.mutex);
            w.changed.wait(lock, [&w] { return w.stop; });
            code = w.endCode;
            value = w.endValue;
        }
        window->post(window, WM_XFER_NOTIFY, unsigned(code), value);
        w.running = false;
    });
    return 1;
}

int KSUSB_Upload(unsigned char, const char *, const char *, KSNotifyTarget *, uint32_t) {
    const Call call("KSUSB_Upload");
    return fail(KSUSB_ERR_NOT_CONNECTED);
}

// The table alone, without the version and status questions of RefreshMemory.
int KSUSB_RefreshMemory(unsigned char mem) {
    const Call call(std::string("KSUSB_RefreshMemory:") + char(mem));
    if (player().duringRefresh)
        player().duringRefresh(mem);
    if (!player().connected || player().tables.count(mem) == 0)
        return fail(KSUSB_ERR_NOT_CONNECTED);
    if (const int e = player().refreshError[mem]; e != 0)
        return fail(e);
    return 1;
}

int KSUSB_Stop(void) {
    player().stopThreads.push_back(std::this_thread::get_id());
    Worker &w = worker();
    {
        std::lock_guard lock(w.mutex);
        w.stop = true;
    }
    w.changed.notify_all();
    // As the library does, the call returns once the worker has ended.
    if (w.thread.joinable())
        w.thread.join();
    return 1;
}

} // extern "C"
