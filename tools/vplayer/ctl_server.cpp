#include "ctl_server.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace vplayer {

namespace {

constexpr uint8_t kMemFlash = 'M';
constexpr uint8_t kMemCard = 'S';
constexpr uint32_t kDefaultDropStreamAfter = 16384;
constexpr uint64_t kMostWriteDelayMs = 10000;
constexpr size_t kMaxLine = 4096;
constexpr int kPollMs = 100;
constexpr time_t kClientSeconds = 2;

CtlResult fail(std::string message) {
    return {false, std::move(message)};
}
CtlResult done(std::string output = {}) {
    return {true, std::move(output)};
}

bool onOff(const std::vector<std::string> &w, size_t i, bool &value) {
    if (w.size() != i + 1)
        return false;
    if (w[i] == "on" || w[i] == "in") {
        value = true;
        return true;
    }
    if (w[i] == "off" || w[i] == "out") {
        value = false;
        return true;
    }
    return false;
}

bool number(const std::string &text, uint64_t limit, uint64_t &value) {
    try {
        size_t used = 0;
        value = std::stoull(text, &used, 0);
        return used == text.size() && value <= limit && text[0] != '-';
    } catch (...) {
        return false;
    }
}

CtlResult faultCommand(Engine &engine, const std::vector<std::string> &w) {
    if (w.size() == 2 && w[1] == "clear") {
        engine.clearFaults();
        return done();
    }
    Fault fault;
    if (w.size() < 2 || w.size() > 3 || !faultFromName(w[1], fault))
        return fail("usage: fault NAME [ARG] | fault clear (names: drop-reply, short-reply, "
                    "stall, pipe-error, refuse, drop-stream, short-block, unplug-after, "
                    "refuse-delete, refuse-rename, keep-partial, write-delay)");
    uint64_t arg = 0;
    const bool counted = fault == Fault::DropReply || fault == Fault::ShortReply ||
                         fault == Fault::Stall || fault == Fault::PipeError ||
                         fault == Fault::RefuseDelete || fault == Fault::RefuseRename;
    const uint64_t limit = fault == Fault::Refuse       ? 0xFF
                           : fault == Fault::WriteDelay ? kMostWriteDelayMs
                                                        : 0xFFFFFFFF;
    if (w.size() == 3) {
        if (fault == Fault::ShortBlock)
            return fail("short-block takes no argument");
        if (!number(w[2], limit, arg) || (counted && arg == 0) ||
            (fault == Fault::Refuse && arg == 0))
            return fail("bad argument for " + w[1] + ": " + w[2]);
    } else if (fault == Fault::DropStream) {
        arg = kDefaultDropStreamAfter;
    }
    engine.injectFault(fault, static_cast<uint32_t>(arg));
    return done();
}

} // namespace

CtlResult runControlCommand(Engine &engine, const std::vector<std::string> &w) {
    if (w.empty())
        return fail("no command");
    const std::string &cmd = w[0];
    bool on = false;
    if (cmd == "status" && w.size() == 1)
        return done(engine.statusText());
    if (cmd == "plug" && w.size() == 1) {
        engine.setPlugged(true);
        return engine.plugged() ? done() : fail("the state folder did not load");
    }
    if (cmd == "unplug" && w.size() == 1) {
        engine.setPlugged(false);
        return done();
    }
    if (cmd == "card" && onOff(w, 1, on) && (w[1] == "in" || w[1] == "out")) {
        engine.setCardPresent(on);
        return done();
    }
    if ((cmd == "protect" || cmd == "busy" || cmd == "never-ready") && onOff(w, 1, on) &&
        (w[1] == "on" || w[1] == "off")) {
        if (cmd == "protect")
            engine.setWriteProtected(on);
        else if (cmd == "busy")
            engine.setBusy(on);
        else
            engine.setNeverReady(on);
        return done();
    }
    if (cmd == "flags" && w.size() == 3 && (w[1] == "set" || w[1] == "clear")) {
        uint64_t mask = 0;
        if (!number(w[2], 0xFF, mask))
            return fail("bad flag mask: " + w[2]);
        if (w[1] == "set")
            engine.setFlags(static_cast<uint8_t>(mask));
        else
            engine.clearFlags(static_cast<uint8_t>(mask));
        return done();
    }
    if (cmd == "full" && w.size() == 3 && (w[1] == "flash" || w[1] == "card") && onOff(w, 2, on) &&
        (w[2] == "on" || w[2] == "off")) {
        engine.setFull(w[1] == "flash" ? kMemFlash : kMemCard, on);
        return done();
    }
    if (cmd == "speed" && w.size() == 2) {
        if (w[1] == "full")
            engine.setSpeed(LinkSpeed::Full);
        else if (w[1] == "high")
            engine.setSpeed(LinkSpeed::High);
        else if (w[1] == "unlimited")
            engine.setSpeed(LinkSpeed::Unlimited);
        else
            return fail("speed is full, high or unlimited");
        return done();
    }
    if (cmd == "mode" && w.size() == 3 && (w[1] == "download" || w[1] == "upload")) {
        uint64_t mode = 0;
        int value = Engine::kModeAuto;
        if (w[2] != "auto") {
            if (!number(w[2], 0xFF, mode))
                return fail("bad mode: " + w[2]);
            value = static_cast<int>(mode);
        }
        engine.setModes(w[1] == "download" ? value : Engine::kModeUnchanged,
                        w[1] == "upload" ? value : Engine::kModeUnchanged);
        return done();
    }
    if (cmd == "fault")
        return faultCommand(engine, w);
    std::string line;
    for (const auto &word : w)
        line += (line.empty() ? "" : " ") + word;
    return fail("unknown or malformed command: " + line);
}

CtlServer::CtlServer(Engine &engine) : m_engine(engine) {}

CtlServer::~CtlServer() {
    stop();
}

bool CtlServer::listen(const std::filesystem::path &socketPath, std::string &error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.size() >= sizeof addr.sun_path) {
        error = "control socket path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ::unlink(path.c_str()); // a socket left by an instance that died
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    m_fd = fd;
    m_path = socketPath;
    return true;
}

void CtlServer::start() {
    m_thread = std::thread([this] { loop(); });
}

void CtlServer::stop() {
    if (m_stopping.exchange(true))
        return;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    m_fd = -1;
}

namespace {

bool readLine(int fd, std::string &line) {
    char ch = 0;
    while (line.size() < kMaxLine) {
        const ssize_t n = ::recv(fd, &ch, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line.empty();
        if (ch == '\n')
            return true;
        line.push_back(ch);
    }
    return false;
}

void writeAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

} // namespace

void CtlServer::loop() {
    while (!m_stopping.load()) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0)
            continue;
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        // One client at a time: one that connects and says nothing must not block the others.
        timeval limit{kClientSeconds, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string line;
        if (readLine(client, line)) {
            const CtlResult r = runControlCommand(m_engine, words(line));
            writeAll(client, r.ok ? "ok\n" + r.output : "error: " + r.output + "\n");
        }
        ::close(client);
    }
}

bool sendControlCommand(const std::filesystem::path &socketPath, const std::vector<std::string> &w,
                        CtlResult &result, std::string &error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string path = socketPath.string();
    if (path.size() >= sizeof addr.sun_path) {
        error = "control socket path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        error = "no virtual player answers on " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    std::string line;
    for (const auto &word : w)
        line += (line.empty() ? "" : " ") + word;
    writeAll(fd, line + "\n");
    std::string answer;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (answer.rfind("ok\n", 0) == 0) {
        result = {true, answer.substr(3)};
        return true;
    }
    if (answer.rfind("error: ", 0) == 0) {
        std::string message = answer.substr(7);
        if (!message.empty() && message.back() == '\n')
            message.pop_back();
        result = {false, message};
        return true;
    }
    error = "the virtual player gave no answer";
    return false;
}

} // namespace vplayer
