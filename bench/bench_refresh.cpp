// How long the program waits for a full memory: KSUSB_RefreshMemory of a memory holding 255
// files with long names (about 32 KB of table data) over the USB/IP link to tunara-vplayer, and
// the decode of the same amount of table data on its own. Prints the median, minimum and maximum
// of each in milliseconds.
//
//   bench_refresh [--vplayer PATH] [--rounds N]
#include "KestoUSB.h"
#include "tabledecoder.h"
#include "vplayer_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFiles = 255;

struct Stats {
    double median, min, max;
};

Stats stats(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front(), ms.back()};
}

std::string trackName(int i) {
    char name[96];
    std::snprintf(name, sizeof name, "Track %03d - A song title of some length.mp3", i + 1);
    return name;
}

bool run(const std::string &line) {
    return std::system(line.c_str()) == 0;
}

// An image with 255 files of one byte each, every name taking four directory records.
bool makeImage(const fs::path &dir) {
    const fs::path seed = dir / "seed";
    fs::create_directories(seed);
    std::string copy =
        std::string(FILES_BENCH_MCOPY) + " -i '" + (dir / "flash.img").string() + "'";
    for (int i = 0; i < kFiles; ++i) {
        std::ofstream(seed / trackName(i)) << 'x';
        copy += " '" + (seed / trackName(i)).string() + "'";
    }
    // The root directory must hold 255 x 4 records.
    return run(std::string(FILES_BENCH_MKFS) + " -F 16 -r 1536 -C '" +
               (dir / "flash.img").string() + "' 16384 >/dev/null") &&
           run("MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + copy + " ::");
}

// Table data as the player sends it for the same 255 names: each file one short-name record
// after three long-name records.
std::vector<uint8_t> tableData(size_t &p) {
    std::vector<uint8_t> data(kestousb::kTableHeaderSize, 0);
    static constexpr size_t offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = trackName(i);
        for (size_t r = 3; r-- > 0;) {
            std::vector<uint8_t> rec(32, 0);
            rec[0] = uint8_t((r + 1) | (r == 2 ? 0x40 : 0));
            rec[11] = 0x0F;
            for (size_t k = 0; k < 13; ++k) {
                const size_t at = r * 13 + k;
                const uint16_t unit = at < name.size()    ? uint8_t(name[at])
                                      : at == name.size() ? 0
                                                          : 0xFFFF;
                rec[offsets[k]] = uint8_t(unit & 0xFF);
                rec[offsets[k] + 1] = uint8_t(unit >> 8);
            }
            data.insert(data.end(), rec.begin(), rec.end());
        }
        std::vector<uint8_t> rec(32, ' ');
        std::snprintf(reinterpret_cast<char *>(rec.data()), 9, "TRACK%03d", i);
        rec[8] = 'M';
        rec[9] = 'P';
        rec[10] = '3';
        std::fill(rec.begin() + 11, rec.end(), 0);
        rec[11] = 0x20;
        rec[28] = 1;
        data.insert(data.end(), rec.begin(), rec.end());
    }
    p = data.size();
    data.push_back('.');
    data.resize(kestousb::kTableBufferSize, 0);
    return data;
}

} // namespace

int main(int argc, char **argv) {
    std::string vplayer = (fs::path(argv[0]).parent_path() / "tunara-vplayer").string();
    int rounds = 200;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--vplayer")
            vplayer = argv[i + 1];
        else if (a == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }

    // ---- decode alone
    size_t p = 0;
    const std::vector<uint8_t> data = tableData(p);
    auto table = std::make_unique<KSUSB_TOpenTable>();
    std::vector<double> decodeMs;
    for (int r = 0; r < rounds; ++r) {
        const auto t0 = Clock::now();
        const auto result = kestousb::decodeTable(data, p, *table);
        decodeMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (result != kestousb::TableDecode::Ok || table->count != kFiles) {
            std::fprintf(stderr, "bench_refresh: decode failed\n");
            return 1;
        }
    }

    // ---- refresh over the virtual link
    const fs::path dir = fs::temp_directory_path() / ("bench_refresh_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    if (!makeImage(dir)) {
        std::fprintf(stderr, "bench_refresh: could not make the image (mkfs.fat, mcopy)\n");
        return 1;
    }
    auto player = std::make_unique<kestousb::test::VplayerProcess>(vplayer, dir.string());
    if (!player->started()) {
        std::fprintf(stderr, "bench_refresh: could not start %s\n", vplayer.c_str());
        return 1;
    }
    setenv("KESTOUSB_USBIP", player->address().c_str(), 1);

    int status = 0;
    std::vector<double> refreshMs;
    if (KSUSB_RefreshMemory(KSUSB_MEM_FLASH) == 0) { // connects; not counted
        std::fprintf(stderr, "bench_refresh: refresh failed: %d\n", KSUSB_GetLastError());
        status = 1;
    }
    for (int r = 0; status == 0 && r < rounds; ++r) {
        const auto t0 = Clock::now();
        const int ok = KSUSB_RefreshMemory(KSUSB_MEM_FLASH);
        refreshMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        GetFileInfo(KSUSB_MEM_FLASH, table.get());
        if (ok == 0 || table->count != kFiles) {
            std::fprintf(stderr, "bench_refresh: refresh failed (%d, %u entries)\n",
                         KSUSB_GetLastError(), unsigned(table->count));
            status = 1;
        }
    }
    player.reset();
    fs::remove_all(dir);
    if (status != 0)
        return status;

    const Stats d = stats(decodeMs), f = stats(refreshMs);
    std::printf("table: %d files, %zu bytes of table data, %d rounds\n", kFiles, p, rounds);
    std::printf("decode alone:              median %.3f ms  (min %.3f, max %.3f)\n", d.median,
                d.min, d.max);
    std::printf("KSUSB_RefreshMemory (USB/IP): median %.3f ms  (min %.3f, max %.3f)\n", f.median,
                f.min, f.max);
    return 0;
}
