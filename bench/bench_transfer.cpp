// Transfer throughput: the library's download and upload of a file against a raw bulk loop
// over the same USB/IP link with the same block size and as many blocks in flight, both in one
// run, against a tunara-vplayer whose link is paced like a full-speed or high-speed link or not
// at all. Prints MB/s of each, the ratio of the library to the raw loop (from the rounds' own
// ratios, so that both sides of a ratio ran under the same load; see below), on a paced link
// the library's share of the link's own rate, and CPU seconds per 100 MB of each.
//
// Both raw loops do the work the library does on either end, so that a ratio is what the library
// adds and not what the player or the disk costs: the download's waits until the player has
// taken the file; the upload's stores the file as the library does (the library's chunk writer
// into a temporary file beside the previous copy, flushed, renamed over it, the folder flushed)
// and waits for the player's done. A further line gives the upload's raw loop that drops what it
// receives, as the raw loop did before it stored the file: the library's rate against it
// includes the disk's share. Like the library, which runs each transfer on a worker it starts,
// each raw loop runs on a thread started for it: on two cores a thread that has just started
// moves blocks to and from the player's process a few per cent slower than the bench's own
// long-running thread does, which the ratio is not meant to measure. `--raw-thread caller` runs
// the raw loops on the bench's own thread, as before.
//
//   bench_transfer [--vplayer PATH] [--speed full|high|unlimited] [--mib N] [--rounds N]
//                  [--raw-thread own|caller]
//
// Defaults: unlimited link, 64 MiB (4 MiB on a full-speed link), 12 rounds. The order of the
// library and the raw loop alternates between rounds, and whichever runs first in a round runs
// up to a tenth slower on the unlimited link. The rounds' ratios then fall in two heaps, one for
// each order, and the median of all of them lands in the gap between the heaps, wherever the
// few rounds nearest to it put it. So the ratio is the geometric mean of the median of each
// order: running first costs either side alike, and that cost cancels out.
#include "KestoUSB.h"
#include "backend.h"
#include "chunk_writer.h"
#include "transfer_state.h"
#include "transport.h"
#include "vplayer_process.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kMega = 1e6;
constexpr double kHundredMegabytes = 100e6;
constexpr uint32_t kFlashBytes = 256u << 20; // room for the file twice over

struct Sample {
    double wall = 0;      // seconds
    double cpu = 0;       // seconds of this process (all threads)
    double playerCpu = 0; // seconds of the virtual player
};

// The goals the printout is read against: the library's share of the raw loop's rate (on an
// unpaced link) or of the link's own rate (on a paced one), and its CPU per 100 MB as a multiple
// of the raw loop's.
struct Goals {
    double minRatio;
    double maxCpuFactor; // 0: no CPU goal on this link
    double linkRate;     // bytes per second of a paced link, 0 when unpaced
};

// The rates at which tunara-vplayer paces its full-speed and high-speed links.
constexpr double kFullSpeedLinkRate = 1.2e6;
constexpr double kHighSpeedLinkRate = 40e6;

double processCpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::string loadAverage() {
    double load[3] = {};
    if (getloadavg(load, 3) != 3)
        return "unknown";
    char text[64];
    std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
    return text;
}

double childCpu(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), {});
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The virtual player with room for the file twice over and no card.
class Player : public kestousb::test::VplayerProcess {
public:
    Player(const std::string &exe, const fs::path &state) : VplayerProcess(exe, prepare(state)) {}

private:
    static std::string prepare(const fs::path &state) {
        fs::create_directories(state);
        std::ofstream(state / "player.ini")
            << "[Player]\nFlashBytes=" << kFlashBytes << "\nCardPresent=0\n";
        return state.string();
    }
};

// Waits for the worker's final notification.
class Waiter : public KSNotifyTarget {
public:
    Waiter() : KSNotifyTarget{&Waiter::thunk} {}
    intptr_t wait() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_done; });
        m_done = false;
        return m_result;
    }

private:
    static void thunk(KSNotifyTarget *self, unsigned int, uintptr_t w, intptr_t l) {
        auto *me = static_cast<Waiter *>(self);
        if (w != KSUSB_XFER_DONE && w != KSUSB_XFER_FAILED)
            return;
        std::lock_guard lock(me->m_mutex);
        me->m_result = w == KSUSB_XFER_DONE ? 0 : l;
        me->m_done = true;
        me->m_cv.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    intptr_t m_result = 0;
};

// Runs a raw loop on a thread started for it, or on the caller's own.
template <typename F>
bool runRaw(bool ownThread, F &&body) {
    if (!ownThread)
        return body();
    bool ok = false;
    std::thread([&] { ok = body(); }).join();
    return ok;
}

// Thrown when a transfer fails: the bench ends, and the player with it.
struct TransferFailed {};

template <typename F>
Sample measure(pid_t player, F &&body) {
    const double cpu0 = processCpu(), player0 = childCpu(player);
    const auto t0 = Clock::now();
    if (!body()) {
        std::fprintf(stderr, "bench_transfer: a transfer failed (last error %d)\n",
                     KSUSB_GetLastError());
        throw TransferFailed{};
    }
    Sample s;
    s.wall = std::chrono::duration<double>(Clock::now() - t0).count();
    s.cpu = processCpu() - cpu0;
    s.playerCpu = childCpu(player) - player0;
    return s;
}

// The raw loop's download announcement: the same command the library sends, for "RAW.BIN".
bool announceRawDownload(uint32_t size, size_t &block) {
    const std::string shortName = "RAW.BIN";
    const std::string longName = "raw.bin";
    std::vector<uint8_t> body = {'M', 0x90, 0x17, 0x02, 0x20, 0x58, 0x21, 0x00, 0x00};
    for (int shift = 24; shift >= 0; shift -= 8)
        body.push_back(uint8_t(size >> shift));
    body.push_back(0x32);
    body.push_back(0);
    body.push_back(uint8_t(shortName.size()));
    body.insert(body.end(), shortName.begin(), shortName.end());
    body.push_back(0);
    body.push_back(uint8_t(longName.size() * 2));
    for (char c : longName) {
        body.push_back(uint8_t(c));
        body.push_back(0);
    }
    uint8_t packet[256] = {};
    const size_t length = kestousb::buildPacket(packet, body);
    uint8_t reply[kestousb::kBlock] = {};
    if (length == 0 || !kestousb::commandExchange(packet, kestousb::blockAligned(length), reply,
                                                  sizeof reply, -2, -3))
        return false;
    block = kestousb::downloadBlockSize(reply[9]);
    return reply[4] == 0;
}

// The raw loops keep as many blocks in flight as the library does (transferDepth()), straight
// on the connection: the reference the library's streams are held against.
bool rawDownload(const std::vector<uint8_t> &data) {
    size_t block = 0;
    if (!announceRawDownload(uint32_t(data.size()), block))
        return false;
    auto conn = kestousb::currentConnection();
    const size_t depth = kestousb::transferDepth();
    std::vector<std::vector<uint8_t>> buffers(depth, std::vector<uint8_t>(block));
    size_t queued = 0, answered = 0;
    auto finish = [&] {
        size_t moved = 0;
        ++answered;
        return conn->finishWrite(moved) && moved == block;
    };
    for (size_t at = 0; at < data.size(); at += block) {
        if (queued - answered == depth && !finish())
            return false;
        std::vector<uint8_t> &buffer = buffers[queued % depth];
        const size_t n = std::min(block, data.size() - at);
        std::memcpy(buffer.data(), data.data() + at, n);
        std::memset(buffer.data() + n, 0, block - n);
        if (!conn->queueWrite(buffer.data(), block))
            return false;
        ++queued;
    }
    while (answered < queued)
        if (!finish())
            return false;
    // Like the library, wait until the player has taken the file, so both measure the same work.
    kestousb::waitDone();
    return true;
}

// Where the raw upload puts what it receives. With a destination, the work the library does on
// the PC side and no more (none of its checks of the destination, no permissions): a temporary
// file beside the destination written through the library's chunk writer, flushed, closed and
// renamed over the destination, then the folder flushed. Without one, the bytes are dropped.
class RawSink {
public:
    RawSink(const fs::path &destination, uint32_t size) : m_destination(destination) {
        if (destination.empty())
            return;
        m_temp = destination.string() + ".part-XXXXXX";
        m_fd = ::mkstemp(m_temp.data());
        if (m_fd < 0)
            m_temp.clear();
        else
            m_writer = std::make_unique<kestousb::ChunkWriter>(m_fd, size, false);
    }
    ~RawSink() {
        m_writer.reset();
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_temp.empty())
            ::unlink(m_temp.c_str());
    }
    RawSink(const RawSink &) = delete;
    RawSink &operator=(const RawSink &) = delete;

    bool isOpen() const { return m_destination.empty() || m_writer; }
    uint8_t *space(size_t count) { return m_writer ? m_writer->space(count) : m_drop.data(); }
    void keep(size_t count) {
        if (m_writer)
            m_writer->keep(count);
    }
    bool commit() {
        if (!m_writer)
            return m_destination.empty();
        bool ok = m_writer->finish();
        m_writer.reset();
        ok = ::fsync(m_fd) == 0 && ok;
        ok = ::close(m_fd) == 0 && ok;
        m_fd = -1;
        if (!ok || ::rename(m_temp.c_str(), m_destination.c_str()) != 0)
            return false;
        m_temp.clear();
        const int folder =
            ::open(m_destination.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = folder >= 0 && ::fsync(folder) == 0;
        if (folder >= 0)
            ::close(folder);
        return ok;
    }

private:
    const fs::path m_destination;
    std::string m_temp;
    int m_fd = -1;
    std::unique_ptr<kestousb::ChunkWriter> m_writer;
    std::vector<uint8_t> m_drop = std::vector<uint8_t>(kestousb::kMaxBlockSize);
};

// `destination` empty: the received bytes are dropped.
bool rawUpload(const std::string &name83, uint32_t expected, const fs::path &destination) {
    std::vector<uint8_t> body = {'M', 'R'};
    body.insert(body.end(), name83.begin(), name83.end());
    uint8_t packet[kestousb::kBlock] = {};
    const size_t length = kestousb::buildPacket(packet, body);
    uint8_t reply[kestousb::kBlock] = {};
    if (!kestousb::commandExchange(packet, kestousb::blockAligned(length), reply, sizeof reply, -2,
                                   -2))
        return false;
    const size_t n = name83.size();
    const uint32_t size = kestousb::getBe32(reply + 6 + n);
    const size_t block = kestousb::uploadBlockSize(reply[10 + n]);
    if (size != expected || block == 0)
        return false;
    RawSink sink(destination, size);
    if (!sink.isOpen())
        return false;
    auto conn = kestousb::currentConnection();
    conn->readAhead(block, (size + block - 1) / block);
    bool ok = true;
    for (uint32_t received = 0; ok && received < size;) {
        uint8_t *buffer = sink.space(block);
        size_t moved = 0;
        ok = buffer != nullptr && conn->bulkRead(buffer, block, moved) && moved > 0;
        const size_t kept = std::min<size_t>(moved, size - received);
        sink.keep(kept);
        received += uint32_t(kept);
    }
    conn->readAhead(0, 0);
    // Like the library, the file is on the disk under its name before the player's done.
    if (!ok || !sink.commit())
        return false;
    kestousb::waitDone();
    return true;
}

std::string shortNameOf(const char *longName) {
    static KSUSB_TOpenTable table;
    GetFileInfo('M', &table);
    for (int i = 0; i < table.count; ++i)
        if (std::strcmp(table.entries[i].name, longName) == 0)
            return table.entries[i].name83;
    return {};
}

// Of an even count, the mean of the middle two.
double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t half = v.size() / 2;
    return v.size() % 2 == 1 ? v[half] : (v[half - 1] + v[half]) / 2;
}

// One line per direction. The ratios come from each round's own ratio: the library and the raw
// loop of one round ran back to back, so the machine's other load touches both alike.
void report(const char *what, const std::vector<Sample> &lib, const std::vector<Sample> &raw,
            double bytes, const Goals &goals) {
    auto rate = [bytes](const Sample &s) { return bytes / s.wall / kMega; };
    auto per100 = [bytes](double seconds) { return seconds / bytes * kHundredMegabytes; };
    std::vector<double> libRates, rawRates, libCpu, rawCpu, libTotal, ratios, cpuFactors;
    for (size_t i = 0; i < lib.size() && i < raw.size(); ++i) {
        libRates.push_back(rate(lib[i]));
        rawRates.push_back(rate(raw[i]));
        ratios.push_back(raw[i].wall / lib[i].wall);
        libCpu.push_back(per100(lib[i].cpu));
        rawCpu.push_back(per100(raw[i].cpu));
        cpuFactors.push_back(lib[i].cpu / raw[i].cpu);
        libTotal.push_back(per100(lib[i].cpu + lib[i].playerCpu));
    }
    std::vector<double> libraryFirst, rawFirst;
    for (size_t i = 0; i < ratios.size(); ++i)
        (i % 2 == 0 ? libraryFirst : rawFirst).push_back(ratios[i]);
    const double ratio =
        rawFirst.empty() ? median(ratios) : std::sqrt(median(libraryFirst) * median(rawFirst));
    const double cpuFactor = median(cpuFactors);
    if (goals.linkRate > 0) {
        const double linkShare = median(libRates) * kMega / goals.linkRate;
        std::printf("%-8s library %8.1f MB/s   raw loop %8.1f MB/s   ratio %.3f   link limit "
                    "%.1f MB/s, library/link %.3f (goal >= %.2f)\n",
                    what, median(libRates), median(rawRates), ratio, goals.linkRate / kMega,
                    linkShare, goals.minRatio);
    } else {
        std::printf("%-8s library %8.1f MB/s   raw loop %8.1f MB/s   ratio %.3f (goal >= %.2f)\n",
                    what, median(libRates), median(rawRates), ratio, goals.minRatio);
    }
    std::printf("%-8s CPU s/100MB: library %.3f (with player %.3f), raw %.3f, library/raw %.2f",
                what, median(libCpu), median(libTotal), median(rawCpu), cpuFactor);
    if (goals.maxCpuFactor > 0)
        std::printf(" (goal <= %.2f)", goals.maxCpuFactor);
    std::printf("\n");
    std::printf("%-8s ratios by round:", what);
    for (double r : ratios)
        std::printf(" %.3f", r);
    if (!rawFirst.empty())
        std::printf("   median with the library first %.3f, the raw loop first %.3f",
                    median(libraryFirst), median(rawFirst));
    std::printf("\n");
}

// The upload against the raw loop that drops what it receives: no goal, the disk's share shows.
void reportAgainstDropping(const std::vector<Sample> &lib, const std::vector<Sample> &dropping,
                           double bytes) {
    std::vector<double> rates, ratios;
    for (size_t i = 0; i < lib.size() && i < dropping.size(); ++i) {
        rates.push_back(bytes / dropping[i].wall / kMega);
        ratios.push_back(dropping[i].wall / lib[i].wall);
    }
    std::printf("%-8s raw loop not storing the file %8.1f MB/s   library/that %.3f (the disk "
                "included, no goal)\n",
                "upload", median(rates), median(ratios));
}

} // namespace

int main(int argc, char **argv) {
    std::string vplayer = (fs::read_symlink("/proc/self/exe").parent_path() / "tunara-vplayer");
    int mib = 0, rounds = 12;
    std::string speed = "unlimited";
    std::string rawThread = "own";
    for (int i = 1; i < argc; i += 2) {
        const std::string opt = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "bench_transfer: %s needs a value\n", opt.c_str());
            return 2;
        }
        if (opt == "--vplayer")
            vplayer = argv[i + 1];
        else if (opt == "--mib")
            mib = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (opt == "--speed")
            speed = argv[i + 1];
        else if (opt == "--raw-thread")
            rawThread = argv[i + 1];
        else {
            std::fprintf(stderr, "bench_transfer: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (speed != "full" && speed != "high" && speed != "unlimited") {
        std::fprintf(stderr, "bench_transfer: --speed is full, high or unlimited\n");
        return 2;
    }
    if (rawThread != "own" && rawThread != "caller") {
        std::fprintf(stderr, "bench_transfer: --raw-thread is own or caller\n");
        return 2;
    }
    const bool rawOwnThread = rawThread == "own";
    if (mib == 0)
        mib = speed == "full" ? 4 : 64; // a full-speed link moves about 1.2 MB/s
    const Goals goals = speed == "unlimited" ? Goals{0.98, 1.1, 0}
                        : speed == "high"    ? Goals{0.97, 0, kHighSpeedLinkRate}
                                             : Goals{0.97, 0, kFullSpeedLinkRate};
    const fs::path work =
        fs::temp_directory_path() / ("bench_transfer." + std::to_string(getpid()));
    fs::create_directories(work);
    const size_t bytes = size_t(mib) << 20;
    std::vector<uint8_t> data(bytes);
    std::mt19937 random(42);
    for (auto &b : data)
        b = uint8_t(random());
    const fs::path source = work / "bench.bin";
    std::ofstream(source, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));

    int result = 0;
    {
        Player player(vplayer, work / "state");
        if (player.address().empty()) {
            std::fprintf(stderr, "bench_transfer: could not start %s\n", vplayer.c_str());
            fs::remove_all(work);
            return 1;
        }
        if (speed != "unlimited" && player.ctl({"speed", speed}) != 0) {
            std::fprintf(stderr, "bench_transfer: the player did not take \"speed %s\"\n",
                         speed.c_str());
            fs::remove_all(work);
            return 1;
        }
        setenv("KESTOUSB_USBIP", player.address().c_str(), 1);
        if (!KSUSB_CheckConnect() || !KSUSB_RefreshMemory('M')) {
            std::fprintf(stderr, "bench_transfer: no player at %s (%d)\n", player.address().c_str(),
                         KSUSB_GetLastError());
            fs::remove_all(work);
            return 1;
        }
        std::printf("bench_transfer: %d MiB, %d round(s), tunara-vplayer at %s (%s link), raw "
                    "loops on %s, load average %s\n",
                    mib, rounds, player.address().c_str(), speed.c_str(),
                    rawOwnThread ? "a thread of their own" : "the bench's thread",
                    loadAverage().c_str());
        Waiter waiter;
        std::vector<Sample> libDown, rawDown, libUp, rawUp, rawUpDropping;
        bool failed = false;
        try {
            for (int round = 0; round < rounds; ++round) {
                // The order alternates between rounds, so that neither side always runs right after
                // the other's write-back of the image.
                const bool libraryFirst = round % 2 == 0;
                const auto inRoundOrder = [libraryFirst](auto &&library, auto &&raw) {
                    if (libraryFirst) {
                        library();
                        raw();
                    } else {
                        raw();
                        library();
                    }
                };
                auto libDownload = [&] {
                    libDown.push_back(measure(player.pid(), [&] {
                        return KSUSB_Download('M', source.c_str(), &waiter, 10000) &&
                               waiter.wait() == 0;
                    }));
                };
                auto rawDownloadRun = [&] {
                    rawDown.push_back(measure(player.pid(), [&] {
                        return runRaw(rawOwnThread, [&] { return rawDownload(data); });
                    }));
                };
                inRoundOrder(libDownload, rawDownloadRun);
                KSUSB_RefreshMemory('M');
                const std::string name83 = shortNameOf("bench.bin");
                const fs::path target = work / "uploaded.bin";
                const fs::path rawTarget = work / "raw-uploaded.bin";
                auto libUpload = [&] {
                    libUp.push_back(measure(player.pid(), [&] {
                        return KSUSB_Upload('M', "bench.bin", target.c_str(), &waiter, 10000) &&
                               waiter.wait() == 0;
                    }));
                };
                auto rawUploadRun = [&] {
                    rawUp.push_back(measure(player.pid(), [&] {
                        return runRaw(rawOwnThread, [&] {
                            return rawUpload(name83, uint32_t(bytes), rawTarget);
                        });
                    }));
                };
                inRoundOrder(libUpload, rawUploadRun);
                rawUpDropping.push_back(measure(player.pid(), [&] {
                    return runRaw(rawOwnThread,
                                  [&] { return rawUpload(name83, uint32_t(bytes), {}); });
                }));
                for (const fs::path &stored : {target, rawTarget}) {
                    std::ifstream check(stored, std::ios::binary);
                    const std::vector<uint8_t> back((std::istreambuf_iterator<char>(check)), {});
                    if (back != data) {
                        std::fprintf(stderr, "bench_transfer: %s differs from the file sent\n",
                                     stored.filename().c_str());
                        result = 1;
                    }
                }
                KSUSB_DeleteFileInMemory('M', "bench.bin");
                KSUSB_RefreshMemory('M');
                KSUSB_DeleteFileInMemory('M', "raw.bin");
                KSUSB_RefreshMemory('M');
            }
        } catch (const TransferFailed &) {
            failed = true;
        }
        if (failed) {
            result = 1;
        } else {
            report("download", libDown, rawDown, double(bytes), goals);
            report("upload", libUp, rawUp, double(bytes), goals);
            reportAgainstDropping(libUp, rawUpDropping, double(bytes));
            std::printf("load average at the end %s\n", loadAverage().c_str());
        }
    }
    fs::remove_all(work);
    return result;
}
