// Fuzz target: the virtual player's side of the wire. The input is a script of host actions,
// one byte naming each: a bulk OUT transfer of the bytes that follow (commands and streamed
// data), a bulk IN read, a handshake poll, or a reopen. The engine lives for the whole run on a
// small state folder of its own, so that commands which change the memories keep meeting the
// state earlier inputs left, as they would on a real link.
#include "engine.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

namespace {

vplayer::Engine &engine() {
    static const std::filesystem::path dir = [] {
        char name[] = "/tmp/vplayer-fuzz-XXXXXX";
        if (!mkdtemp(name))
            std::abort();
        std::ofstream ini(std::filesystem::path(name) / "player.ini");
        ini << "[Player]\nFlashBytes=1048576\nCardBytes=2097152\n";
        return std::filesystem::path(name);
    }();
    static vplayer::Engine e(dir);
    if (!e.ok())
        std::abort();
    return e;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vplayer::Engine &e = engine();
    e.hostReset();
    size_t pos = 0;
    std::vector<uint8_t> in(16384);
    while (pos < size) {
        const uint8_t op = data[pos++];
        const size_t blocks = 1 + ((op >> 2) & 0x0F);
        size_t actual = 0;
        switch (op & 3) {
        case 0: { // bulk OUT: whole 64-byte blocks, the script's bytes zero-padded
            std::vector<uint8_t> out(blocks * 64, 0);
            const size_t n = std::min(out.size(), size - pos);
            std::copy_n(data + pos, n, out.begin());
            pos += n;
            if (e.bulkOut(out, actual) == vplayer::UrbStatus::Ok && actual > out.size())
                std::abort();
            break;
        }
        case 1: { // bulk IN
            const size_t want = std::min(in.size(), blocks * 64);
            if (e.bulkIn(std::span(in.data(), want), actual) == vplayer::UrbStatus::Ok &&
                actual > want)
                std::abort();
            break;
        }
        case 2: { // a handshake poll (phase 10, 11 or 12), now and then the abort marker
            vplayer::Setup setup;
            setup.bmRequestType = 0xC0;
            setup.bRequest = static_cast<uint8_t>(10 + (op >> 2) % 3);
            if (op & 0x80)
                setup.wValue = setup.wIndex = 0xFFFF;
            setup.wLength = 1;
            uint8_t answer = 0;
            (void)e.control(setup, std::span(&answer, 1), actual);
            break;
        }
        default:
            e.hostReset();
            break;
        }
    }
    return 0;
}
