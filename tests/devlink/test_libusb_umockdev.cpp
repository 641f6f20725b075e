// The libusb back end on its real code path: umockdev emulates a usbfs device 1209:0001 whose
// URBs are answered by the virtual player's engine, so libusb's own enumeration, claiming,
// control and bulk transfers run unchanged. Runs under umockdev's preload library.
#include "engine.h"
#include "usb_descriptors.h"

#include "KestoUSB.h"
#include "library_state.h"
#include "libusb_backend.h"
#include "status.h"
#include "test_download_support.h"
#include "transport.h"

#include <gtest/gtest.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <linux/usbdevice_fs.h>
#include <list>
#include <mutex>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace ku = kestousb;

namespace {

constexpr const char *kDevNode = "/dev/bus/usb/001/002";

// umockdev's update takes a non-const pointer but only copies from it.
template <typename T>
guint8 *bytesOf(const T *p) {
    return const_cast<guint8 *>(reinterpret_cast<const guint8 *>(p));
}

// One URB the library submitted and has not reaped yet.
struct PendingUrb {
    UMockdevIoctlData *urb; // the client's struct usbdevfs_urb
    bool discarded = false;
    bool held = false; // kept pending by UsbfsDevice::holdBulkAfter
};

// Serves the usbfs ioctls of the emulated device from the player engine. Called on umockdev's
// listener thread.
class UsbfsDevice {
public:
    explicit UsbfsDevice(vplayer::Engine &engine) : m_engine(engine) {}

    gboolean handle(UMockdevIoctlClient *client) {
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            const uint32_t caps = 0;
            umockdev_ioctl_data_update(arg, 0, bytesOf(&caps), 4);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_DISCONNECT_CLAIM: // the claim libusb makes with auto-detach on
            if (claimedElsewhere()) {   // another process holds the interface
                umockdev_ioctl_client_complete(client, -1, EBUSY);
                return TRUE;
            }
            m_engine.hostReset(); // a new claim is a new connection to the player
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_RELEASEINTERFACE:
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESET:
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_GETDRIVER:
            umockdev_ioctl_client_complete(client, -1, ENODATA); // no kernel driver bound
            return TRUE;
        case USBDEVFS_SUBMITURB:
            return submit(client, arg);
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            return reap(client, arg);
        case USBDEVFS_DISCARDURB:
            return discard(client, arg);
        default:
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
        }
    }

    int submitted() const {
        std::lock_guard lock(m_mutex);
        return m_submitted;
    }

    // Lets `passing` more bulk URBs complete, then keeps every later one pending (a pipe the
    // player never serves) until the host discards it; -1 serves them all again.
    void holdBulkAfter(int passing) {
        std::lock_guard lock(m_mutex);
        m_holdAfter = passing;
    }
    // True while a bulk URB is kept pending by the hold.
    bool holdingBulk() const {
        std::lock_guard lock(m_mutex);
        return m_held > 0;
    }

    // The most bulk URBs of one direction pending at once since the last call, and how many
    // URBs the host discarded.
    struct InFlight {
        int mostOut = 0;
        int mostIn = 0;
        int discarded = 0;
        int pendingBulk = 0; // now
    };
    InFlight takeInFlight() {
        std::lock_guard lock(m_mutex);
        InFlight seen = m_inFlight;
        seen.pendingBulk = 0;
        for (const PendingUrb &p : m_pending)
            seen.pendingBulk +=
                reinterpret_cast<usbdevfs_urb *>(p.urb->data)->type == USBDEVFS_URB_TYPE_BULK;
        m_inFlight = {};
        return seen;
    }

    void setClaimedElsewhere(bool on) {
        std::lock_guard lock(m_mutex);
        m_claimedElsewhere = on;
    }

private:
    gboolean submit(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        GError *error = nullptr;
        UMockdevIoctlData *urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        if (!urb) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        std::lock_guard lock(m_mutex);
        ++m_submitted;
        m_pending.push_back({urb});
        const auto *u = reinterpret_cast<usbdevfs_urb *>(urb->data);
        if (u->type == USBDEVFS_URB_TYPE_BULK) {
            const bool in = u->endpoint & 0x80;
            const auto sameWay = std::count_if(m_pending.begin(), m_pending.end(), [&](auto &p) {
                const auto *other = reinterpret_cast<usbdevfs_urb *>(p.urb->data);
                return other->type == USBDEVFS_URB_TYPE_BULK && bool(other->endpoint & 0x80) == in;
            });
            int &most = in ? m_inFlight.mostIn : m_inFlight.mostOut;
            most = std::max(most, int(sameWay));
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }

    bool claimedElsewhere() const {
        std::lock_guard lock(m_mutex);
        return m_claimedElsewhere;
    }

    // Runs an URB against the engine; false while the engine has nothing for it yet.
    bool run(PendingUrb &p) {
        auto *u = reinterpret_cast<usbdevfs_urb *>(p.urb->data);
        int status = 0;
        size_t actual = 0;
        const bool bulk = u->type == USBDEVFS_URB_TYPE_BULK;
        if (bulk && !p.discarded && m_holdAfter == 0) {
            if (!p.held) {
                p.held = true;
                ++m_held;
            }
            return false;
        }
        if (p.held) {
            p.held = false;
            --m_held;
        }
        if (p.discarded) {
            status = -ENOENT;
        } else {
            GError *error = nullptr;
            UMockdevIoctlData *buffer =
                umockdev_ioctl_data_resolve(p.urb, offsetof(usbdevfs_urb, buffer),
                                            static_cast<gulong>(u->buffer_length), &error);
            if (!buffer) {
                g_clear_error(&error);
                status = -EFAULT;
            } else {
                std::vector<uint8_t> data(buffer->data, buffer->data + buffer->data_len);
                vplayer::UrbStatus result = vplayer::UrbStatus::Error;
                if (u->type == USBDEVFS_URB_TYPE_CONTROL && data.size() >= 8) {
                    vplayer::Setup setup{data[0], data[1],
                                         static_cast<uint16_t>(data[2] | data[3] << 8),
                                         static_cast<uint16_t>(data[4] | data[5] << 8),
                                         static_cast<uint16_t>(data[6] | data[7] << 8)};
                    std::span<uint8_t> payload(data.data() + 8, data.size() - 8);
                    result = m_engine.control(setup, payload, actual);
                    if (result == vplayer::UrbStatus::Ok)
                        actual = std::min(actual, payload.size()); // plus no setup bytes
                } else if (u->type == USBDEVFS_URB_TYPE_BULK && (u->endpoint & 0x80)) {
                    result = m_engine.bulkIn(data, actual);
                } else if (u->type == USBDEVFS_URB_TYPE_BULK) {
                    result = m_engine.bulkOut(data, actual);
                }
                if (result == vplayer::UrbStatus::Pending) {
                    g_object_unref(buffer);
                    return false;
                }
                status = result == vplayer::UrbStatus::Ok      ? 0
                         : result == vplayer::UrbStatus::Stall ? -EPIPE
                                                               : -EPROTO;
                if (status != 0)
                    actual = 0;
                umockdev_ioctl_data_update(buffer, 0, data.data(), static_cast<gint>(data.size()));
                g_object_unref(buffer);
            }
        }
        if (bulk && !p.discarded && m_holdAfter > 0)
            --m_holdAfter;
        const int actualLength = static_cast<int>(actual);
        umockdev_ioctl_data_update(p.urb, offsetof(usbdevfs_urb, status), bytesOf(&status),
                                   sizeof status);
        umockdev_ioctl_data_update(p.urb, offsetof(usbdevfs_urb, actual_length),
                                   bytesOf(&actualLength), sizeof actualLength);
        return true;
    }

    gboolean reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        std::lock_guard lock(m_mutex);
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (!run(*it))
                continue;
            // The argument points at the client's "void *" that receives the URB's address.
            UMockdevIoctlData *slot =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
            if (slot) {
                umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
                g_object_unref(slot);
            }
            g_object_unref(it->urb);
            m_pending.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return TRUE;
    }

    gboolean discard(UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
        std::lock_guard lock(m_mutex);
        // The argument is the URB's address in the client.
        gulong address = 0;
        std::memcpy(&address, arg->data,
                    std::min(sizeof address, static_cast<size_t>(arg->data_len)));
        for (PendingUrb &p : m_pending)
            if (p.urb->client_addr == address) {
                p.discarded = true;
                ++m_inFlight.discarded;
                m_engine.transferCancelled();
                umockdev_ioctl_client_complete(client, 0, 0);
                return TRUE;
            }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }

    vplayer::Engine &m_engine;
    mutable std::mutex m_mutex;
    std::list<PendingUrb> m_pending;
    int m_submitted = 0;
    int m_holdAfter = -1;
    int m_held = 0;
    InFlight m_inFlight;
    bool m_claimedElsewhere = false;
};

gboolean onIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    return static_cast<UsbfsDevice *>(self)->handle(client);
}

class LibusbUmockdev : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(engine.ok()) << engine.loadError();
        testbed = umockdev_testbed_new();
        ASSERT_TRUE(umockdev_in_mock_environment())
            << "run under umockdev-wrapper (LD_PRELOAD=libumockdev-preload.so)";
        handler = UMOCKDEV_IOCTL_BASE(g_object_new(UMOCKDEV_TYPE_IOCTL_BASE, nullptr));
        g_signal_connect(handler, "handle-ioctl", G_CALLBACK(onIoctl), &device);
        GError *error = nullptr;
        // The handler first, so that the device can be opened as soon as it appears.
        ASSERT_TRUE(umockdev_testbed_attach_ioctl(testbed, kDevNode, handler, &error))
            << (error ? error->message : "");
        // A device record ("N:" makes umockdev create the device node file).
        std::vector<uint8_t> descriptors = vplayer::usb::deviceDescriptor();
        const std::vector<uint8_t> config = vplayer::usb::configDescriptor();
        descriptors.insert(descriptors.end(), config.begin(), config.end());
        std::string hex;
        for (uint8_t b : descriptors) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", b);
            hex += two;
        }
        const std::string record = "P: /devices/usb1/1-1\n"
                                   "N: bus/usb/001/002\n"
                                   "E: SUBSYSTEM=usb\n"
                                   "E: DEVNAME=/dev/bus/usb/001/002\n"
                                   "E: DEVTYPE=usb_device\n"
                                   "E: BUSNUM=001\n"
                                   "E: DEVNUM=002\n"
                                   "A: busnum=1\\n\n"
                                   "A: devnum=2\\n\n"
                                   "A: speed=480\\n\n"
                                   "A: bConfigurationValue=1\\n\n"
                                   "A: devpath=1\\n\n"
                                   "H: descriptors=" +
                                   hex + "\n";
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
            << (error ? error->message : "");
        ku::resetLibraryForTesting({.backends = {&backend}});
        ku::setLastErrorCode(0);
    }
    void TearDown() override {
        device.holdBulkAfter(-1);
        ku::waitTransferIdle(20000);
        ku::closePipes();
        ku::resetLibraryForTesting();
        if (testbed) {
            umockdev_testbed_detach_ioctl(testbed, kDevNode, nullptr);
            g_object_unref(handler);
            g_object_unref(testbed);
        }
    }

    // The player's state folder, removed after the engine that uses it is gone.
    struct StateDir {
        std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("umockdev-player-" + std::to_string(::getpid()));
        StateDir() { std::filesystem::create_directories(path); }
        ~StateDir() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } stateDir;
    vplayer::Engine engine{stateDir.path};
    UsbfsDevice device{engine};
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    ku::LibusbBackend backend;
};

TEST_F(LibusbUmockdev, FindsThePlayerAndReadsItsStatus) {
    const auto paths = backend.enumerate();
    ASSERT_EQ(paths, std::vector<std::string>{"usb:1-1"});
    ASSERT_EQ(KSUSB_CheckConnect(), 1) << KSUSB_GetLastError();
    char path[256];
    GetDevicePID(path);
    EXPECT_STREQ(path, "usb:1-1");
    EXPECT_EQ(InvokePlayer(), 0x00);
    ASSERT_EQ(GetPlayerVersion(), 1);
    ASSERT_EQ(KSUSB_GetPlayerStatus(), 1);
    KSPlayerStatus status{};
    GetPlayerInfo(&status);
    EXPECT_EQ(std::string(status.model).substr(0, 5), "QN520");
    EXPECT_STREQ(status.date, "20050718");
    EXPECT_GT(device.submitted(), 6);
}

TEST_F(LibusbUmockdev, UnplugFailsTheProbeAndThePipes) {
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    engine.setPlugged(false);
    EXPECT_FALSE(ku::probeLink());
    EXPECT_EQ(KSUSB_GetLastError(), -45);
    // The device node is still there, but a player that does not answer does not open.
    EXPECT_EQ(InvokePlayer(), 0);
    EXPECT_EQ(KSUSB_GetLastError(), -40);
    engine.setPlugged(true);
    EXPECT_EQ(KSUSB_CheckConnect(), 1);
    EXPECT_EQ(GetPlayerVersion(), 1);
}

TEST_F(LibusbUmockdev, CardOutIsSeenThroughLibusb) {
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    engine.setCardPresent(false);
    EXPECT_EQ(InvokePlayer() & KSUSB_FLAG_NO_CARD, KSUSB_FLAG_NO_CARD);
    EXPECT_EQ(KSUSB_CheckMemory('S'), 0);
}

// Another program has claimed the player's interface: the open fails with -40 as for no
// player, and the library says that the player is there but in use. A player that is gone is
// not "in use".
struct OpenRow {
    const char *name;
    bool claimedElsewhere;
    bool plugged;
    int connected;
    int inUse;
};

void PrintTo(const OpenRow &row, std::ostream *os) {
    *os << row.name;
}

class LibusbUmockdevOpen : public LibusbUmockdev, public ::testing::WithParamInterface<OpenRow> {};

TEST_P(LibusbUmockdevOpen, TellsAPlayerInUseFromNoPlayer) {
    const OpenRow &row = GetParam();
    device.setClaimedElsewhere(row.claimedElsewhere);
    engine.setPlugged(row.plugged);
    EXPECT_EQ(KSUSB_CheckConnect(), row.connected);
    EXPECT_EQ(KSUSB_PlayerInUse(), row.inUse);
    if (!row.connected) {
        EXPECT_EQ(KSUSB_GetLastError(), -40);
    }
    // Once the other program lets go, the next call opens and the flag clears.
    device.setClaimedElsewhere(false);
    engine.setPlugged(true);
    EXPECT_EQ(KSUSB_CheckConnect(), 1);
    EXPECT_EQ(KSUSB_PlayerInUse(), 0);
}

INSTANTIATE_TEST_SUITE_P(Open, LibusbUmockdevOpen,
                         ::testing::Values(OpenRow{"Free", false, true, 1, 0},
                                           OpenRow{"ClaimedByAnotherProgram", true, true, 0, 1},
                                           OpenRow{"Unplugged", false, false, 0, 0}),
                         [](const auto &row) { return std::string(row.param.name); });

// KSUSB_Stop while the worker is blocked inside a bulk transfer the player never serves: the
// transfer is cancelled before its handle is closed, the worker reports the stop, and the next
// call works on the new connection. Many rounds, so that a race between the two threads shows
// (the sanitizer build runs this too).
enum class Direction { Upload, Download };
struct StopRow {
    const char *name;
    Direction direction;
};

void PrintTo(const StopRow &row, std::ostream *os) {
    *os << row.name;
}

class LibusbUmockdevStop : public LibusbUmockdev, public ::testing::WithParamInterface<StopRow> {};

TEST_P(LibusbUmockdevStop, StopDuringABlockedTransferThenTheNextCallWorks) {
    constexpr int kRounds = 100;
    constexpr int kAnnounceUrbs = 2; // the announcement's command and reply
    ku::test::ScratchDir dir;
    const std::string source = dir.write("song.bin", ku::test::pattern(64 * 1024));
    // The sleep of KSUSB_Stop only gives a worker time to leave on its own; this one cannot.
    ku::TestInjection noPause = ku::library().injected();
    noPause.sleep = [](std::chrono::milliseconds) {};
    ku::library().inject(noPause);
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    if (GetParam().direction == Direction::Upload) {
        ku::test::Recorder put;
        ASSERT_EQ(KSUSB_Download('M', source.c_str(), &put, 0), 1) << KSUSB_GetLastError();
        ASSERT_EQ(put.waitEnd().back().first, KSUSB_XFER_DONE);
        ASSERT_EQ(KSUSB_RefreshMemory('M'), 1);
    }
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ku::test::Recorder notes;
        device.holdBulkAfter(kAnnounceUrbs + 1); // one data block goes through, then none
        int started = 0;
        if (GetParam().direction == Direction::Upload) {
            const std::string target = (dir.path() / "back.bin").string();
            started = KSUSB_Upload('M', "song.bin", target.c_str(), &notes, 0);
        } else {
            const std::string copy = dir.write("copy" + std::to_string(round) + ".bin",
                                               ku::test::pattern(64 * 1024, uint8_t(round)));
            started = KSUSB_Download('M', copy.c_str(), &notes, 0);
        }
        ASSERT_EQ(started, 1) << KSUSB_GetLastError();
        for (int i = 0; i < 2000 && !device.holdingBulk(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(device.holdingBulk()) << "the worker never blocked";
        EXPECT_EQ(KSUSB_Stop(), 1);
        device.holdBulkAfter(-1);
        const ku::test::Notes got = notes.waitEnd();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), ku::test::Note(KSUSB_XFER_FAILED, KSUSB_ERR_STOPPED));
        // The blocks asked for or sent ahead were cancelled and collected with the old handle.
        EXPECT_EQ(device.takeInFlight().pendingBulk, 0);
        ASSERT_EQ(GetPlayerVersion(), 1) << KSUSB_GetLastError();
        ASSERT_EQ(InvokePlayer() & KSUSB_FLAG_NOT_CONNECTED, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Stop, LibusbUmockdevStop,
                         ::testing::Values(StopRow{"Upload", Direction::Upload},
                                           StopRow{"Download", Direction::Download}),
                         [](const auto &row) { return std::string(row.param.name); });

// A file down to the player and back up, with `depth` blocks in flight: every byte arrives in
// order, and the emulated device sees exactly that many bulk transfers pending at once in each
// direction. A short block from the player (a short packet) is followed by the rest.
struct StreamRow {
    const char *name;
    size_t depth;
    size_t bytes;
    bool shortUploadBlock;
};

void PrintTo(const StreamRow &row, std::ostream *os) {
    *os << row.name;
}

class LibusbUmockdevStream : public LibusbUmockdev,
                             public ::testing::WithParamInterface<StreamRow> {};

TEST_P(LibusbUmockdevStream, BlocksMoveInOrderWithTheDepthInFlight) {
    const StreamRow &row = GetParam();
    ku::TestInjection depth = ku::library().injected();
    depth.transferDepth = row.depth;
    ku::library().inject(depth);
    ku::test::ScratchDir dir;
    const std::vector<uint8_t> bytes = ku::test::pattern(row.bytes);
    const std::string source = dir.write("song.bin", bytes);
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    device.takeInFlight();

    ku::test::Recorder put;
    ASSERT_EQ(KSUSB_Download('M', source.c_str(), &put, 0), 1) << KSUSB_GetLastError();
    ASSERT_EQ(put.waitEnd().back(), ku::test::Note(KSUSB_XFER_DONE, long(row.bytes)));
    EXPECT_EQ(device.takeInFlight().mostOut, int(row.depth));
    ASSERT_EQ(KSUSB_RefreshMemory('M'), 1);

    if (row.shortUploadBlock)
        engine.injectFault(vplayer::Fault::ShortBlock, 0);
    const std::string target = (dir.path() / "back.bin").string();
    ku::test::Recorder get;
    ASSERT_EQ(KSUSB_Upload('M', "song.bin", target.c_str(), &get, 0), 1) << KSUSB_GetLastError();
    ASSERT_EQ(get.waitEnd().back(), ku::test::Note(KSUSB_XFER_DONE, long(row.bytes)));
    EXPECT_EQ(device.takeInFlight().mostIn, int(row.depth));
    EXPECT_EQ(ku::test::ScratchDir::read(target), bytes);
}

INSTANTIATE_TEST_SUITE_P(Stream, LibusbUmockdevStream,
                         ::testing::Values(StreamRow{"OneAtATime", 1, 100000, false},
                                           StreamRow{"TwoInFlight", 2, 100000, false},
                                           StreamRow{"ThreeInFlight", 3, 5 * 16384, false},
                                           StreamRow{"ShortBlockFromThePlayer", 2, 100000, true}),
                         [](const auto &row) { return std::string(row.param.name); });

// The player stops answering in the middle of a stream: the block it holds fails after the pipe
// time-out, the block already in flight behind it is cancelled, the transfer fails with -44 and
// the next call works on a new connection.
class LibusbUmockdevLost : public LibusbUmockdev, public ::testing::WithParamInterface<StopRow> {};

TEST_P(LibusbUmockdevLost, AReplyLostMidStreamFailsTheTransfer) {
    constexpr int kAnnounceUrbs = 2;
    ku::TestInjection shortPipe = ku::library().injected();
    shortPipe.usbPipeLimit = std::chrono::milliseconds(300);
    ku::library().inject(shortPipe);
    ku::test::ScratchDir dir;
    const std::string source = dir.write("song.bin", ku::test::pattern(8 * 16384));
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    ku::test::Recorder notes;
    if (GetParam().direction == Direction::Upload) {
        ku::test::Recorder put;
        ASSERT_EQ(KSUSB_Download('M', source.c_str(), &put, 0), 1) << KSUSB_GetLastError();
        ASSERT_EQ(put.waitEnd().back().first, KSUSB_XFER_DONE);
        ASSERT_EQ(KSUSB_RefreshMemory('M'), 1);
        device.takeInFlight();
        device.holdBulkAfter(kAnnounceUrbs + 2); // two blocks arrive, then nothing
        const std::string target = (dir.path() / "back.bin").string();
        ASSERT_EQ(KSUSB_Upload('M', "song.bin", target.c_str(), &notes, 0), 1);
    } else {
        device.takeInFlight();
        device.holdBulkAfter(kAnnounceUrbs + 2);
        ASSERT_EQ(KSUSB_Download('M', source.c_str(), &notes, 0), 1);
    }
    const ku::test::Notes got = notes.waitEnd();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), ku::test::Note(KSUSB_XFER_FAILED, KSUSB_ERR_INCOMPLETE));
    EXPECT_EQ(got[got.size() - 2], ku::test::Note(KSUSB_XFER_PROGRESS, 2 * 16384))
        << "the blocks before the lost one were reported, none after it";
    const auto inFlight = device.takeInFlight();
    EXPECT_EQ(inFlight.discarded, 2) << "the lost block and the one behind it";
    EXPECT_EQ(inFlight.pendingBulk, 0);
    device.holdBulkAfter(-1);
    EXPECT_EQ(GetPlayerVersion(), 1) << KSUSB_GetLastError();
}

INSTANTIATE_TEST_SUITE_P(Lost, LibusbUmockdevLost,
                         ::testing::Values(StopRow{"Upload", Direction::Upload},
                                           StopRow{"Download", Direction::Download}),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
