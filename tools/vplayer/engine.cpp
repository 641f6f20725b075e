#include "engine.h"

#include "engine_state.h"
#include "packet.h"
#include "usb_descriptors.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <thread>

namespace vplayer {

using namespace detail;

struct Engine::State : EngineState {};

namespace {

constexpr double kFullSpeedBytesPerSecond = 1.2e6;
constexpr double kHighSpeedBytesPerSecond = 40e6;
constexpr auto kPacingCatchUp = std::chrono::milliseconds(20);
constexpr uint8_t kRequestTypeVendorMask = 0x60;
constexpr uint8_t kRequestTypeVendor = 0x40;
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kRecipientMask = 0x1F;

const char *kSection = "Player";

uint64_t parseBytes(const std::string &text, uint64_t fallback) {
    try {
        size_t used = 0;
        const unsigned long long v = std::stoull(text, &used, 0);
        return used == text.size() && v > 0 ? v : fallback;
    } catch (...) {
        return fallback;
    }
}

bool openMemory(Memory &m, uint64_t bytes, std::string &error) {
    std::error_code ec;
    if (!std::filesystem::exists(m.image, ec) && !FatVolume::format(m.image, bytes, error))
        return false;
    m.volume = FatVolume::open(m.image, error);
    if (!m.volume)
        return false;
    loadSpares(m);
    return true;
}

const char *speedName(LinkSpeed speed) {
    switch (speed) {
    case LinkSpeed::Full:
        return "full";
    case LinkSpeed::High:
        return "high";
    case LinkSpeed::Unlimited:
        break;
    }
    return "unlimited";
}

} // namespace

Engine::Engine(std::filesystem::path stateDir)
    : m_state(std::make_unique<State>()), m_stateDir(std::move(stateDir)) {
    State &s = *m_state;
    s.dir = m_stateDir;
    std::error_code ec;
    std::filesystem::create_directories(s.dir, ec);
    if (ec) {
        s.loadError = "cannot create " + s.dir.string() + ": " + ec.message();
        s.plugged = false;
        return;
    }
    const auto iniPath = s.dir / "player.ini";
    if (!s.ini.load(iniPath, s.loadError)) {
        s.plugged = false;
        return;
    }
    PlayerInfo &info = s.info;
    info.model = s.ini.value(kSection, "Model", info.model);
    info.version = s.ini.value(kSection, "Version", info.version);
    info.date = s.ini.value(kSection, "Date", info.date);
    info.flashBytes = parseBytes(s.ini.value(kSection, "FlashBytes", ""), info.flashBytes);
    info.cardBytes = parseBytes(s.ini.value(kSection, "CardBytes", ""), info.cardBytes);
    s.cardPresent = s.ini.value(kSection, "CardPresent", "1") != "0";
    s.writeProtected = s.ini.value(kSection, "WriteProtected", "0") == "1";
    // Write every key back so that a fresh folder shows what can be set.
    s.ini.setValue(kSection, "Model", info.model);
    s.ini.setValue(kSection, "Version", info.version);
    s.ini.setValue(kSection, "Date", info.date);
    s.ini.setValue(kSection, "CardPresent", s.cardPresent ? "1" : "0");
    s.ini.setValue(kSection, "WriteProtected", s.writeProtected ? "1" : "0");
    s.ini.setValue(kSection, "FlashBytes", std::to_string(info.flashBytes));
    s.ini.setValue(kSection, "CardBytes", std::to_string(info.cardBytes));
    if (!s.ini.save(iniPath, s.loadError)) {
        s.plugged = false;
        return;
    }
    s.flash.id = packet::kMemFlash;
    s.flash.image = s.dir / "flash.img";
    s.flash.spareFile = s.dir / "spare-M.bin";
    s.card.id = packet::kMemCard;
    s.card.image = s.dir / "card.img";
    s.card.spareFile = s.dir / "spare-S.bin";
    std::string error;
    if (!openMemory(s.flash, info.flashBytes, error) ||
        !openMemory(s.card, info.cardBytes, error)) {
        s.loadError = error;
        s.plugged = false;
        return;
    }
    s.loaded = true;
}

Engine::~Engine() = default;

bool Engine::ok() const {
    std::lock_guard lock(m_mutex);
    return m_state->loaded;
}

std::string Engine::loadError() const {
    std::lock_guard lock(m_mutex);
    return m_state->loadError;
}

// ---- The wire ---------------------------------------------------------------------------------

namespace {

// The player's answer to a handshake poll; streams the host gave up are dropped here.
bool answerPoll(EngineState &s, const Setup &setup) {
    if (setup.bRequest == kPhaseCommand && setup.wValue == kPollMarker &&
        setup.wIndex == kPollMarker) {
        // WaitAbortDone after a stopped transfer: whatever was in flight is over.
        abandonStream(s);
        s.replies.clear();
        s.replyOffset = 0;
        s.tableData.reset();
        s.inbox.clear();
    } else if (setup.bRequest == kPhaseCommand && setup.wValue == 0 && setup.wIndex == 0 &&
               s.stream.kind != StreamKind::None) {
        // The host readies a new command: a stream it has not finished is abandoned, except the
        // poll with which a system image stream begins.
        if (s.stream.kind == StreamKind::SystemImage && s.stream.moved == 0 &&
            s.stream.commandPollAllowed)
            s.stream.commandPollAllowed = false;
        else
            abandonStream(s);
    }
    return !s.busy && !s.neverReady;
}

UrbStatus standardRequest(const EngineState &s, const Setup &setup, std::span<uint8_t> data,
                          size_t &actual) {
    auto give = [&](const std::vector<uint8_t> &bytes) {
        if (bytes.empty())
            return UrbStatus::Stall;
        actual = std::min({bytes.size(), data.size(), static_cast<size_t>(setup.wLength)});
        std::copy_n(bytes.begin(), actual, data.begin());
        return UrbStatus::Ok;
    };
    const bool in = setup.bmRequestType & kDirectionIn;
    switch (setup.bRequest) {
    case usb::kReqGetStatus:
        return in ? give({0, 0}) : UrbStatus::Stall;
    case usb::kReqGetDescriptor: {
        if (!in)
            return UrbStatus::Stall;
        const auto type = static_cast<uint8_t>(setup.wValue >> 8);
        const auto index = static_cast<uint8_t>(setup.wValue);
        if (type == usb::kDescDevice)
            return give(usb::deviceDescriptor());
        if (type == usb::kDescConfig)
            return give(usb::configDescriptor());
        if (type == usb::kDescQualifier)
            return give(usb::qualifierDescriptor());
        if (type == usb::kDescString)
            return give(usb::stringDescriptor(index));
        return UrbStatus::Stall;
    }
    case usb::kReqGetConfiguration:
        return in ? give({usb::kConfigValue}) : UrbStatus::Stall;
    case usb::kReqGetInterface:
        return in ? give({0}) : UrbStatus::Stall;
    case usb::kReqSetConfiguration:
    case usb::kReqSetInterface:
    case usb::kReqClearFeature:
    case usb::kReqSetAddress:
        (void)s;
        return in ? UrbStatus::Stall : UrbStatus::Ok;
    default:
        return UrbStatus::Stall;
    }
}

} // namespace

UrbStatus Engine::control(const Setup &setup, std::span<uint8_t> data, size_t &actual) {
    actual = 0;
    std::lock_guard lock(m_mutex);
    State &s = *m_state;
    if (!s.plugged)
        return UrbStatus::Error;
    if ((setup.bmRequestType & kRequestTypeVendorMask) == kRequestTypeVendor) {
        const bool poll = (setup.bmRequestType & kDirectionIn) &&
                          (setup.bRequest == kPhaseCommand || setup.bRequest == kPhaseStream ||
                           setup.bRequest == kPhaseRead);
        if (!poll || setup.wLength < 1 || data.empty())
            return UrbStatus::Stall;
        data[0] = answerPoll(s, setup) ? kPollReady : 0;
        actual = 1;
        return UrbStatus::Ok;
    }
    if ((setup.bmRequestType & kRequestTypeVendorMask) != 0 ||
        (setup.bmRequestType & kRecipientMask) > 2)
        return UrbStatus::Stall;
    if (setup.bRequest == usb::kReqClearFeature)
        s.stalled = false; // clearing an endpoint halt recovers a stalled pipe
    return standardRequest(s, setup, data, actual);
}

namespace {

// Injected pipe faults shared by both bulk directions; Ok means the transfer goes ahead.
UrbStatus pipeFault(EngineState &s) {
    if (!s.plugged)
        return UrbStatus::Error;
    if (s.faults.pipeError > 0) {
        --s.faults.pipeError;
        return UrbStatus::Error;
    }
    if (s.faults.stall > 0) {
        --s.faults.stall;
        s.stalled = true;
    }
    return s.stalled ? UrbStatus::Pending : UrbStatus::Ok;
}

void takeCommands(EngineState &s, std::span<const uint8_t> data) {
    s.inbox.insert(s.inbox.end(), data.begin(), data.end());
    while (!s.inbox.empty()) {
        size_t length = 0;
        const auto measure = packet::measureCommand(s.inbox, length);
        if (measure == packet::Measure::Incomplete) {
            if (s.inbox.size() > packet::kMaxCommand)
                s.inbox.clear();
            return;
        }
        if (measure == packet::Measure::Malformed) {
            ++s.counters.rejectedPackets;
            s.inbox.clear();
            return;
        }
        const std::vector<uint8_t> command(s.inbox.begin(),
                                           s.inbox.begin() + static_cast<ptrdiff_t>(length));
        const size_t used = std::min(packet::roundUpToBlock(length), s.inbox.size());
        s.inbox.erase(s.inbox.begin(), s.inbox.begin() + static_cast<ptrdiff_t>(used));
        ++s.counters.commands;
        handleCommand(s, command);
    }
}

} // namespace

UrbStatus Engine::bulkOut(std::span<const uint8_t> data, size_t &actual) {
    actual = 0;
    UrbStatus status = UrbStatus::Ok;
    {
        std::lock_guard lock(m_mutex);
        State &s = *m_state;
        status = pipeFault(s);
        if (status == UrbStatus::Ok) {
            size_t used = 0;
            if (s.stream.kind != StreamKind::None && s.stream.kind != StreamKind::Upload)
                used = streamTakeOut(s, data, status, actual);
            if (status == UrbStatus::Ok && used < data.size() && s.plugged) {
                takeCommands(s, data.subspan(used));
                actual = data.size();
            }
            s.counters.bytesIn += actual;
        }
    }
    notifyPlug();
    if (status == UrbStatus::Ok)
        pace(actual);
    return status;
}

UrbStatus Engine::bulkIn(std::span<uint8_t> data, size_t &actual) {
    actual = 0;
    UrbStatus status = UrbStatus::Ok;
    {
        std::lock_guard lock(m_mutex);
        State &s = *m_state;
        status = pipeFault(s);
        if (status == UrbStatus::Ok) {
            if (!s.replies.empty()) {
                const auto &front = s.replies.front();
                actual = std::min(data.size(), front.size() - s.replyOffset);
                std::memcpy(data.data(), front.data() + s.replyOffset, actual);
                s.replyOffset += actual;
                if (s.replyOffset >= front.size()) {
                    s.replies.pop_front();
                    s.replyOffset = 0;
                }
            } else if (s.stream.kind == StreamKind::Upload) {
                status = streamGiveIn(s, data, actual);
            } else {
                status = UrbStatus::Pending;
            }
            s.counters.bytesOut += actual;
        }
    }
    notifyPlug();
    if (status == UrbStatus::Ok)
        pace(actual);
    return status;
}

void Engine::hostReset() {
    std::lock_guard lock(m_mutex);
    State &s = *m_state;
    abandonStream(s);
    s.replies.clear();
    s.replyOffset = 0;
    s.tableData.reset();
    s.inbox.clear();
    s.stalled = false;
}

void Engine::transferCancelled() {
    std::lock_guard lock(m_mutex);
    m_state->stalled = false;
}

void Engine::pace(size_t bytes) {
    std::chrono::steady_clock::time_point until;
    {
        std::lock_guard lock(m_mutex);
        State &s = *m_state;
        if (s.speed == LinkSpeed::Unlimited || bytes == 0)
            return;
        const double rate =
            s.speed == LinkSpeed::Full ? kFullSpeedBytesPerSecond : kHighSpeedBytesPerSecond;
        const auto cost =
            std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(bytes) * 1e9 / rate));
        const auto now = std::chrono::steady_clock::now();
        // The link's schedule runs on from where it was, so that a sleep that overshoots is made
        // up by the next transfers; only after a pause does it start again from now.
        s.linkFree = std::max(s.linkFree, now - kPacingCatchUp) + cost;
        until = s.linkFree;
    }
    std::this_thread::sleep_until(until);
}

// ---- Steering -----------------------------------------------------------------------------

void Engine::setPlugListener(std::function<void(bool)> listener) {
    std::lock_guard lock(m_mutex);
    m_plugListener = std::move(listener);
}

void Engine::notifyPlug() {
    std::function<void(bool)> listener;
    bool isPlugged = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_state->plugChanged)
            return;
        m_state->plugChanged = false;
        isPlugged = m_state->plugged;
        listener = m_plugListener;
    }
    if (listener)
        listener(isPlugged);
}

void Engine::setPlugged(bool on) {
    {
        std::lock_guard lock(m_mutex);
        State &s = *m_state;
        if (on && !s.loaded)
            return; // a state folder that did not load stays unplugged
        if (on == s.plugged)
            return;
        if (on) {
            s.plugged = true;
            s.plugChanged = true;
        } else {
            unplug(s);
        }
    }
    notifyPlug();
}

bool Engine::plugged() const {
    std::lock_guard lock(m_mutex);
    return m_state->plugged;
}

namespace {
void persist(EngineState &s, const char *key, bool value) {
    s.ini.setValue(kSection, key, value ? "1" : "0");
    std::string error;
    s.ini.save(s.dir / "player.ini", error); // best effort: the running state is what counts
}
} // namespace

void Engine::setCardPresent(bool present) {
    std::lock_guard lock(m_mutex);
    State &s = *m_state;
    if (s.cardPresent == present)
        return;
    s.cardPresent = present;
    s.cardChanged = true;
    if (!present && s.stream.memory == packet::kMemCard)
        abandonStream(s);
    persist(s, "CardPresent", present);
}

void Engine::setWriteProtected(bool on) {
    std::lock_guard lock(m_mutex);
    m_state->writeProtected = on;
    persist(*m_state, "WriteProtected", on);
}

void Engine::setBusy(bool on) {
    std::lock_guard lock(m_mutex);
    m_state->busy = on;
}

void Engine::setNeverReady(bool on) {
    std::lock_guard lock(m_mutex);
    m_state->neverReady = on;
}

void Engine::setFlags(uint8_t mask) {
    std::lock_guard lock(m_mutex);
    m_state->stickyFlags = static_cast<uint8_t>(m_state->stickyFlags | mask);
}

void Engine::clearFlags(uint8_t mask) {
    std::lock_guard lock(m_mutex);
    m_state->stickyFlags = static_cast<uint8_t>(m_state->stickyFlags & ~mask);
    if (mask & kFlagCardChanged)
        m_state->cardChanged = false;
}

void Engine::setFull(uint8_t memory, bool full) {
    std::lock_guard lock(m_mutex);
    if (Memory *m = memoryById(*m_state, memory))
        m->full = full;
}

void Engine::setSpeed(LinkSpeed speed) {
    std::lock_guard lock(m_mutex);
    m_state->speed = speed;
}

void Engine::setModes(int downloadMode, int uploadMode) {
    std::lock_guard lock(m_mutex);
    if (downloadMode != kModeUnchanged)
        m_state->downloadMode = downloadMode;
    if (uploadMode != kModeUnchanged)
        m_state->uploadMode = uploadMode;
}

void Engine::injectFault(Fault fault, uint32_t arg) {
    std::lock_guard lock(m_mutex);
    Faults &f = m_state->faults;
    const uint32_t count = arg == 0 ? 1 : arg;
    switch (fault) {
    case Fault::DropReply:
        f.dropReply += count;
        break;
    case Fault::ShortReply:
        f.shortReply += count;
        break;
    case Fault::Stall:
        f.stall += count;
        break;
    case Fault::PipeError:
        f.pipeError += count;
        break;
    case Fault::Refuse:
        f.refuse = static_cast<uint8_t>(arg == 0 ? kVerdictRefused : arg);
        break;
    case Fault::DropStream:
        f.dropStreamAfter = arg;
        break;
    case Fault::ShortBlock:
        f.shortBlock = true;
        break;
    case Fault::UnplugAfter:
        f.unplugAfter = arg;
        break;
    case Fault::RefuseDelete:
        f.refuseDelete += count;
        break;
    case Fault::RefuseRename:
        f.refuseRename += count;
        break;
    case Fault::KeepPartial:
        f.keepPartialAfter = arg;
        break;
    case Fault::WriteDelay:
        f.writeDelayMs = arg;
        break;
    }
}

void Engine::clearFaults() {
    std::lock_guard lock(m_mutex);
    m_state->faults = Faults{};
    m_state->stalled = false;
}

uint8_t Engine::statusFlags() const {
    std::lock_guard lock(m_mutex);
    return detail::statusFlags(*m_state);
}

Engine::Counters Engine::counters() const {
    std::lock_guard lock(m_mutex);
    return m_state->counters;
}

std::string Engine::statusText() const {
    std::lock_guard lock(m_mutex);
    const State &s = *m_state;
    std::ostringstream out;
    auto onOff = [](bool b) { return b ? "on" : "off"; };
    char flags[8];
    std::snprintf(flags, sizeof flags, "0x%02x", detail::statusFlags(s));
    out << "state: " << s.dir.string() << '\n'
        << "loaded: " << (s.loaded ? "yes" : "no: " + s.loadError) << '\n'
        << "plugged: " << (s.plugged ? "yes" : "no") << '\n'
        << "model: " << s.info.model << '\n'
        << "version: " << s.info.version << '\n'
        << "date: " << s.info.date << '\n'
        << "card: " << (s.cardPresent ? "in" : "out") << '\n'
        << "protect: " << onOff(s.writeProtected) << '\n'
        << "busy: " << onOff(s.busy) << '\n'
        << "never-ready: " << onOff(s.neverReady) << '\n'
        << "flags: " << flags << '\n'
        << "full-flash: " << onOff(s.flash.full) << '\n'
        << "full-card: " << onOff(s.card.full) << '\n'
        << "speed: " << speedName(s.speed) << '\n'
        << "mode-download: " << chosenDownloadMode(s) << '\n'
        << "mode-upload: " << chosenUploadMode(s) << '\n';
    for (const Memory *m : {&s.flash, &s.card})
        if (m->volume)
            out << "memory-" << static_cast<char>(m->id) << ": " << m->volume->totalBytes()
                << " total, " << m->volume->freeBytes() << " free\n";
    const Faults &f = s.faults;
    out << "faults:";
    if (f.dropReply)
        out << " drop-reply x" << f.dropReply;
    if (f.shortReply)
        out << " short-reply x" << f.shortReply;
    if (f.stall)
        out << " stall x" << f.stall;
    if (f.pipeError)
        out << " pipe-error x" << f.pipeError;
    if (f.refuse)
        out << " refuse " << int{*f.refuse};
    if (f.dropStreamAfter)
        out << " drop-stream " << *f.dropStreamAfter;
    if (f.shortBlock)
        out << " short-block";
    if (f.unplugAfter)
        out << " unplug-after " << *f.unplugAfter;
    if (f.refuseDelete)
        out << " refuse-delete x" << f.refuseDelete;
    if (f.refuseRename)
        out << " refuse-rename x" << f.refuseRename;
    if (f.keepPartialAfter)
        out << " keep-partial " << *f.keepPartialAfter;
    if (f.writeDelayMs > 0)
        out << " write-delay " << f.writeDelayMs;
    out << '\n'
        << "stalled: " << (s.stalled ? "yes" : "no") << '\n'
        << "commands: " << s.counters.commands << '\n'
        << "rejected-packets: " << s.counters.rejectedPackets << '\n'
        << "bytes-in: " << s.counters.bytesIn << '\n'
        << "bytes-out: " << s.counters.bytesOut << '\n';
    return out.str();
}

} // namespace vplayer
