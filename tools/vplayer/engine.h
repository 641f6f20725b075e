// The virtual player's protocol engine: the player's side of the wire, independent of how the
// USB requests reach it (the USB/IP server, umockdev's emulated usbfs device, tests in-process).
//
// The host talks to the player with one-byte vendor polls on the control endpoint and framed
// commands in 64-byte blocks on bulk OUT; replies and data come back on bulk IN. The engine keeps
// the player's state (memories as FAT images, flags, system images, firmware) in a state folder.
//
// Thread safety: every public function may be called from any thread; one mutex guards the state.
// Link pacing (the speed setting) sleeps outside the mutex.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace vplayer {

// A USB SETUP packet as the host sent it (wValue, wIndex, wLength in host byte order).
struct Setup {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

enum class UrbStatus {
    Ok,      // completed; `actual` bytes moved
    Stall,   // the endpoint answers with a STALL handshake (unknown request)
    Error,   // the transfer failed (unplugged, injected pipe error)
    Pending, // no data yet: keep the URB and ask again later (a stalled pipe never completes)
};

enum class LinkSpeed { Full, High, Unlimited };

// One-shot faults injected by the steering interface; each applies to the next matching event.
enum class Fault {
    DropReply,  // the next reply never comes: its IN transfer stays pending
    ShortReply, // the next reply is delivered shorter than asked (first half only)
    Stall,      // the next bulk transfer never completes (until unlinked or the host resets)
    PipeError,  // the next bulk transfer fails with an error status
    Refuse, // the next download / firmware / system image announcement is refused (arg: verdict)
    DropStream,   // a transfer stream stops after `arg` bytes: the next block moves 0 bytes
    ShortBlock,   // the next data block of a stream moves only half its bytes
    UnplugAfter,  // the player is unplugged once a stream has moved `arg` bytes
    RefuseDelete, // the next `arg` deletes fail: the player answers as for an unknown file
    RefuseRename, // the next `arg` renames fail: the player has no room for the new name
    KeepPartial,  // a download stops after `arg` bytes and the player keeps the file so far
    WriteDelay,   // every file that arrives takes `arg` ms more to be kept (a slow flash), until
                  // cleared
};

// Parses "drop-reply", "short-reply", ... ; false for an unknown name.
bool faultFromName(std::string_view name, Fault &fault);
std::string_view faultName(Fault fault);

class Engine {
public:
    // Loads (or creates with defaults) the state folder: player.ini, flash.img, card.img.
    // A problem is reported by ok()/loadError(); the engine then answers as an unplugged player.
    explicit Engine(std::filesystem::path stateDir);
    ~Engine();
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    bool ok() const;
    std::string loadError() const;
    const std::filesystem::path &stateDir() const { return m_stateDir; }

    // ---- The wire ------------------------------------------------------------------------
    // A control transfer on endpoint 0. For an IN request `data` is the buffer to fill (wLength
    // bytes at most), for an OUT request the bytes the host sent.
    UrbStatus control(const Setup &setup, std::span<uint8_t> data, size_t &actual);
    // A transfer on bulk OUT endpoint 0x01 (commands and streamed data).
    UrbStatus bulkOut(std::span<const uint8_t> data, size_t &actual);
    // A transfer on bulk IN endpoint 0x82 (replies and uploaded data).
    UrbStatus bulkIn(std::span<uint8_t> data, size_t &actual);

    // The host reopened the device (new USB/IP import, usbfs reopen): streams in progress and
    // undelivered replies are abandoned, a stalled pipe recovers.
    void hostReset();
    // The host unlinked (cancelled) a pending transfer: a stalled pipe recovers.
    void transferCancelled();

    // ---- Steering (ctl command, tests) ----------------------------------------------------
    void setPlugged(bool plugged);
    bool plugged() const;
    void setCardPresent(bool present);
    void setWriteProtected(bool on);
    void setBusy(bool on);       // polls do not answer ready, flag 0x40 reported
    void setNeverReady(bool on); // polls never answer ready (flags unchanged)
    void setFlags(uint8_t mask); // sticky flags reported in 'I' and result replies
    void clearFlags(uint8_t mask);
    void setFull(uint8_t memory, bool full); // 'M' or 'S': reported full, downloads refused
    void setSpeed(LinkSpeed speed);
    // Block-size codes offered for downloads / uploads; kModeAuto chooses by the link speed,
    // kModeUnchanged keeps the current setting.
    static constexpr int kModeAuto = -1;
    static constexpr int kModeUnchanged = -2;
    void setModes(int downloadMode, int uploadMode);
    // Arms a fault. For DropReply/ShortReply/Stall/PipeError `arg` is the count (0 means 1), for
    // Refuse the verdict (0 means 1), for DropStream/UnplugAfter/KeepPartial the byte count, for
    // RefuseDelete/RefuseRename the count (0 means 1).
    void injectFault(Fault fault, uint32_t arg);
    void clearFaults();

    // Called (outside the engine's lock) after the plug state changed, so that a server can
    // drop its connection or wake pending transfers.
    void setPlugListener(std::function<void(bool plugged)> listener);

    // Human-readable state, one "key: value" line each (the ctl "status" command prints it).
    std::string statusText() const;
    // The status flags the player would report now ('I' reply byte 4).
    uint8_t statusFlags() const;

    // Counters for tests and the status text.
    struct Counters {
        uint64_t commands = 0;        // commands parsed and answered
        uint64_t rejectedPackets = 0; // malformed packets ignored
        uint64_t bytesIn = 0;         // bulk OUT bytes taken
        uint64_t bytesOut = 0;        // bulk IN bytes delivered
    };
    Counters counters() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
    std::filesystem::path m_stateDir;
    mutable std::mutex m_mutex;
    std::function<void(bool)> m_plugListener;

    void notifyPlug();
    void pace(size_t bytes);
};

} // namespace vplayer
