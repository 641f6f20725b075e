// The engine's internal state and the functions that work on it, shared by engine.cpp (the wire
// and steering), engine_commands.cpp (command handlers) and engine_streams.cpp (data streams).
// Every function here runs with the engine's mutex held.
#pragma once

#include "engine.h"
#include "fat_volume.h"
#include "ini_file.h"
#include "spare_area.h"

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace vplayer::detail {

// Status flags of the 'I' reply and of every result reply.
inline constexpr uint8_t kFlagNotReady = 0x80;
inline constexpr uint8_t kFlagBusy = 0x40;
inline constexpr uint8_t kFlagCardChanged = 0x20;
inline constexpr uint8_t kFlagWriteProtected = 0x10;
inline constexpr uint8_t kFlagFlashFull = 0x08;
inline constexpr uint8_t kFlagCardFull = 0x04;
inline constexpr uint8_t kFlagNoCard = 0x02;
inline constexpr uint8_t kPollReady = 0x40;

// Poll request codes (the phase) and the marker values of WaitDone / WaitAbortDone.
inline constexpr uint8_t kPhaseCommand = 10;
inline constexpr uint8_t kPhaseStream = 11;
inline constexpr uint8_t kPhaseRead = 12;
inline constexpr uint16_t kPollMarker = 0xFFFF;

// Download verdicts.
inline constexpr uint8_t kVerdictAccepted = 0;
inline constexpr uint8_t kVerdictRefused = 1;
inline constexpr uint8_t kVerdictNoRoom = 2;
inline constexpr uint8_t kVerdictExists = 3;

inline constexpr uint32_t kImageBlock = 512;
// System images and firmware are held in memory while they arrive; a real player's slots are a
// few megabytes, anything above this is refused rather than allowed to exhaust memory.
inline constexpr uint64_t kMaxSystemImage = 64ull << 20;

struct PlayerInfo {
    std::string model = "QN520";
    std::string version = "1.00.00.K5 ";
    std::string date = "20050718";
    uint64_t flashBytes = 32ull << 20;
    uint64_t cardBytes = 64ull << 20;
};

struct Memory {
    uint8_t id = 0;
    std::filesystem::path image;
    std::filesystem::path spareFile;
    std::unique_ptr<FatVolume> volume;
    bool full = false;                    // steered: reported full
    std::map<uint32_t, SpareArea> spares; // stored with 'x', by page number
};

enum class StreamKind { None, Download, Upload, SystemImage, Firmware };

struct Stream {
    StreamKind kind = StreamKind::None;
    uint8_t memory = 0;
    uint64_t size = 0;   // bytes that matter
    uint64_t padded = 0; // bytes on the wire (whole blocks)
    uint64_t moved = 0;
    uint32_t block = 0;
    uint8_t slot = 0;                          // system image slot
    bool commandPollAllowed = false;           // a system image stream begins with a phase-10 poll
    std::unique_ptr<FatVolume::Writer> writer; // download
    std::unique_ptr<FatVolume::Reader> reader; // upload: read block by block as it is sent
    std::vector<uint8_t> data;                 // image being received
};

struct Faults {
    uint32_t dropReply = 0;
    uint32_t shortReply = 0;
    uint32_t stall = 0;
    uint32_t pipeError = 0;
    std::optional<uint8_t> refuse;
    std::optional<uint64_t> dropStreamAfter;
    std::optional<uint64_t> unplugAfter;
    std::optional<uint64_t> keepPartialAfter;
    uint32_t refuseDelete = 0;
    uint32_t refuseRename = 0;
    bool shortBlock = false;
    uint32_t writeDelayMs = 0;
};

struct EngineState {
    std::filesystem::path dir;
    IniFile ini;
    PlayerInfo info;
    bool loaded = false;
    std::string loadError;
    Memory flash;
    Memory card;

    bool plugged = true;
    bool cardPresent = true;
    bool writeProtected = false;
    bool busy = false;
    bool neverReady = false;
    uint8_t stickyFlags = 0;
    bool cardChanged = false;      // one-shot 0x20, cleared once an 'I' reply reported it
    bool lastChangeFailed = false; // the last change could not be made: 0x80 in its result
    LinkSpeed speed = LinkSpeed::Unlimited;
    int downloadMode = -1;
    int uploadMode = -1;
    Faults faults;
    bool stalled = false;
    bool plugChanged = false; // to be told to the listener once the lock is released

    std::vector<uint8_t> inbox; // command bytes being assembled from 64-byte blocks
    std::deque<std::vector<uint8_t>> replies;
    size_t replyOffset = 0;
    std::optional<std::vector<uint8_t>> tableData; // after 'G', sent on the result request
    Stream stream;
    Engine::Counters counters;
    std::chrono::steady_clock::time_point linkFree{};
};

uint8_t statusFlags(const EngineState &s);
Memory *memoryById(EngineState &s, uint8_t id);
// The memory if it can be read now (the card must be in), else nullptr.
Memory *readableMemory(EngineState &s, uint8_t id);
bool writable(const EngineState &s, const Memory &m);

// Queues a reply for bulk IN; false when an injected fault dropped it.
bool queueReply(EngineState &s, std::vector<uint8_t> reply);
void handleCommand(EngineState &s, std::span<const uint8_t> command);

// Streams: bytes of bulk OUT taken by a stream in progress (the rest are commands).
size_t streamTakeOut(EngineState &s, std::span<const uint8_t> data, UrbStatus &status,
                     size_t &actual);
UrbStatus streamGiveIn(EngineState &s, std::span<uint8_t> data, size_t &actual);
void abandonStream(EngineState &s);
// Completes the stream once all its bytes arrived: the download's file appears, a system image
// or the firmware is kept. false when it could not be stored.
bool finishStream(EngineState &s);
void unplug(EngineState &s);

uint32_t downloadBlockBytes(int mode);
uint32_t uploadBlockBytes(int mode);
int chosenDownloadMode(const EngineState &s);
int chosenUploadMode(const EngineState &s);

bool saveSpares(const Memory &m);
bool loadSpares(Memory &m);

} // namespace vplayer::detail
