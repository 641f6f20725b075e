// The USB/IP server over loopback with a raw client: the device list bytes, imports, submits for
// control and bulk endpoints, pending transfers and unlinking, bad input, drops and unplugging.
#include "host_side.h"
#include "usbip_client.h"
#include "usbip_server.h"

#include <gtest/gtest.h>

#include <thread>

using namespace usbiptest;
using hosttest::StateDir;
using vplayer::Engine;
using vplayer::UsbipServer;

namespace {

constexpr size_t kDeviceBytes = 312;

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        engine = std::make_unique<Engine>(dir.path());
        ASSERT_TRUE(engine->ok());
        server = std::make_unique<UsbipServer>(*engine);
        std::string error;
        ASSERT_TRUE(server->listen("127.0.0.1", 0, error)) << error;
        engine->setPlugListener([this](bool plugged) {
            if (!plugged)
                server->dropImported();
        });
        server->start();
    }
    void TearDown() override {
        engine->setPlugListener({});
        server->stop();
    }

    // Imports bus id 1-1; the connection, or nullptr when the server refused.
    std::unique_ptr<Socket> import(const std::string &busId = "1-1") {
        auto s = std::make_unique<Socket>(server->port());
        EXPECT_TRUE(s->send(importRequest(busId)));
        const auto head = s->recv(8);
        if (!head)
            return nullptr;
        EXPECT_EQ(readBe16(*head, 0), 0x0111);
        EXPECT_EQ(readBe16(*head, 2), 0x0003);
        if (readBe32(*head, 4) != 0)
            return nullptr;
        const auto device = s->recv(kDeviceBytes);
        EXPECT_TRUE(device.has_value());
        return s;
    }

    // Imports again until the server has noticed that the previous connection went away.
    std::unique_ptr<Socket> importWhenFree() {
        for (int attempt = 0; attempt < 500; ++attempt) {
            if (auto s = import())
                return s;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return nullptr;
    }

    std::optional<Ret> poll(Socket &s, uint32_t seq, uint8_t phase) {
        Submit sub;
        sub.seqnum = seq;
        sub.direction = 1;
        sub.length = 1;
        const uint8_t setup[8] = {0xC0, phase, 0, 0, 0, 0, 1, 0};
        std::memcpy(sub.setup, setup, 8);
        s.send(submitRequest(sub));
        return readRet(s, true);
    }

    std::optional<Ret> bulkOut(Socket &s, uint32_t seq, const Bytes &data) {
        Submit sub;
        sub.seqnum = seq;
        sub.ep = 1;
        sub.length = static_cast<uint32_t>(data.size());
        sub.data = data;
        s.send(submitRequest(sub));
        return readRet(s, false);
    }

    void submitBulkIn(Socket &s, uint32_t seq, uint32_t length) {
        Submit sub;
        sub.seqnum = seq;
        sub.direction = 1;
        sub.ep = 2;
        sub.length = length;
        s.send(submitRequest(sub));
    }

    StateDir dir;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<UsbipServer> server;
};

// Byte by byte: g++ 12 at -O2 warns falsely about insert() of a braced list.
void append(Bytes &v, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes)
        v.push_back(b);
}

Bytes fixed(const std::string &text, size_t bytes) {
    Bytes b(text.begin(), text.end());
    b.resize(bytes, 0);
    return b;
}

TEST_F(Server, DeviceListBytes) {
    Socket s(server->port());
    ASSERT_TRUE(s.send(opRequest(0x8005)));
    const auto reply = s.recv(12 + kDeviceBytes + 4);
    ASSERT_TRUE(reply);
    Bytes expected;
    be16(expected, 0x0111);
    be16(expected, 0x0005);
    be32(expected, 0);
    be32(expected, 1);
    const Bytes path = fixed("/sys/devices/vplayer/1-1", 256);
    expected.insert(expected.end(), path.begin(), path.end());
    const Bytes busId = fixed("1-1", 32);
    expected.insert(expected.end(), busId.begin(), busId.end());
    be32(expected, 1);      // bus
    be32(expected, 2);      // device
    be32(expected, 3);      // high speed
    be16(expected, 0x1209); // vendor
    be16(expected, 0x0001); // product
    be16(expected, 0x0100); // bcdDevice
    append(expected, {0, 0, 0, 1, 1, 1, 0xFF, 0, 0, 0});
    EXPECT_EQ(*reply, expected);
    EXPECT_TRUE(s.closedByPeer());
}

TEST_F(Server, ImportedDeviceAnswersPollsAndCommands) {
    auto s = import();
    ASSERT_TRUE(s);
    EXPECT_TRUE(server->imported());
    const auto ready = poll(*s, 1, 10);
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->command, 3u);
    EXPECT_EQ(ready->seqnum, 1u);
    EXPECT_EQ(ready->status, 0);
    EXPECT_EQ(ready->data, Bytes{0x40});

    const auto out = bulkOut(*s, 2, hosttest::frame({'I'}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->status, 0);
    EXPECT_EQ(out->actual, 64u);
    submitBulkIn(*s, 3, 64);
    const auto in = readRet(*s, true);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->seqnum, 3u);
    ASSERT_EQ(in->data.size(), 64u);
    EXPECT_EQ(in->data[4], 0x00);
    EXPECT_EQ(in->data[5], '.');
}

TEST_F(Server, PendingReadCompletesWhenTheReplyExists) {
    auto s = import();
    ASSERT_TRUE(s);
    submitBulkIn(*s, 5, 64); // before the command: nothing to read yet
    const auto out = bulkOut(*s, 6, hosttest::frame({'Y'}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->seqnum, 6u);
    const auto in = readRet(*s, true);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->seqnum, 5u);
    ASSERT_EQ(in->data.size(), 64u);
    EXPECT_EQ(in->data[36], '.');
}

TEST_F(Server, PendingReadCanBeUnlinked) {
    auto s = import();
    ASSERT_TRUE(s);
    submitBulkIn(*s, 7, 64);
    ASSERT_TRUE(s->send(unlinkRequest(8, 7)));
    const auto un = readRet(*s, false);
    ASSERT_TRUE(un);
    EXPECT_EQ(un->command, 4u);
    EXPECT_EQ(un->seqnum, 8u);
    EXPECT_EQ(un->status, -ECONNRESET);
    // Unlinking what is not pending answers 0.
    ASSERT_TRUE(s->send(unlinkRequest(9, 7)));
    const auto again = readRet(*s, false);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 0);
    // The unlinked read never completes: the next reply goes to the next read.
    ASSERT_TRUE(bulkOut(*s, 10, hosttest::frame({'I'})));
    submitBulkIn(*s, 11, 64);
    const auto in = readRet(*s, true);
    ASSERT_TRUE(in);
    EXPECT_EQ(in->seqnum, 11u);
}

TEST_F(Server, StalledPipeRecoversAfterUnlink) {
    auto s = import();
    ASSERT_TRUE(s);
    engine->injectFault(vplayer::Fault::Stall, 1);
    Submit sub;
    sub.seqnum = 20;
    sub.ep = 1;
    sub.length = 64;
    sub.data = hosttest::frame({'I'});
    s->send(submitRequest(sub));
    ASSERT_TRUE(s->send(unlinkRequest(21, 20)));
    const auto un = readRet(*s, false);
    ASSERT_TRUE(un);
    EXPECT_EQ(un->command, 4u);
    EXPECT_EQ(un->status, -ECONNRESET);
    const auto out = bulkOut(*s, 22, hosttest::frame({'I'}));
    ASSERT_TRUE(out);
    EXPECT_EQ(out->status, 0);
}

struct BadSubmitCase {
    const char *name;
    Submit submit;
    int32_t status; // 1: the connection is dropped
};

class BadSubmits : public Server, public ::testing::WithParamInterface<BadSubmitCase> {};

Submit make(uint32_t direction, uint32_t ep, uint32_t length, uint32_t devid = 0x00010002,
            std::initializer_list<uint8_t> setup = {}, uint32_t iso = 0) {
    Submit s;
    s.direction = direction;
    s.ep = ep;
    s.length = length;
    s.devid = devid;
    s.isoPackets = iso;
    std::copy(setup.begin(), setup.end(), s.setup);
    if (direction == 0 && length <= 4096)
        s.data.assign(length, 0);
    if (iso > 0 && iso < 1000)
        s.data.insert(s.data.end(), iso * 16, 0); // the packet descriptors follow the data
    return s;
}

TEST_P(BadSubmits, FailOrDropTheConnection) {
    auto s = import();
    ASSERT_TRUE(s);
    ASSERT_TRUE(s->send(submitRequest(GetParam().submit)));
    if (GetParam().status == 1) {
        EXPECT_TRUE(s->closedByPeer());
        EXPECT_TRUE(importWhenFree()); // the device is free again
        return;
    }
    const auto ret = readRet(*s, GetParam().submit.direction == 1);
    ASSERT_TRUE(ret);
    EXPECT_EQ(ret->status, GetParam().status);
    EXPECT_EQ(ret->actual, 0u);
    // The connection still works.
    const auto ok = poll(*s, 99, 10);
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    All, BadSubmits,
    ::testing::Values(
        BadSubmitCase{"unknownEndpoint", make(1, 3, 64), -EPIPE},
        BadSubmitCase{"inOnTheOutEndpoint", make(1, 1, 64), -EPIPE},
        BadSubmitCase{"outOnTheInEndpoint", make(0, 2, 64), -EPIPE},
        BadSubmitCase{"wrongDevice", make(1, 2, 64, 0x00020003), -ENODEV},
        BadSubmitCase{"controlDirectionMismatch",
                      make(0, 0, 1, 0x00010002, {0xC0, 10, 0, 0, 0, 0, 1, 0}), -EINVAL},
        BadSubmitCase{"unknownStandardRequest",
                      make(1, 0, 4, 0x00010002, {0x80, 0x33, 0, 0, 0, 0, 4, 0}), -EPIPE},
        BadSubmitCase{"isochronousPackets", make(0, 1, 0, 0x00010002, {}, 2), -EINVAL},
        BadSubmitCase{"hugeLength", make(1, 2, 0x7FFFFFFF), 1},
        BadSubmitCase{"badDirection", make(7, 2, 64), 1},
        BadSubmitCase{"tooManyIsoPackets", make(0, 1, 0, 0x00010002, {}, 100000), 1}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST_F(Server, UnknownCommandDropsTheConnection) {
    auto s = import();
    ASSERT_TRUE(s);
    Bytes junk(48, 0);
    junk[3] = 9;
    ASSERT_TRUE(s->send(junk));
    EXPECT_TRUE(s->closedByPeer());
}

struct ImportRefusalCase {
    const char *name;
    std::string busId;
    bool holdOther;
    bool unplugged;
};

class ImportRefusals : public Server, public ::testing::WithParamInterface<ImportRefusalCase> {};

TEST_P(ImportRefusals, AnswerStatusOne) {
    std::unique_ptr<Socket> other;
    if (GetParam().holdOther) {
        other = import();
        ASSERT_TRUE(other);
    }
    if (GetParam().unplugged)
        engine->setPlugged(false);
    EXPECT_FALSE(import(GetParam().busId));
}

INSTANTIATE_TEST_SUITE_P(All, ImportRefusals,
                         ::testing::Values(ImportRefusalCase{"wrongBusId", "2-1", false, false},
                                           ImportRefusalCase{"emptyBusId", "", false, false},
                                           ImportRefusalCase{"alreadyImported", "1-1", true, false},
                                           ImportRefusalCase{"unplugged", "1-1", false, true}),
                         [](const auto &tpi) { return std::string(tpi.param.name); });

TEST_F(Server, DroppedConnectionFreesTheDevice) {
    auto first = import();
    ASSERT_TRUE(first);
    first->close();
    EXPECT_TRUE(importWhenFree());
}

TEST_F(Server, UnplugDropsTheImportAndEmptiesTheList) {
    auto s = import();
    ASSERT_TRUE(s);
    engine->setPlugged(false);
    EXPECT_TRUE(s->closedByPeer());
    Socket list(server->port());
    list.send(opRequest(0x8005));
    const auto reply = list.recv(12);
    ASSERT_TRUE(reply);
    EXPECT_EQ(readBe32(*reply, 8), 0u);
    EXPECT_TRUE(list.closedByPeer());
    engine->setPlugged(true);
    EXPECT_TRUE(importWhenFree());
}

TEST_F(Server, UnplugMidTransferFailsTheTransferAndDrops) {
    auto s = import();
    ASSERT_TRUE(s);
    const Bytes body = {'M',  0x90, 0x17, 0x02, 0x20, 0,   0,   0,   0,   0, 0, 0x80,
                        0x00, 0x32, 0,    5,    'A',  '.', 'M', 'P', '3', 0, 0};
    ASSERT_TRUE(bulkOut(*s, 1, hosttest::frame(body)));
    submitBulkIn(*s, 2, 64);
    const auto verdict = readRet(*s, true);
    ASSERT_TRUE(verdict);
    ASSERT_EQ(verdict->data.at(4), 0);
    engine->injectFault(vplayer::Fault::UnplugAfter, 16384);
    const auto first = bulkOut(*s, 3, Bytes(16384, 1));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status, 0);
    const auto second = bulkOut(*s, 4, Bytes(16384, 1));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status, -ESHUTDOWN);
    EXPECT_TRUE(s->closedByPeer());
    EXPECT_FALSE(engine->plugged());
}

} // namespace
