// A stand-in for the device library in the program's tests: it implements the functions the
// program calls, answers from a scripted player, and logs every call. The program calls it from
// its player link's thread, one call at a time.
#pragma once

#include <KestoUSB.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace fake {

struct Player {
    bool present = true;
    bool connected = true;
    bool inUse = false; // KSUSB_PlayerInUse: held by another program
    // InvokePlayer answers these in turn; once empty, `flags`.
    std::deque<unsigned char> flagQueue;
    unsigned char flags = 0;
    int versionError = 0; // nonzero: GetPlayerVersion fails with this code
    int statusError = 0;  // nonzero: KSUSB_GetPlayerStatus fails with this code
    KSPlayerStatus status{};
    std::map<unsigned char, KSUSB_TOpenTable> tables;
    std::map<unsigned char, int> refreshError; // nonzero: RefreshMemory fails with this code
    std::map<unsigned char, int> replaceError;
    // Nonzero: the call fails with this code (per memory). Replace fails from its Nth call on
    // when `replaceFailFrom` is N > 0 (earlier calls succeed).
    std::map<unsigned char, int> deleteError;
    std::map<unsigned char, int> renameError;
    std::map<unsigned char, int> formatError;
    int replaceFailFrom = 0;
    int lastError = 0;
    std::vector<std::string> calls;
    // Runs inside RefreshMemory before it answers (to change the player mid-refresh).
    std::function<void(unsigned char)> duringRefresh;
    // KSUSB_Download starts a worker that posts its start and then moves nothing until
    // KSUSB_Stop, which ends it with -43 (failed, stopped) and waits for it.
    bool downloadRuns = false;
    // The threads KSUSB_Stop was called on, in order.
    std::vector<std::thread::id> stopThreads;
};

Player &player();
void reset();
void setModel(const char *model, const char *version = "1.00.00.K5", const char *date = "20050718");
// A table of `count` files named "NNN.mp3" (or by `names`), all of `size` bytes.
KSUSB_TOpenTable &table(unsigned char mem, uint32_t total, uint32_t freeBytes);
void addFile(unsigned char mem, const std::string &name, uint32_t size, uint16_t date = 0,
             uint16_t time = 0);
int countCalls(const std::string &name);
// A worker started by KSUSB_Download has not ended yet.
bool workerRunning();
// Ends the running worker as the file's end (done, with `bytes` moved) or as a failure (-44),
// without a call of the program.
void endDownload(bool arrived, intptr_t bytes = 10);

// Holds every call whose log name starts with `prefix` until releaseCalls(): a player that
// takes its time. callHeld() tells whether a call waits there now.
void holdCalls(const std::string &prefix);
void releaseCalls();
bool callHeld();

// One call of the library: waits at the gate when held, then has the player to itself (the
// program calls from its link thread, the tests look from theirs) and logs `name`.
class Call {
public:
    explicit Call(const std::string &name);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
};

} // namespace fake
