// Fuzz target: replies of a player that does not keep to the rules, through the library's real
// exchanges. The first byte chooses the call (status flags, version, full status record, a file
// table refresh of either memory); the rest is what the player sends, handed out read by read.
// The polls answer ready and the clock moves on by itself, so that nothing waits.
#include "KestoUSB.h"
#include "backend.h"
#include "library_state.h"
#include "status.h"
#include "transport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace kestousb;

namespace {

struct Script {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;
};
Script g_script;

class ScriptedConnection : public DeviceConnection {
public:
    bool probe() override { return true; }
    bool bulkWrite(const uint8_t *, size_t count, size_t &transferred) override {
        transferred = count;
        return true;
    }
    bool bulkRead(uint8_t *out, size_t count, size_t &transferred) override {
        // Each read takes what it asked for; an exhausted script ends the reply short.
        transferred = std::min(count, g_script.size - g_script.pos);
        std::memcpy(out, g_script.data + g_script.pos, transferred);
        g_script.pos += transferred;
        return transferred > 0;
    }
    bool vendorRequest(uint8_t, uint16_t, uint16_t, uint8_t &answer) override {
        answer = kReady;
        return true;
    }
    void release() override {}
    bool close() override { return true; }
    std::string path() const override { return "fuzz:1-1"; }
};

class ScriptedBackend : public Backend {
public:
    std::vector<std::string> enumerate() override { return {"fuzz:1-1"}; }
    std::unique_ptr<DeviceConnection> open(const std::string &, bool &) override {
        return std::make_unique<ScriptedConnection>();
    }
};

void checkText(const char *text, size_t capacity) {
    if (strnlen(text, capacity) == capacity)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static ScriptedBackend backend;
    static const bool installed = [] {
        resetLibraryForTesting({.backends = {&backend},
                                .ticks =
                                    [] {
                                        static int64_t now = 0;
                                        return now += 1;
                                    },
                                .sleep = [](std::chrono::milliseconds) {}});
        return true;
    }();
    (void)installed;
    if (size < 1)
        return 0;
    g_script = {data + 1, size - 1, 0};
    switch (data[0] % 5) {
    case 0:
        (void)InvokePlayer();
        break;
    case 1: {
        (void)GetPlayerVersion();
        KSPlayerStatus status{};
        GetPlayerInfo(&status);
        checkText(status.version, sizeof status.version);
        checkText(status.model, sizeof status.model);
        checkText(status.date, sizeof status.date);
        break;
    }
    case 2: {
        (void)KSUSB_GetPlayerStatus();
        KSPlayerStatus status{};
        GetPlayerInfo(&status);
        checkText(status.text11, sizeof status.text11);
        checkText(status.text23, sizeof status.text23);
        checkText(status.text109, sizeof status.text109);
        break;
    }
    default: {
        const unsigned char mem = data[0] % 5 == 3 ? KSUSB_MEM_FLASH : KSUSB_MEM_CARD;
        (void)KSUSB_RefreshMemory(mem);
        auto table = std::make_unique<KSUSB_TOpenTable>();
        (void)GetFileInfo(mem, table.get());
        for (size_t i = 0; i < table->count; ++i)
            checkText(table->entries[i].name, sizeof table->entries[i].name);
        break;
    }
    }
    return 0;
}
