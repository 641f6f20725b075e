// The host's side of the wire for the engine tests, written from the host's point of view: it
// frames commands into 64-byte blocks, polls, and reads replies, the way the library does.
#pragma once

#include "engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace hosttest {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes be16(uint32_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline Bytes be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
inline uint32_t readBe32(const Bytes &b, size_t at) {
    return uint32_t{b.at(at)} << 24 | uint32_t{b.at(at + 1)} << 16 | uint32_t{b.at(at + 2)} << 8 |
           b.at(at + 3);
}
inline uint16_t readBe16(const Bytes &b, size_t at) {
    return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1));
}

inline Bytes utf16le(const std::u16string &s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

// '#', 0, L, ':', body, '.', zero-filled to whole 64-byte blocks.
inline Bytes frame(const Bytes &body) {
    Bytes p{'#', 0, static_cast<uint8_t>(body.size() + 2), ':'};
    p.insert(p.end(), body.begin(), body.end());
    p.push_back('.');
    p.resize((p.size() + 63) / 64 * 64, 0);
    return p;
}

// A state folder in a scratch place with small memories, removed afterwards.
class StateDir {
public:
    explicit StateDir(const std::string &extraIni = {}) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vpstate-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            throw std::runtime_error("mkdtemp");
        m_path = tmpl;
        std::ofstream(m_path / "player.ini") << "[Player]\nFlashBytes=2097152\nCardBytes=4194304\n"
                                             << extraIni;
    }
    ~StateDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    StateDir(const StateDir &) = delete;
    StateDir &operator=(const StateDir &) = delete;
    const std::filesystem::path &path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

class Host {
public:
    explicit Host(vplayer::Engine &engine) : m_engine(engine) {}

    // One poll: the byte the player answers (or -1 when the request failed).
    int poll(uint8_t phase, uint16_t value = 0, uint16_t index = 0) {
        uint8_t answer = 0;
        size_t actual = 0;
        const auto st = m_engine.control({0xC0, phase, value, index, 1},
                                         std::span<uint8_t>(&answer, 1), actual);
        return st == vplayer::UrbStatus::Ok && actual == 1 ? answer : -1;
    }

    vplayer::UrbStatus write(const Bytes &data, size_t *actualOut = nullptr) {
        size_t actual = 0;
        const auto st = m_engine.bulkOut(data, actual);
        if (actualOut)
            *actualOut = actual;
        return st;
    }

    // Reads up to `bytes`; the status of the read goes to `status`.
    Bytes read(size_t bytes, vplayer::UrbStatus *status = nullptr) {
        Bytes buf(bytes, 0);
        size_t actual = 0;
        const auto st = m_engine.bulkIn(buf, actual);
        if (status)
            *status = st;
        buf.resize(st == vplayer::UrbStatus::Ok ? actual : 0);
        return buf;
    }

    // The command exchange: WaitReady(10), write, WaitDone, WaitReady(12), read, WaitDone.
    Bytes exchange(const Bytes &body, size_t replyBytes = 64) {
        poll(10);
        EXPECT_EQ(write(frame(body)), vplayer::UrbStatus::Ok);
        poll(10, 0, 0xFFFF);
        poll(12);
        Bytes reply = read(replyBytes);
        poll(10, 0, 0xFFFF);
        return reply;
    }

    // The result request after a changing command; the result reply (64 bytes).
    Bytes result(size_t replyBytes = 64) { return exchange(bytesOf("F"), replyBytes); }

private:
    vplayer::Engine &m_engine;
};

} // namespace hosttest
