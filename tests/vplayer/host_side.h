// The host's side of the wire for the engine tests, written from the host's point of view: it
// frames commands into 64-byte blocks, polls, and reads replies, the way the library does.
#pragma once

#include "engine.h"
#include "vplayer_process.h"
#include "wire.h"

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

using kestousb::test::be16;
using kestousb::test::be32;
using kestousb::test::frame;
using kestousb::test::readBe16;
using kestousb::test::readBe32;

inline Bytes utf16le(const std::u16string &s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

// A state folder in a scratch place with small memories, removed afterwards.
class StateDir : public kestousb::test::TempDir {
public:
    explicit StateDir(const std::string &extraIni = {}) : TempDir("vpstate") {
        if (!made())
            throw std::runtime_error("mkdtemp");
        std::ofstream(path() / "player.ini") << "[Player]\nFlashBytes=2097152\nCardBytes=4194304\n"
                                             << extraIni;
    }
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
