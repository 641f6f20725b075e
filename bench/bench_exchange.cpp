// One command exchange over the virtual link: WaitReady, the 64-byte 'I' command, WaitDone,
// WaitReady, the 64-byte reply, WaitDone; each of the six a USB/IP round trip to tunara-vplayer.
// The median of the repetitions is the figure to quote.
#include "vplayer_process.h"

#include "KestoUSB.h"
#include "backend.h"
#include "transport.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

std::unique_ptr<kestousb::test::VplayerProcess> g_player;

bool connectOnce() {
    if (!g_player) {
        g_player = std::make_unique<kestousb::test::VplayerProcess>(VPLAYER_PROGRAM);
        if (!g_player->started())
            return false;
        ::setenv("KESTOUSB_USBIP", g_player->address().c_str(), 1);
    }
    return KSUSB_CheckConnect() == 1;
}

void BM_CommandExchangeI(benchmark::State &state) {
    if (!connectOnce()) {
        state.SkipWithError("no virtual player");
        return;
    }
    uint8_t packet[kestousb::kBlock];
    const uint8_t body[] = {'I'};
    kestousb::buildPacket(packet, body);
    uint8_t reply[kestousb::kBlock];
    for (auto _ : state) {
        const bool ok = kestousb::commandExchange(packet, sizeof packet, reply, sizeof reply,
                                                  KSUSB_ERR_SEND, KSUSB_ERR_RESULT_REPLY);
        if (!ok || reply[5] != '.') {
            state.SkipWithError("exchange failed");
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(BM_CommandExchangeI)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly();

// The exported call the program makes: the link probe plus the exchange.
void BM_InvokePlayer(benchmark::State &state) {
    if (!connectOnce()) {
        state.SkipWithError("no virtual player");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(InvokePlayer());
}
BENCHMARK(BM_InvokePlayer)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly();

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kestousb::closePipes();
    g_player.reset();
    return 0;
}
