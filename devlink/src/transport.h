// The transport: the one player connection, packet framing, the command exchange, the handshake
// polls and the library-wide last error. Every exported operation is built from these pieces.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace kestousb {

class DeviceConnection;

// ---- last error -----------------------------------------------------------------------------
void setLastErrorCode(int code);
int lastErrorCode();
// Stores `code` and returns false: the failure path of the library's internal operations.
inline bool failWith(int code) {
    setLastErrorCode(code);
    return false;
}

// ---- packets --------------------------------------------------------------------------------
constexpr size_t kBlock = 64;           // commands go out in whole 64-byte blocks
constexpr size_t kMaxBlockSize = 16384; // largest transfer block

// Bytes written for a packet of `length` bytes: whole 64-byte blocks (64 -> 64, 65 -> 128).
constexpr size_t blockAligned(size_t length) {
    return (length + kBlock - 1) / kBlock * kBlock;
}

// Builds '#', 0x00, L, ':', body, '.' into `out` (zero-filled to blockAligned(total)); L counts
// from offset 3 up to and including the '.'. Returns the packet's length before the fill, or 0
// when it does not fit into `out` or L exceeds 255.
size_t buildPacket(std::span<uint8_t> out, std::span<const uint8_t> body);

// ---- connection -----------------------------------------------------------------------------
bool openPipes();  // -40 on failure
bool closePipes(); // -41 on failure; the connection counts as closed afterwards
bool probeLink();  // -45 on failure
bool pipesOpen();
// Close and open again (KSUSB_Reconnect); opening and closing never run on two threads at once.
bool reconnect();
// The reconnect after a failed transfer on `failed`: skipped when another thread has already
// replaced that connection (the result then tells whether a connection is open).
bool reconnectAfterFailure(const std::shared_ptr<DeviceConnection> &failed);
// True when the last open failed because the player is there but another program holds it.
bool playerInUse();
std::string devicePath(); // the path last used to open (empty before)

// The open connection, shared so that a reconnect on one thread never frees it under another
// thread's transfer; nullptr while closed.
std::shared_ptr<DeviceConnection> currentConnection();

// One bulk transfer of `count` bytes. On failure (with Transfer::Whole also when fewer bytes
// moved) the connection is closed and reopened and false returned; no error code is set (the
// caller sets its own).
enum class Transfer { Partial, Whole };
bool pipeWrite(const uint8_t *data, size_t count, size_t *transferred = nullptr,
               Transfer need = Transfer::Partial);
bool pipeRead(uint8_t *data, size_t count, size_t *transferred = nullptr,
              Transfer need = Transfer::Partial);

// How many blocks of a stream may be in flight at once: while the player answers one, the next
// is already on its way, so that the bus never idles between blocks. 1 moves one at a time.
constexpr size_t kTransferDepth = 2;
constexpr size_t kMaxTransferDepth = 8;
size_t transferDepth(); // kTransferDepth unless a test set another (library_state.h)

// While it lives, the next `reads` reads of `count` bytes on the connection open now may be
// asked for ahead of the caller (DeviceConnection::readAhead), so that a stream of blocks flows
// without a pause between them. A read still asked for when it goes is cancelled.
class ReadAhead {
public:
    ReadAhead(size_t count, size_t reads);
    ~ReadAhead();
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

    // The next block of the stream, like pipeRead but on the connection the stream was opened
    // on: a stream is never carried on over a connection opened since (the player would not
    // know it). A failure reconnects, as a failed pipeRead does; false then.
    bool read(uint8_t *data, size_t count, size_t &transferred);

private:
    std::shared_ptr<DeviceConnection> m_conn;
};

// A stream of bulk OUT blocks on the connection open now, up to transferDepth() of them handed
// to the device before the oldest is answered (DeviceConnection::queueWrite). Only for the
// blocks the player's handshake has already allowed: a download's blocks after the one poll
// that opens the stream. What is still queued when it goes is cancelled.
class WriteAhead {
public:
    WriteAhead();
    ~WriteAhead();
    WriteAhead(const WriteAhead &) = delete;
    WriteAhead &operator=(const WriteAhead &) = delete;

    // Hands `count` bytes over (they must stay as they are until finished). False when the
    // connection failed; it is then reconnected, like a failed pipeWrite.
    bool queue(const uint8_t *data, size_t count);
    // The answer to the oldest block queued: `transferred` is what the player took. A failure
    // cancels the rest and reconnects; false then.
    bool finish(size_t &transferred);
    size_t queued() const { return m_queued; }

private:
    void fail();
    std::shared_ptr<DeviceConnection> m_conn;
    size_t m_queued = 0;
};

// ---- handshake polls ------------------------------------------------------------------------
enum class Phase : uint8_t {
    Command = 10, // before the host writes a command or a system image
    Stream = 11,  // before the host streams a download or a firmware image
    Reply = 12,   // before the host reads a reply or upload data
};
constexpr uint8_t kReady = 0x40; // the player answers 0x40 when ready
bool waitReady(Phase phase);     // true when the player answered 0x40 within 10 s
bool waitDone();
bool waitAbortDone();

// Millisecond tick count used by the polls; tests inject their own clock (library_state.h).
using TickSource = std::function<int64_t()>;
constexpr int64_t kPollLimitMs = 10000; // a poll gives up once more than this has passed

// ---- exchanges ------------------------------------------------------------------------------
// The command exchange: WaitReady(Command), write `packet` (already block-aligned, `length`
// bytes), WaitDone, WaitReady(Reply), read `replyLength` bytes into `reply`, WaitDone.
// A failed write stores `sendError`, a failed read `receiveError`; false in both cases.
bool commandExchange(const uint8_t *packet, size_t length, uint8_t *reply, size_t replyLength,
                     int sendError, int receiveError);

// The 'F' result request: WaitReady(Command), KSUSB_CheckConnect, write the 64-byte request.
bool requestResult();

// After a changing command: requestResult (-4), WaitDone, WaitReady(Reply), read 64 bytes into
// `reply` (-5), WaitDone. reply[4] is then the status flags and reply[5] must be '.'.
bool fetchResult(uint8_t (&reply)[kBlock]);

} // namespace kestousb

namespace kestousb {

// ---- the stop event -------------------------------------------------------------------------
// Auto-reset, created unsignalled by the first transfer start and kept for the life of the
// library. Signalling it while no worker runs leaves it signalled.
bool stopEventExists();
void createStopEvent();
void signalStopEvent();
bool takeStopEvent();      // tests without waiting and resets: true if it was signalled
bool stopEventSignalled(); // tests without waiting, and leaves it as it is

} // namespace kestousb
