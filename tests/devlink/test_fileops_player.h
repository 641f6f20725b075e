// A player memory scripted on top of the fake player for the file-table and file-operation
// tests: it serves a table built from FileRecords for 'G', echoes the 8.3 name for delete,
// rename and play position (or '?' / '*' when told), and answers the result request with the
// flags it is given.
#pragma once

#include "fake_player.h"
#include "test_filetable_records.h"

#include <optional>
#include <vector>

namespace kestousb::test {

class ScriptedMemory {
public:
    std::vector<tabletest::FileRecord> files;
    uint32_t total = 32 * 1024 * 1024;
    uint32_t free = 1024 * 1024;
    uint8_t invokeFlags = 0x00;            // the 'I' answer (CheckMemory for the card)
    uint8_t resultFlags = 0x00;            // byte 4 of the result reply
    bool resultMark = true;                // byte 5 of the result reply is '.'
    std::optional<char> echo;              // every echoed byte ('?', '*'); else the 8.3 name
    std::optional<size_t> announcedLength; // P in the 'G' reply; else the real length
    bool tableMark = true;                 // data byte P is '.'

    explicit ScriptedMemory(FakePlayer &fake) {
        fake.onCommand('I', [this](const FakePlayer::Packet &, size_t) {
            return FakePlayer::frame({invokeFlags});
        });
        fake.onCommand('G', [this](const FakePlayer::Packet &, size_t n) { return table(n); });
        for (const uint8_t letter : {uint8_t('E'), uint8_t('N'), uint8_t('P')})
            fake.onCommand(
                letter, [this](const FakePlayer::Packet &c, size_t n) { return echoReply(c, n); });
        fake.onCommand('F', [this](const FakePlayer::Packet &c, size_t n) {
            if (c.body().size() == 1) { // the result request
                Bytes out = m_pending;
                out.resize(n, 0);
                return out;
            }
            m_pending = result(); // the format command: its first reply says nothing
            return Bytes(n, 0);
        });
    }

    Bytes result() const {
        Bytes r = FakePlayer::frame({resultFlags});
        if (!resultMark)
            r[5] = 0;
        return r;
    }

private:
    Bytes table(size_t n) {
        Bytes data = tabletest::tableRecords(total, free, files);
        const size_t p = announcedLength.value_or(data.size());
        data.resize(std::max(data.size(), p), 0);
        if (p < data.size())
            data.resize(p);
        data.push_back(tableMark ? '.' : 0);
        m_pending = data;
        Bytes r(n, 0);
        r[0] = '#';
        r[2] = 4;
        r[3] = ':';
        r[6] = static_cast<uint8_t>(p >> 8);
        r[7] = static_cast<uint8_t>(p & 0xFF);
        return r;
    }

    Bytes echoReply(const FakePlayer::Packet &c, size_t n) {
        const Bytes body = c.body();
        size_t from = 2, o = 0;
        if (body.size() >= 2 && body[1] == 'N') {
            o = size_t(body[2]) << 8 | body[3];
            from = 4;
        } else if (body.size() >= 2 && body[1] == 'P') {
            o = body.size() - 3;
        } else {
            o = body.size() - 2;
        }
        Bytes r(n, 0);
        r[0] = '#';
        r[3] = ':';
        for (size_t k = 0; k < o && 6 + k < n; ++k)
            r[6 + k] = echo ? static_cast<uint8_t>(*echo) : body[from + k];
        m_pending = result();
        return r;
    }

    Bytes m_pending;
};

} // namespace kestousb::test
