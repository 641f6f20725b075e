// The player's answers to the host's commands.
#include "engine_state.h"
#include "packet.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace vplayer::detail {

using namespace packet;

namespace {

// The 192-byte status reply and the offsets of its fields.
constexpr size_t kLongStatusBytes = 192;
constexpr size_t kVersionBytes = 11;
constexpr size_t kDateBytes = 8;
constexpr size_t kModelBytes = 13;
constexpr size_t kLongVersionAt = 77;
constexpr size_t kLongDateAt = 88;
constexpr size_t kLongModelAt = 96;
// 'Y' reply: version 4-14, date 15-22, model 23-35, '.' at 36.
constexpr size_t kShortVersionAt = 4;
constexpr size_t kShortDateAt = 15;
constexpr size_t kShortModelAt = 23;
constexpr size_t kShortVersionEnd = 36;

constexpr size_t kRecordBytes = 32;
constexpr size_t kTableHeader = 8;        // total and free, big-endian
constexpr size_t kMaxTableLength = 49151; // the host's table buffer holds 49,152 bytes with '.'
constexpr size_t kEchoAt = 6;
constexpr size_t kShortBaseBytes = 8;

void putText(Reply &r, size_t at, const std::string &text, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        r[at + i] = static_cast<uint8_t>(i < text.size() ? text[i] : ' ');
}

std::vector<uint8_t> resultReply(EngineState &s) {
    Reply r;
    uint8_t flags = statusFlags(s);
    if (s.lastChangeFailed)
        flags |= kFlagNotReady;
    s.lastChangeFailed = false;
    r[4] = flags;
    r.close(5);
    return r.take();
}

std::vector<uint8_t> flagsReply(EngineState &s) {
    Reply r;
    r[4] = statusFlags(s);
    r.close(5);
    s.cardChanged = false; // reported once
    return r.take();
}

std::vector<uint8_t> versionReply(const EngineState &s) {
    Reply r;
    putText(r, kShortVersionAt, s.info.version, kVersionBytes);
    putText(r, kShortDateAt, s.info.date, kDateBytes);
    putText(r, kShortModelAt, s.info.model, kModelBytes);
    r.close(kShortVersionEnd);
    return r.take();
}

std::vector<uint8_t> longStatusReply(const EngineState &s) {
    Reply r(kLongStatusBytes);
    r[4] = kCmdLongStatus;
    r[5] = 'S';
    // Fixed hardware bytes: revision 1, two memories, a high-speed link, battery level 3 of 4.
    r[6] = 0x01;
    r[7] = 0x02;
    r[8] = 0x03;
    r[9] = 0x01;
    r[10] = 0x04;
    putText(r, 11, "VP0000000001", 12);
    putText(r, 23, "Portable MP3 player, virtual", 54);
    putText(r, kLongVersionAt, s.info.version, kVersionBytes);
    putText(r, kLongDateAt, s.info.date, kDateBytes);
    putText(r, kLongModelAt, s.info.model, kModelBytes);
    putText(r, 109, "Tunara virtual", 20);
    putText(r, 129, "HW 1.0", 11);
    r.close(kLongStatusBytes - 1);
    return r.take();
}

// The echo of a name: the name itself, or `fill` repeated when the player does not know it
// ('?') or has no room for the new name ('*').
std::vector<uint8_t> echoReply(uint8_t mem, uint8_t op, std::span<const uint8_t> name, char fill,
                               size_t minBytes = kBlock) {
    Reply r(std::max(minBytes, kEchoAt + name.size() + 1));
    r[4] = mem;
    r[5] = op;
    for (size_t i = 0; i < name.size(); ++i)
        r[kEchoAt + i] = fill ? static_cast<uint8_t>(fill) : name[i];
    r.close(kEchoAt + name.size());
    return r.take();
}

constexpr uint8_t kDeletedMarker = 0xE5;

// The host sends back the short names it read from the table byte for byte, and names written
// by other FAT tools may hold code-page bytes above 0x7F (an accented letter). Those bytes are
// kept as they are; everything else is checked like any host name.
std::optional<ShortName> shortName(std::span<const uint8_t> bytes) {
    std::string masked(bytes.begin(), bytes.end());
    bool high = false;
    for (char &c : masked)
        if (static_cast<uint8_t>(c) >= 0x80) {
            c = 'A';
            high = true;
        }
    auto name = shortNameFromHost(masked);
    if (!name || !high)
        return name;
    if (bytes[0] == kDeletedMarker)
        return std::nullopt; // would mark the record deleted
    const size_t dot = masked.find('.');
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] < 0x80)
            continue;
        const size_t at = i < dot ? i : kShortBaseBytes + (i - dot - 1);
        (*name)[at] = static_cast<char>(bytes[i]);
    }
    return name;
}

std::u16string utf16le(std::span<const uint8_t> bytes) {
    std::u16string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    return out;
}

void tableCommand(EngineState &s, uint8_t mem) {
    std::vector<uint8_t> data(kTableHeader, 0);
    if (Memory *m = readableMemory(s, mem)) {
        const uint32_t total = m->volume->totalBytes();
        const uint32_t freeBytes = m->full ? 0 : m->volume->freeBytes();
        putBe32(data, 0, total);
        putBe32(data, 4, freeBytes);
        for (const DirRecord &record : m->volume->rootRecords()) {
            if (data.size() + kRecordBytes > kMaxTableLength)
                break; // the rest would not fit the host's table buffer
            data.insert(data.end(), record.begin(), record.end());
        }
    }
    const size_t length = data.size(); // P: data bytes before the closing '.'
    data.push_back(kEnd);
    data.resize(roundUpToBlock(data.size()), 0);
    Reply r;
    r[4] = mem;
    r[5] = kMemTable;
    putBe16(r.bytes(), 6, static_cast<uint16_t>(length));
    r.close(8);
    queueReply(s, r.take());
    s.tableData = std::move(data);
}

// Delete, play position: mem op O [p] '.'.
void fileCommand(EngineState &s, std::span<const uint8_t> c) {
    const uint8_t mem = c[4];
    const uint8_t op = c[5];
    const bool position = op == kMemPosition;
    const size_t nameBytes = c.size() - (position ? 8 : 7);
    const auto name = c.subspan(kEchoAt, nameBytes);
    Memory *m = readableMemory(s, mem);
    const auto sn = shortName(name);
    if (!m || !sn || !m->volume->fileSize(*sn)) {
        queueReply(s, echoReply(mem, op, name, '?'));
        return;
    }
    if (!position && s.faults.refuseDelete > 0) {
        --s.faults.refuseDelete;
        queueReply(s, echoReply(mem, op, name, '?'));
        return;
    }
    if (writable(s, *m)) {
        const auto result =
            position ? m->volume->moveTo(*sn, c[kEchoAt + nameBytes]) : m->volume->remove(*sn);
        if (result == FatVolume::Result::NotFound) {
            queueReply(s, echoReply(mem, op, name, '?'));
            return;
        }
        s.lastChangeFailed = result != FatVolume::Result::Ok;
    }
    queueReply(s, echoReply(mem, op, name, 0));
}

// mem 'N' o O s S w W '.'; the reply has as many blocks as the command.
void renameCommand(EngineState &s, std::span<const uint8_t> c) {
    const uint8_t mem = c[4];
    const size_t o = be16(c, 6);
    const auto oldName = c.subspan(8, o);
    const size_t sl = be16(c, 8 + o);
    const auto newShort = c.subspan(10 + o, sl);
    const size_t w = be16(c, 10 + o + sl);
    const auto longName = c.subspan(12 + o + sl, w);
    const size_t replyBytes = roundUpToBlock(c.size());

    Memory *m = readableMemory(s, mem);
    const auto oldSn = shortName(oldName);
    if (!m || !oldSn || !m->volume->fileSize(*oldSn)) {
        queueReply(s, echoReply(mem, kMemRename, oldName, '?', replyBytes));
        return;
    }
    const auto newSn = shortName(newShort);
    if (s.faults.refuseRename > 0) {
        --s.faults.refuseRename;
        queueReply(s, echoReply(mem, kMemRename, oldName, '*', replyBytes));
        return;
    }
    if (!newSn || w % 2 != 0) {
        // A name the directory cannot hold: refused like a full name area, never half made.
        queueReply(s, echoReply(mem, kMemRename, oldName, '*', replyBytes));
        return;
    }
    if (writable(s, *m)) {
        switch (m->volume->rename(*oldSn, *newSn, utf16le(longName))) {
        case FatVolume::Result::Ok:
            break;
        case FatVolume::Result::NotFound:
            queueReply(s, echoReply(mem, kMemRename, oldName, '?', replyBytes));
            return;
        default:
            // No room for the new records, or the new short name belongs to another file.
            queueReply(s, echoReply(mem, kMemRename, oldName, '*', replyBytes));
            return;
        }
    }
    queueReply(s, echoReply(mem, kMemRename, oldName, 0, replyBytes));
}

void formatCommand(EngineState &s, uint8_t mem) {
    Reply r;
    r[4] = mem;
    r[5] = kMemFormat;
    r.close(6);
    Memory *m = readableMemory(s, mem);
    if (m && writable(s, *m)) {
        const uint64_t bytes = m->volume->imageBytes();
        std::string error;
        m->volume.reset();
        const bool formatted = FatVolume::format(m->image, bytes, error);
        m->volume = FatVolume::open(m->image, error);
        s.lastChangeFailed = !formatted || !m->volume;
        if (!m->volume) {
            s.loadError = error;
            unplug(s); // a memory that cannot be opened again: the player is gone
        }
    }
    queueReply(s, r.take());
}

void blockCommand(EngineState &s, std::span<const uint8_t> c) {
    const uint8_t mem = c[4];
    const uint8_t op = c[5];
    const uint32_t address = be32(c, 6);
    Memory *m = readableMemory(s, mem);
    if (op == kBlockRead) {
        std::vector<uint8_t> data(kBlock, 0);
        if (m)
            m->volume->readRaw(address, data);
        queueReply(s, std::move(data)); // raw bytes, no framing
        return;
    }
    if (op == kSpareRead) {
        std::vector<uint8_t> data(kBlock, 0);
        if (m) {
            const uint32_t page = address / kPageBytes;
            SpareArea spare;
            if (auto it = m->spares.find(page); it != m->spares.end()) {
                spare = it->second;
            } else {
                std::vector<uint8_t> pageData(kPageBytes, 0);
                m->volume->readRaw(uint64_t{page} * kPageBytes, pageData);
                spare = makeSpareArea(address, pageData);
            }
            std::copy(spare.begin(), spare.end(), data.begin());
        }
        queueReply(s, std::move(data));
        return;
    }
    if (m && writable(s, *m)) {
        if (op == kSpareWrite) {
            SpareArea spare;
            std::copy_n(c.begin() + 10, kSpareBytes, spare.begin());
            m->spares[address / kPageBytes] = spare;
            s.lastChangeFailed = !saveSpares(*m);
        } else if (op == kBlockWrite && uint64_t{address} + kBlock <= m->volume->imageBytes()) {
            // Raw writes go below the file system: close the volume, write, open it again.
            std::string error;
            m->volume.reset();
            {
                std::fstream f(m->image, std::ios::in | std::ios::out | std::ios::binary);
                f.seekp(static_cast<std::streamoff>(address));
                f.write(reinterpret_cast<const char *>(c.data() + 10), kBlock);
            }
            m->volume = FatVolume::open(m->image, error);
            if (!m->volume) {
                s.loadError = "after a raw write: " + error;
                unplug(s);
                return;
            }
        }
    }
    Reply r;
    r[4] = mem;
    r[5] = op;
    r.close(6);
    queueReply(s, r.take());
}

void downloadCommand(EngineState &s, std::span<const uint8_t> c) {
    const uint8_t mem = c[4];
    const uint8_t attr = c[8];
    const uint16_t date = be16(c, 9);
    const uint16_t time = be16(c, 11);
    const uint32_t size = be32(c, 13);
    const size_t sl = be16(c, 18);
    const auto shortBytes = c.subspan(20, sl);
    const size_t w = be16(c, 20 + sl);
    const auto longBytes = c.subspan(22 + sl, w);

    const int mode = chosenDownloadMode(s);
    uint8_t verdict = kVerdictAccepted;
    Memory *m = readableMemory(s, mem);
    const auto sn = shortName(shortBytes);
    std::unique_ptr<FatVolume::Writer> writer;
    if (s.faults.refuse) {
        verdict = *s.faults.refuse;
        s.faults.refuse.reset();
    } else if (!m || !writable(s, *m) || !sn || w % 2 != 0) {
        verdict = kVerdictRefused;
    } else if (m->full) {
        verdict = kVerdictNoRoom;
    } else {
        FatVolume::Result result = FatVolume::Result::Ok;
        writer = m->volume->create(*sn, utf16le(longBytes), attr, date, time, size, result);
        if (result == FatVolume::Result::Exists)
            verdict = kVerdictExists;
        else if (result == FatVolume::Result::NoSpace ||
                 result == FatVolume::Result::NoRoomInDirectory)
            verdict = kVerdictNoRoom;
        else if (result != FatVolume::Result::Ok || !writer)
            verdict = kVerdictRefused;
    }
    Reply r;
    r[4] = verdict;
    r[5] = mem;
    r[6] = kMemDownload;
    r[9] = static_cast<uint8_t>(mode);
    r.close(10);
    // A dropped reply stands for a command the player lost: no stream follows it.
    if (!queueReply(s, r.take()) || verdict != kVerdictAccepted)
        return;
    if (size == 0) {
        s.lastChangeFailed = writer->finish() != FatVolume::Result::Ok;
        return;
    }
    const uint32_t block = downloadBlockBytes(mode);
    Stream &st = s.stream;
    st = Stream{};
    st.kind = StreamKind::Download;
    st.memory = mem;
    st.size = size;
    st.block = block;
    st.padded = (uint64_t{size} + block - 1) / block * block;
    st.writer = std::move(writer);
}

void uploadCommand(EngineState &s, std::span<const uint8_t> c) {
    const uint8_t mem = c[4];
    const auto name = c.subspan(kEchoAt, c.size() - 7);
    Memory *m = readableMemory(s, mem);
    const auto sn = shortName(name);
    // Nothing is read yet: the blocks come from the flash as they are sent.
    std::unique_ptr<FatVolume::Reader> reader;
    if (m && sn)
        reader = m->volume->openFile(*sn);
    const int mode = chosenUploadMode(s);
    Reply r(kEchoAt + name.size() + 6);
    r[4] = mem;
    r[5] = kMemUpload;
    for (size_t i = 0; i < name.size(); ++i)
        r[kEchoAt + i] = reader ? name[i] : '?';
    const size_t after = kEchoAt + name.size();
    putBe32(r.bytes(), after, reader ? reader->size() : 0);
    r[after + 4] = static_cast<uint8_t>(mode);
    r.close(after + 5);
    if (!queueReply(s, r.take()) || !reader || reader->size() == 0)
        return;
    // An unknown mode has no block size; the host gives up and the stream is dropped with its
    // next command, so any block size serves here.
    const uint32_t block = uploadBlockBytes(mode) ? uploadBlockBytes(mode) : kImageBlock;
    Stream &st = s.stream;
    st = Stream{};
    st.kind = StreamKind::Upload;
    st.memory = mem;
    st.size = reader->size();
    st.block = block;
    st.padded = (st.size + block - 1) / block * block;
    st.reader = std::move(reader);
}

void imageCommand(EngineState &s, std::span<const uint8_t> c, bool firmware) {
    const uint64_t size = firmware ? uint64_t{be16(c, 6)} * kBlock : be32(c, 7);
    uint8_t verdict = kVerdictAccepted;
    if (s.faults.refuse) {
        verdict = *s.faults.refuse;
        s.faults.refuse.reset();
    } else if (size > kMaxSystemImage) {
        verdict = kVerdictRefused;
    }
    Reply r;
    r[4] = c[4];
    r[5] = c[5];
    r[firmware ? 6 : 4] = verdict;
    r.close(firmware ? 7 : 11);
    if (!firmware) {
        r[6] = c[6];
        putBe32(r.bytes(), 7, static_cast<uint32_t>(size));
    }
    if (!queueReply(s, r.take()) || verdict != kVerdictAccepted)
        return;
    Stream &st = s.stream;
    st = Stream{};
    st.kind = firmware ? StreamKind::Firmware : StreamKind::SystemImage;
    st.slot = firmware ? 0 : c[6];
    st.size = size;
    st.block = kImageBlock;
    st.padded = (size + kImageBlock - 1) / kImageBlock * kImageBlock;
    st.commandPollAllowed = !firmware;
    st.data.reserve(static_cast<size_t>(size));
    if (size == 0)
        s.lastChangeFailed = !finishStream(s);
}

} // namespace

uint8_t statusFlags(const EngineState &s) {
    uint8_t flags = s.stickyFlags;
    if (s.busy)
        flags |= kFlagBusy;
    if (s.cardChanged)
        flags |= kFlagCardChanged;
    if (!s.cardPresent) {
        flags |= kFlagNoCard;
    } else {
        if (s.writeProtected)
            flags |= kFlagWriteProtected;
        if (s.card.full || (s.card.volume && s.card.volume->freeBytes() == 0))
            flags |= kFlagCardFull;
    }
    if (s.flash.full || (s.flash.volume && s.flash.volume->freeBytes() == 0))
        flags |= kFlagFlashFull;
    return flags;
}

Memory *memoryById(EngineState &s, uint8_t id) {
    if (id == kMemFlash)
        return &s.flash;
    if (id == kMemCard)
        return &s.card;
    return nullptr;
}

Memory *readableMemory(EngineState &s, uint8_t id) {
    Memory *m = memoryById(s, id);
    if (!m || !m->volume || (m == &s.card && !s.cardPresent))
        return nullptr;
    return m;
}

bool writable(const EngineState &s, const Memory &m) {
    return &m != &s.card || (s.cardPresent && !s.writeProtected);
}

bool queueReply(EngineState &s, std::vector<uint8_t> reply) {
    if (s.faults.dropReply > 0) {
        --s.faults.dropReply;
        return false;
    }
    if (s.faults.shortReply > 0) {
        --s.faults.shortReply;
        reply.resize(std::max<size_t>(1, reply.size() / 2));
    }
    s.replies.push_back(std::move(reply));
    return true;
}

void handleCommand(EngineState &s, std::span<const uint8_t> c) {
    // A new command ends whatever the host left unread of the previous reply.
    s.replies.clear();
    s.replyOffset = 0;
    if (c[4] != kCmdResult)
        s.tableData.reset();
    switch (c[4]) {
    case kCmdStatusFlags:
        queueReply(s, flagsReply(s));
        return;
    case kCmdVersion:
        queueReply(s, versionReply(s));
        return;
    case kCmdResult:
        if (s.tableData) {
            queueReply(s, std::move(*s.tableData));
            s.tableData.reset();
        } else {
            queueReply(s, resultReply(s));
        }
        return;
    case kCmdLongStatus:
        queueReply(s, longStatusReply(s));
        return;
    case kCmdSystemImage:
        imageCommand(s, c, false);
        return;
    case kCmdFirmware:
        imageCommand(s, c, true);
        return;
    default:
        break;
    }
    s.lastChangeFailed = false;
    // An upload reads its file from the flash as it sends it: a command that may write over
    // the file's clusters (a format, a delete, a download, physical block access) ends it first.
    const bool keepsClusters =
        c[5] == kMemTable || c[5] == kMemRename || c[5] == kMemPosition || c[5] == kMemUpload;
    if (s.stream.kind == StreamKind::Upload && !keepsClusters)
        abandonStream(s);
    switch (c[5]) {
    case kMemTable:
        tableCommand(s, c[4]);
        return;
    case kMemFormat:
        formatCommand(s, c[4]);
        return;
    case kMemDelete:
    case kMemPosition:
        fileCommand(s, c);
        return;
    case kMemRename:
        renameCommand(s, c);
        return;
    case kMemDownload:
        downloadCommand(s, c);
        return;
    case kMemUpload:
        uploadCommand(s, c);
        return;
    default:
        blockCommand(s, c);
        return;
    }
}

} // namespace vplayer::detail
