// The virtual player's engine in-process: one 'I' exchange, a 'G' table of 255 files, and the
// download and upload streams (16 KiB blocks) into and out of a FAT image.
#include "engine.h"
#include "process.h"
#include "wire.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kestousb::test::Bytes;
constexpr size_t kBlock = 16384;

using kestousb::test::frame;

// A state folder with a flash large enough for the streams, removed afterwards.
class Folder : public kestousb::test::TempDir {
public:
    Folder() : TempDir("vpbench") {
        if (!made())
            std::abort();
        std::ofstream(path() / "player.ini")
            << "[Player]\nFlashBytes=134217728\nCardBytes=4194304\n";
    }
};

Bytes roundTrip(vplayer::Engine &e, const Bytes &body, size_t replyBytes = 64) {
    uint8_t ready = 0;
    size_t actual = 0;
    e.control({0xC0, 10, 0, 0, 1}, {&ready, 1}, actual);
    e.bulkOut(frame(body), actual);
    e.control({0xC0, 12, 0, 0, 1}, {&ready, 1}, actual);
    Bytes reply(replyBytes);
    e.bulkIn(reply, actual);
    reply.resize(actual);
    return reply;
}

Bytes announce(const std::string &shortName, uint32_t size) {
    Bytes b{'M', 0x90, 0x17, 0x02, 0x20, 0x32, 0xF2, 0x6D, 0xA0};
    for (int s = 24; s >= 0; s -= 8)
        b.push_back(static_cast<uint8_t>(size >> s));
    b.push_back(0x32);
    b.push_back(0);
    b.push_back(static_cast<uint8_t>(shortName.size()));
    b.insert(b.end(), shortName.begin(), shortName.end());
    b.push_back(0);
    b.push_back(0);
    return b;
}

void download(vplayer::Engine &e, const std::string &name, const Bytes &data) {
    roundTrip(e, announce(name, static_cast<uint32_t>(data.size())));
    size_t actual = 0;
    Bytes block(kBlock);
    for (size_t at = 0; at < data.size(); at += kBlock) {
        std::fill(block.begin(), block.end(), 0);
        std::copy_n(data.begin() + static_cast<ptrdiff_t>(at), std::min(kBlock, data.size() - at),
                    block.begin());
        e.bulkOut(block, actual);
    }
}

// Deletes a file and ends the command, as the host does.
void deleteFile(vplayer::Engine &e, const std::string &name) {
    Bytes body{'M', 'E'};
    body.insert(body.end(), name.begin(), name.end());
    roundTrip(e, body);
    roundTrip(e, {'F'});
}

void BM_StatusExchange(benchmark::State &state) {
    Folder f;
    vplayer::Engine e(f.path());
    for (auto _ : state)
        benchmark::DoNotOptimize(roundTrip(e, {'I'}));
}
BENCHMARK(BM_StatusExchange);

void BM_Table255(benchmark::State &state) {
    Folder f;
    vplayer::Engine e(f.path());
    for (int i = 0; i < 255; ++i)
        download(e, "F" + std::to_string(i) + ".MP3", Bytes(100, 1));
    for (auto _ : state) {
        const Bytes first = roundTrip(e, {'M', 'G'});
        const size_t p = size_t{first.at(6)} << 8 | first.at(7);
        benchmark::DoNotOptimize(roundTrip(e, {'F'}, (p + 63) / 64 * 64));
    }
}
BENCHMARK(BM_Table255)->Unit(benchmark::kMicrosecond);

void BM_Download(benchmark::State &state) {
    Folder f;
    vplayer::Engine e(f.path());
    const Bytes data(static_cast<size_t>(state.range(0)), 0x5A);
    int n = 0;
    for (auto _ : state) {
        const std::string name = "D" + std::to_string(n++) + ".BIN";
        download(e, name, data);
        state.PauseTiming();
        deleteFile(e, name); // so that the memory does not fill up
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Download)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

void BM_Upload(benchmark::State &state) {
    Folder f;
    vplayer::Engine e(f.path());
    const Bytes data(static_cast<size_t>(state.range(0)), 0x33);
    download(e, "UP.BIN", data);
    Bytes block(kBlock);
    for (auto _ : state) {
        roundTrip(e, {'M', 'R', 'U', 'P', '.', 'B', 'I', 'N'});
        size_t actual = 0;
        for (size_t got = 0; got < data.size(); got += actual) {
            e.bulkIn(block, actual);
            if (actual == 0)
                break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Upload)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

// The pacing of a full-speed (about 1.2 MB/s) and a high-speed (about 40 MB/s) link.
void BM_PacedDownload(benchmark::State &state) {
    Folder f;
    vplayer::Engine e(f.path());
    const bool full = state.range(0) == 0;
    e.setSpeed(full ? vplayer::LinkSpeed::Full : vplayer::LinkSpeed::High);
    const Bytes data(full ? 1u << 20 : 16u << 20, 0x11);
    int n = 0;
    for (auto _ : state) {
        const std::string name = "P" + std::to_string(n++) + ".BIN";
        download(e, name, data);
        state.PauseTiming();
        deleteFile(e, name); // so that the memory does not fill up
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_PacedDownload)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
