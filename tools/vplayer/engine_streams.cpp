// Data streams after an accepted announcement: downloads, uploads, system images and firmware.
#include "engine_state.h"
#include "packet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace vplayer::detail {

namespace {

// Block-size codes shared by both directions; mode 2 differs between them.
constexpr int kMode512 = 0;
constexpr int kMode2 = 2;
constexpr int kMode8K = 4;
constexpr int kMode16K = 5;
constexpr uint32_t kDownloadMode2Bytes = 512;
constexpr uint32_t kUploadMode2Bytes = 2048;

bool writeAtomically(const std::filesystem::path &path, std::span<const uint8_t> bytes) {
    auto tmp = path;
    tmp += ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out)
            return false;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    return !ec;
}

// A player that files what arrived of a download before it is complete: the file stays with
// its announced size, the bytes that never came read as zeros, and the stream ends.
void keepPartial(EngineState &s) {
    Stream &st = s.stream;
    constexpr size_t kFill = 4096;
    const std::vector<uint8_t> zeros(kFill, 0);
    bool ok = st.writer != nullptr;
    for (uint64_t at = std::min(st.moved, uint64_t{st.size}); ok && at < st.size; at += kFill)
        ok = st.writer->write(std::span(zeros).first(
                 size_t(std::min<uint64_t>(kFill, st.size - at)))) == FatVolume::Result::Ok;
    if (ok)
        st.writer->finish();
    abandonStream(s);
}

// Injected faults of a stream's next block. true when the block is settled by a fault.
bool streamFault(EngineState &s, UrbStatus &status, size_t &actual) {
    Faults &f = s.faults;
    if (f.unplugAfter && s.stream.moved >= *f.unplugAfter) {
        f.unplugAfter.reset();
        unplug(s);
        status = UrbStatus::Error;
        actual = 0;
        return true;
    }
    if (f.dropStreamAfter && s.stream.moved >= *f.dropStreamAfter) {
        f.dropStreamAfter.reset();
        abandonStream(s);
        status = UrbStatus::Ok;
        actual = 0;
        return true;
    }
    if (f.keepPartialAfter && s.stream.kind == StreamKind::Download &&
        s.stream.moved >= *f.keepPartialAfter) {
        f.keepPartialAfter.reset();
        keepPartial(s);
        status = UrbStatus::Ok;
        actual = 0;
        return true;
    }
    return false;
}

size_t shortened(EngineState &s, size_t n) {
    if (!s.faults.shortBlock || n == 0)
        return n;
    s.faults.shortBlock = false;
    return std::max<size_t>(1, n / 2);
}

} // namespace

uint32_t downloadBlockBytes(int mode) {
    switch (mode) {
    case kMode512:
    case kMode2:
        return kDownloadMode2Bytes;
    case kMode8K:
        return 8192;
    case kMode16K:
        return 16384;
    default:
        return packet::kBlock * 8; // not a mode the player offers on its own
    }
}

uint32_t uploadBlockBytes(int mode) {
    switch (mode) {
    case kMode512:
        return 512;
    case kMode2:
        return kUploadMode2Bytes;
    case kMode8K:
        return 8192;
    case kMode16K:
        return 16384;
    default:
        return 0;
    }
}

int chosenDownloadMode(const EngineState &s) {
    if (s.downloadMode >= 0)
        return s.downloadMode;
    return s.speed == LinkSpeed::Full ? kMode512 : kMode16K;
}

int chosenUploadMode(const EngineState &s) {
    if (s.uploadMode >= 0)
        return s.uploadMode;
    return s.speed == LinkSpeed::Full ? kMode2 : kMode16K;
}

void abandonStream(EngineState &s) {
    s.stream = Stream{}; // a download's writer goes without finish(): no file appears
}

void unplug(EngineState &s) {
    if (s.plugged)
        s.plugChanged = true;
    s.plugged = false;
    abandonStream(s);
    s.replies.clear();
    s.replyOffset = 0;
    s.tableData.reset();
    s.inbox.clear();
    s.stalled = false;
}

bool finishStream(EngineState &s) {
    Stream &st = s.stream;
    bool ok = true;
    if (st.kind == StreamKind::Download) {
        ok = st.writer && st.writer->finish() == FatVolume::Result::Ok;
        // A slow flash: the last block's answer waits while the file is kept.
        if (s.faults.writeDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(s.faults.writeDelayMs));
    } else if (st.kind == StreamKind::SystemImage) {
        char name[32];
        std::snprintf(name, sizeof name, "sysimg-%02x.bin", st.slot);
        ok = writeAtomically(s.dir / name, st.data);
    } else if (st.kind == StreamKind::Firmware) {
        ok = writeAtomically(s.dir / "firmware.bin", st.data);
    }
    abandonStream(s);
    return ok;
}

size_t streamTakeOut(EngineState &s, std::span<const uint8_t> data, UrbStatus &status,
                     size_t &actual) {
    status = UrbStatus::Ok;
    if (streamFault(s, status, actual))
        return data.size();
    Stream &st = s.stream;
    const size_t room = static_cast<size_t>(std::min<uint64_t>(data.size(), st.padded - st.moved));
    const size_t take = shortened(s, room);
    const bool cut = take < room;
    // The bytes of the stream that matter; the zero fill of the last block is dropped.
    const uint64_t useful = st.moved < st.size ? std::min<uint64_t>(take, st.size - st.moved) : 0;
    const auto part = data.first(static_cast<size_t>(useful));
    if (st.kind == StreamKind::Download) {
        if (!part.empty() && st.writer->write(part) != FatVolume::Result::Ok) {
            abandonStream(s);
            actual = 0; // the block was not taken: the host fails the transfer
            return data.size();
        }
    } else {
        st.data.insert(st.data.end(), part.begin(), part.end());
    }
    st.moved += take;
    actual = take;
    if (st.moved >= st.padded) {
        if (!finishStream(s))
            actual = 0;
    }
    // A cut block leaves the rest of the URB untaken, not to be read as a command.
    return cut ? data.size() : take;
}

UrbStatus streamGiveIn(EngineState &s, std::span<uint8_t> data, size_t &actual) {
    UrbStatus status = UrbStatus::Ok;
    if (streamFault(s, status, actual))
        return status;
    Stream &st = s.stream;
    const size_t n =
        shortened(s, static_cast<size_t>(std::min<uint64_t>(data.size(), st.padded - st.moved)));
    // The file's bytes, then the zero fill of the last block.
    const size_t fromFile =
        st.moved < st.size ? static_cast<size_t>(std::min<uint64_t>(n, st.size - st.moved)) : 0;
    if (!st.reader->read(st.moved, data.first(fromFile))) {
        // The flash could not be read: the block fails and the stream ends.
        abandonStream(s);
        actual = 0;
        return UrbStatus::Error;
    }
    std::memset(data.data() + fromFile, 0, n - fromFile);
    st.moved += n;
    actual = n;
    if (st.moved >= st.padded)
        abandonStream(s);
    return status;
}

bool saveSpares(const Memory &m) {
    std::vector<uint8_t> bytes;
    for (const auto &[page, spare] : m.spares) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(page * kPageBytes >> shift));
        bytes.insert(bytes.end(), spare.begin(), spare.end());
    }
    return writeAtomically(m.spareFile, bytes);
}

bool loadSpares(Memory &m) {
    m.spares.clear();
    std::ifstream in(m.spareFile, std::ios::binary);
    if (!in)
        return false;
    std::array<uint8_t, 4 + kSpareBytes> record{};
    while (in.read(reinterpret_cast<char *>(record.data()), record.size())) {
        const uint32_t address = packet::be32(record, 0);
        SpareArea spare;
        std::copy(record.begin() + 4, record.end(), spare.begin());
        m.spares[address / kPageBytes] = spare;
    }
    return true;
}

} // namespace vplayer::detail
