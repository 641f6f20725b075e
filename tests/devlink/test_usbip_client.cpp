// The USB/IP client on its own: parsing of server lists, paths, ids and configuration
// descriptors, and its behaviour against a stub server that lies, drops or never answers.
#include "usbip_stub_server.h"

#include "device_ids.h"
#include "library_state.h"
#include "usbip_backend.h"

#include <gtest/gtest.h>

#include <ostream>

#include <optional>
#include <thread>

using kestousb::test::Raw;
using kestousb::test::retSubmit;
using kestousb::test::StubServer;
using kestousb::test::Urb;
namespace ku = kestousb;

namespace {

// ---- server lists ---------------------------------------------------------------------------

struct ServersCase {
    const char *name;
    const char *text;
    std::vector<ku::UsbipServer> expected;
};
// Test names and failure messages show the row by its name.
void PrintTo(const ServersCase &row, std::ostream *os) {
    *os << row.name;
}
class ServerLists : public ::testing::TestWithParam<ServersCase> {};
TEST_P(ServerLists, Parse) {
    EXPECT_EQ(ku::parseUsbipServers(GetParam().text), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(
    Texts, ServerLists,
    ::testing::Values(
        ServersCase{"HostOnly", "10.0.0.5", {{"10.0.0.5", 3240}}},
        ServersCase{"HostAndPort", "127.0.0.1:4000", {{"127.0.0.1", 4000}}},
        ServersCase{"Several", "a:1, b ,c:65535", {{"a", 1}, {"b", 3240}, {"c", 65535}}},
        ServersCase{"Ipv6", "[::1]:5000,[fe80::2]", {{"::1", 5000}, {"fe80::2", 3240}}},
        ServersCase{"BadPortsSkipped", "a:0,b:65536,c:x,d:12y,:5,e:7", {{"e", 7}}},
        ServersCase{"Empty", "", {}}, ServersCase{"OnlyCommas", ",,", {}},
        // An IPv6 address only in brackets; a host of other characters is no host.
        ServersCase{"BareIpv6Refused", "::1,fe80::2:99,ok", {{"ok", 3240}}},
        ServersCase{"ControlCharsRefused", "\x18::1]:4000,a b:1,c]:2,[d/e]:3", {}},
        ServersCase{"ScopedIpv6", "[fe80::1%eth0]:9", {{"fe80::1%eth0", 9}}},
        ServersCase{"BracketsWithoutIpv6Refused", "[%%1]:4,[host]:5", {}}),
    [](const auto &row) { return std::string(row.param.name); });

// ---- paths ----------------------------------------------------------------------------------

struct PathCase {
    const char *name;
    const char *text;
    bool valid;
};
// Test names and failure messages show the row by its name.
void PrintTo(const PathCase &row, std::ostream *os) {
    *os << row.name;
}
class UsbipPaths : public ::testing::TestWithParam<PathCase> {};
TEST_P(UsbipPaths, ParseAndRoundTrip) {
    const auto parsed = ku::parseUsbipPath(GetParam().text);
    ASSERT_EQ(parsed.has_value(), GetParam().valid);
    if (parsed) {
        EXPECT_EQ(ku::formatUsbipPath(*parsed), GetParam().text);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Texts, UsbipPaths,
    ::testing::Values(PathCase{"Plain", "usbip://127.0.0.1:3240/1-1", true},
                      PathCase{"Ipv6", "usbip://[::1]:3240/3-1.2", true},
                      PathCase{"NoScheme", "usb:1-1", false},
                      PathCase{"NoBusId", "usbip://h:1/", false},
                      PathCase{"SlashInBusId", "usbip://h:1/a/b", false},
                      PathCase{"SpaceInBusId", "usbip://h:1/a b", false},
                      PathCase{"StrayBracketHost", "usbip://\x18::1]:4000/2-1.3", false},
                      PathCase{"BusIdTooLong", "usbip://h:1/0123456789012345678901234567890123",
                               false}),
    [](const auto &row) { return std::string(row.param.name); });

// ---- id list --------------------------------------------------------------------------------

TEST(UsbIds, ParseSkipsMalformedEntries) {
    EXPECT_EQ(ku::parseUsbIds("abcd:0001, 12:FFFF"),
              (std::vector<ku::UsbId>{{0xABCD, 0x0001}, {0x0012, 0xFFFF}}));
    EXPECT_TRUE(ku::parseUsbIds("abcd,1:2:3,xyz:1,12345:1,:1").empty());
    ::setenv("KESTOUSB_USB_IDS", "dead:beef", 1);
    EXPECT_TRUE(ku::isPlayerId(0xDEAD, 0xBEEF));
    EXPECT_TRUE(ku::isPlayerId(0x1209, 0x0001));
    ::unsetenv("KESTOUSB_USB_IDS");
    EXPECT_FALSE(ku::isPlayerId(0xDEAD, 0xBEEF));
}

// ---- configuration descriptors --------------------------------------------------------------

struct ConfigCase {
    const char *name;
    Raw bytes;
    std::optional<ku::PlayerEndpoints> expected;
};
// Test names and failure messages show the row by its name.
void PrintTo(const ConfigCase &row, std::ostream *os) {
    *os << row.name;
}
class ConfigDescriptors : public ::testing::TestWithParam<ConfigCase> {};
TEST_P(ConfigDescriptors, FindTheVendorInterfacesBulkPair) {
    const auto found = ku::findPlayerEndpoints(GetParam().bytes);
    ASSERT_EQ(found.has_value(), GetParam().expected.has_value());
    if (found) {
        EXPECT_EQ(found->interfaceNumber, GetParam().expected->interfaceNumber);
        EXPECT_EQ(found->bulkOut, GetParam().expected->bulkOut);
        EXPECT_EQ(found->bulkIn, GetParam().expected->bulkIn);
    }
}
const Raw kConfigHead = {9, 2, 0, 0, 2, 1, 0, 0x80, 50};
Raw concat(std::initializer_list<Raw> parts) {
    Raw out;
    for (const Raw &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Raw iface(uint8_t number, uint8_t cls) {
    return {9, 4, number, 0, 2, cls, 0, 0, 0};
}
Raw endpoint(uint8_t address, uint8_t type) {
    return {7, 5, address, type, 0, 2, 0};
}
INSTANTIATE_TEST_SUITE_P(
    Descriptors, ConfigDescriptors,
    ::testing::Values(
        ConfigCase{"Player",
                   concat({kConfigHead, iface(0, 0xFF), endpoint(0x01, 2), endpoint(0x82, 2)}),
                   ku::PlayerEndpoints{0, 0x01, 0x82}},
        ConfigCase{"SecondInterface",
                   concat({kConfigHead, iface(0, 0x08), endpoint(0x03, 2), endpoint(0x84, 2),
                           iface(1, 0xFF), endpoint(0x05, 2), endpoint(0x86, 2)}),
                   ku::PlayerEndpoints{1, 0x05, 0x86}},
        ConfigCase{"InterruptIsNotBulk",
                   concat({kConfigHead, iface(0, 0xFF), endpoint(0x01, 3), endpoint(0x82, 2)}),
                   std::nullopt},
        ConfigCase{"NoVendorInterface",
                   concat({kConfigHead, iface(0, 0x08), endpoint(0x01, 2), endpoint(0x82, 2)}),
                   std::nullopt},
        // A length byte that runs past the end stops the walk before the endpoint.
        ConfigCase{"TruncatedEndpoint",
                   concat({kConfigHead, iface(0, 0xFF), endpoint(0x01, 2), Raw{7, 5, 0x82}}),
                   std::nullopt},
        ConfigCase{"ZeroLength", concat({kConfigHead, Raw{0, 4, 0, 0}}), std::nullopt},
        ConfigCase{"Empty", Raw{}, std::nullopt}),
    [](const auto &row) { return std::string(row.param.name); });

// ---- against the stub server ----------------------------------------------------------------

class UsbipClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(server.port(), 0);
        ku::resetLibraryForTesting(
            {.usbipLimits = {std::chrono::milliseconds(2000), std::chrono::milliseconds(1000),
                             std::chrono::milliseconds(1000)}});
    }
    void TearDown() override { ku::resetLibraryForTesting(); }
    std::string playerPath() const { return "usbip://" + server.address() + "/1-1"; }
    ku::UsbipBackend backend() const { return ku::UsbipBackend({{"127.0.0.1", server.port()}}); }

    StubServer server;
};

TEST_F(UsbipClient, EnumeratesOnlyPlayersWithAVendorInterface) {
    Raw list;
    kestousb::test::be16(list, 0x0111);
    kestousb::test::be16(list, 0x0005);
    kestousb::test::be32(list, 0);
    kestousb::test::be32(list, 3);
    auto add = [&](const char *bus, uint16_t vid, uint16_t pid, Raw classes) {
        const Raw dev = kestousb::test::deviceRecord(bus, vid, pid, uint8_t(classes.size()));
        list.insert(list.end(), dev.begin(), dev.end());
        for (uint8_t c : classes)
            list.insert(list.end(), {c, 0, 0, 0});
    };
    add("1-1", 0x1209, 0x0001, {0x08});       // right id, no vendor interface
    add("1-2", 0x1234, 0x0001, {0xFF});       // vendor interface, unknown id
    add("1-3", 0x1209, 0x0001, {0x03, 0xFF}); // the player
    server.setDevlistReply(list);
    auto b = backend();
    EXPECT_EQ(b.enumerate(), std::vector<std::string>{"usbip://" + server.address() + "/1-3"});
}

TEST_F(UsbipClient, AbsurdDeviceCountKeepsOnlyWholeRecords) {
    Raw list = StubServer::playerDevlist();
    list[8] = list[9] = list[10] = list[11] = 0xFF; // 4 billion devices, one sent
    server.setDevlistReply(list);
    auto b = backend();
    EXPECT_EQ(b.enumerate(), std::vector<std::string>{playerPath()});
}

TEST_F(UsbipClient, CutOffInterfaceListDropsThatDevice) {
    Raw list = StubServer::playerDevlist();
    list[12 + 311] = 200; // bNumInterfaces: 200 claimed, one sent
    server.setDevlistReply(list);
    auto b = backend();
    EXPECT_TRUE(b.enumerate().empty());
}

TEST_F(UsbipClient, WrongReplyCodeOrVersionFindsNothing) {
    for (size_t at : {size_t{1}, size_t{3}, size_t{7}}) {
        Raw list = StubServer::playerDevlist();
        list[at] ^= 0x01;
        server.setDevlistReply(list);
        auto b = backend();
        EXPECT_TRUE(b.enumerate().empty()) << "byte " << at;
    }
}

TEST_F(UsbipClient, RefusedConnectionFailsAtOnce) {
    ku::UsbipBackend nobody({{"127.0.0.1", 1}});
    EXPECT_TRUE(nobody.enumerate().empty());
    EXPECT_EQ(nobody.open("usbip://127.0.0.1:1/1-1"), nullptr);
}

TEST_F(UsbipClient, ImportRefusedOrOfAnotherDeviceDoesNotOpen) {
    Raw refused = StubServer::playerImport();
    refused[7] = 1; // status
    server.setImportReply(refused);
    auto b = backend();
    EXPECT_EQ(b.open(playerPath()), nullptr);
    Raw other = StubServer::playerImport();
    other[8 + 256] = '9'; // bus id "9-1"
    server.setImportReply(other);
    EXPECT_EQ(b.open(playerPath()), nullptr);
}

// Right after our own close the server may still hold the device for a moment and answer the
// import as busy; the reconnect that follows a failed transfer must not give up on that.
TEST_F(UsbipClient, ImportRefusedForAMomentIsTriedAgain) {
    server.refuseImports(2);
    auto b = backend();
    EXPECT_NE(b.open(playerPath()), nullptr);
    EXPECT_EQ(server.importRequests(), 3);
}

TEST_F(UsbipClient, ImportRefusedForLongerThanTheRetryWindowFails) {
    server.refuseImports(1000000);
    auto b = backend();
    EXPECT_EQ(b.open(playerPath()), nullptr);
    EXPECT_GT(server.importRequests(), 1);
}

TEST_F(UsbipClient, TransfersCarryDevidDirectionEndpointAndData) {
    std::vector<Urb> seen;
    std::mutex seenMutex;
    server.setUrbHandler([&](const Urb &urb) {
        std::lock_guard lock(seenMutex);
        seen.push_back(urb);
        if (urb.ep == 2)
            return retSubmit(urb.seqnum, 0, 3, {'a', 'b', 'c'});
        return StubServer::defaultAnswer(urb);
    });
    auto b = backend();
    auto conn = b.open(playerPath());
    ASSERT_NE(conn, nullptr);
    EXPECT_EQ(conn->path(), playerPath());
    EXPECT_TRUE(conn->probe());
    uint8_t answer = 0;
    EXPECT_TRUE(conn->vendorRequest(12, 0x1234, 0xFFFF, answer));
    EXPECT_EQ(answer, 0x40);
    const uint8_t out[5] = {1, 2, 3, 4, 5};
    size_t moved = 0;
    EXPECT_TRUE(conn->bulkWrite(out, sizeof out, moved));
    EXPECT_EQ(moved, 5u);
    uint8_t in[64] = {};
    EXPECT_TRUE(conn->bulkRead(in, sizeof in, moved));
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(in[2], 'c');

    std::lock_guard lock(seenMutex);
    ASSERT_GE(seen.size(), 4u);
    const Urb &vendor = seen[seen.size() - 3];
    const Urb &write = seen[seen.size() - 2];
    const Urb &read = seen.back();
    EXPECT_EQ(vendor.devid, (1u << 16) | 2u); // busnum 1, devnum 2
    EXPECT_EQ(vendor.direction, 1u);
    EXPECT_EQ(vendor.ep, 0u);
    EXPECT_EQ(Raw(vendor.setup, vendor.setup + 8), (Raw{0xC0, 12, 0x34, 0x12, 0xFF, 0xFF, 1, 0}));
    EXPECT_EQ(write.direction, 0u);
    EXPECT_EQ(write.ep, 1u);
    EXPECT_EQ(write.out, Raw(out, out + 5));
    EXPECT_EQ(read.direction, 1u);
    EXPECT_EQ(read.ep, 2u);
    EXPECT_EQ(read.length, 64u);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_EQ(seen[i].seqnum, seen[i - 1].seqnum + 1);
}

// Faults in the server's answer to a bulk read: each must fail the read without writing past
// the buffer, and leave the connection failing from then on (the transport reconnects).
struct ReplyFault {
    const char *name;
    std::function<Raw(const Urb &)> answer;
    bool drop = false;
};
// Test names and failure messages show the row by its name.
void PrintTo(const ReplyFault &row, std::ostream *os) {
    *os << row.name;
}
class UsbipReplyFaults : public UsbipClient, public ::testing::WithParamInterface<ReplyFault> {};

TEST_P(UsbipReplyFaults, FailTheTransferSafely) {
    const auto answer = GetParam().answer;
    server.setUrbHandler([answer](const Urb &urb) {
        return urb.ep == 2 ? answer(urb) : StubServer::defaultAnswer(urb);
    });
    auto b = backend();
    auto conn = b.open(playerPath());
    ASSERT_NE(conn, nullptr);
    if (GetParam().drop)
        server.dropNextUrb();
    Raw buffer(80, 0xEE);
    size_t moved = 99;
    EXPECT_FALSE(conn->bulkRead(buffer.data(), 64, moved));
    EXPECT_LE(moved, 64u);
    for (size_t i = 64; i < buffer.size(); ++i)
        ASSERT_EQ(buffer[i], 0xEE) << "written past the buffer at " << i;
    uint8_t answerByte = 0;
    EXPECT_FALSE(conn->vendorRequest(10, 0, 0, answerByte)) << "the connection is given up";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbipReplyFaults,
    ::testing::Values(
        ReplyFault{"ActualLongerThanAsked",
                   [](const Urb &u) { return retSubmit(u.seqnum, 0, 80, Raw(80, 0x55)); }},
        ReplyFault{"HugeActualLength",
                   [](const Urb &u) { return retSubmit(u.seqnum, 0, 0xFFFFFFF0, Raw(64, 1)); }},
        ReplyFault{"ShortData",
                   [](const Urb &u) { return retSubmit(u.seqnum, 0, 64, Raw(10, 1)); }},
        ReplyFault{"WrongSeqnum", [](const Urb &u) { return retSubmit(u.seqnum + 7, 0, 0); }},
        ReplyFault{"UnknownCommand",
                   [](const Urb &u) {
                       Raw r = retSubmit(u.seqnum, 0, 0);
                       r[3] = 9;
                       return r;
                   }},
        ReplyFault{"IsochronousPackets",
                   [](const Urb &u) {
                       Raw r = retSubmit(u.seqnum, 0, 0);
                       r[35] = 2; // number_of_packets
                       r[32] = r[33] = r[34] = 0;
                       return r;
                   }},
        ReplyFault{"NeverAnswers", [](const Urb &) { return Raw{}; }},
        ReplyFault{"ConnectionDropped", [](const Urb &u) { return retSubmit(u.seqnum, 0, 0); },
                   true}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(UsbipClient, ErrorStatusFailsButReportsWhatMoved) {
    server.setUrbHandler([](const Urb &urb) {
        if (urb.ep == 1)
            return retSubmit(urb.seqnum, -32, 10); // stalled after 10 bytes
        return StubServer::defaultAnswer(urb);
    });
    auto b = backend();
    auto conn = b.open(playerPath());
    ASSERT_NE(conn, nullptr);
    const Raw data(64, 7);
    size_t moved = 0;
    EXPECT_FALSE(conn->bulkWrite(data.data(), data.size(), moved));
    EXPECT_EQ(moved, 10u);
}

TEST_F(UsbipClient, UnlinkRepliesInBetweenAreSkipped) {
    server.setUrbHandler([](const Urb &urb) {
        if (urb.ep != 2)
            return StubServer::defaultAnswer(urb);
        Raw r = retSubmit(999, 0, 0);
        r[3] = 4; // RET_UNLINK first, then the real answer
        const Raw real = retSubmit(urb.seqnum, 0, 2, {9, 8});
        r.insert(r.end(), real.begin(), real.end());
        return r;
    });
    auto b = backend();
    auto conn = b.open(playerPath());
    ASSERT_NE(conn, nullptr);
    uint8_t in[64];
    size_t moved = 0;
    EXPECT_TRUE(conn->bulkRead(in, sizeof in, moved));
    EXPECT_EQ(moved, 2u);
    EXPECT_EQ(in[0], 9);
}

// A stream read ahead: the next block is asked for while the caller handles one, never more
// than announced, and one still asked for is cancelled before any other transfer, whether the
// server had already answered it or still holds it.
struct AheadCase {
    const char *name;
    bool serverHoldsTheLastRead; // the read asked for ahead gets no answer until cancelled
};
void PrintTo(const AheadCase &row, std::ostream *os) {
    *os << row.name;
}

class UsbipReadAhead : public UsbipClient, public ::testing::WithParamInterface<AheadCase> {};

TEST_P(UsbipReadAhead, AsksForTheNextBlockAndCancelsWhatIsLeft) {
    std::vector<Urb> seen;
    std::mutex seenMutex;
    int reads = 0;
    const bool hold = GetParam().serverHoldsTheLastRead;
    server.setUrbHandler([&](const Urb &urb) {
        std::lock_guard lock(seenMutex);
        seen.push_back(urb);
        if (urb.command == 2) {
            Raw r = retSubmit(urb.seqnum, hold ? -104 : 0, 0);
            r[3] = 4; // RET_UNLINK
            return r;
        }
        if (urb.ep != 2)
            return StubServer::defaultAnswer(urb);
        ++reads;
        if (hold && reads == 4)
            return Raw{};
        return retSubmit(urb.seqnum, 0, 4, Raw(4, uint8_t(reads)));
    });
    auto b = backend();
    auto conn = b.open(playerPath());
    ASSERT_NE(conn, nullptr);
    auto inReads = [&] {
        std::lock_guard lock(seenMutex);
        return std::count_if(seen.begin(), seen.end(),
                             [](const Urb &u) { return u.command == 1 && u.ep == 2; });
    };

    // Two blocks announced and read: two reads asked for, none left in flight.
    conn->readAhead(4, 2);
    uint8_t in[4] = {};
    size_t moved = 0;
    for (uint8_t block = 1; block <= 2; ++block) {
        ASSERT_TRUE(conn->bulkRead(in, sizeof in, moved));
        EXPECT_EQ(moved, 4u);
        EXPECT_EQ(in[0], block) << "blocks arrive in order";
    }
    EXPECT_EQ(inReads(), 2);
    // Five announced, one read: the second is already asked for, and cancelled by the next
    // transfer of another kind, which then gets its own answer.
    conn->readAhead(4, 5);
    ASSERT_TRUE(conn->bulkRead(in, sizeof in, moved));
    EXPECT_EQ(in[0], 3);
    uint8_t answer = 0;
    EXPECT_TRUE(conn->vendorRequest(12, 0, 0, answer));
    EXPECT_EQ(answer, 0x40);
    {
        std::lock_guard lock(seenMutex);
        const auto unlink =
            std::find_if(seen.begin(), seen.end(), [](const Urb &u) { return u.command == 2; });
        ASSERT_NE(unlink, seen.end()) << "the read in flight was not cancelled";
        EXPECT_EQ(unlink->victim, seen[size_t(unlink - seen.begin()) - 1].seqnum);
    }
    // Afterwards a read is a read of its own again.
    ASSERT_TRUE(conn->bulkRead(in, sizeof in, moved));
    EXPECT_EQ(in[0], 5);
    EXPECT_EQ(inReads(), 5);
}
INSTANTIATE_TEST_SUITE_P(Ahead, UsbipReadAhead,
                         ::testing::Values(AheadCase{"AnsweredBeforeTheCancel", false},
                                           AheadCase{"HeldUntilTheCancel", true}),
                         [](const auto &row) { return std::string(row.param.name); });

// A stream written ahead: both blocks reach the server before the host waits for the first
// answer, the answers are taken in order, and blocks still unanswered are cancelled.
class UsbipWriteAhead : public UsbipClient, public ::testing::WithParamInterface<AheadCase> {};

TEST_P(UsbipWriteAhead, SendsTheNextBlockBeforeTheLastIsAnswered) {
    std::vector<Urb> seen;
    std::mutex seenMutex;
    const bool hold = GetParam().serverHoldsTheLastRead;
    server.setUrbHandler([&](const Urb &urb) {
        std::lock_guard lock(seenMutex);
        seen.push_back(urb);
        if (urb.command == 2) {
            Raw r = retSubmit(urb.seqnum, -104, 0);
            r[3] = 4; // RET_UNLINK
            return r;
        }
        if (urb.ep != 1 || urb.direction != 0)
            return StubServer::defaultAnswer(urb);
        return hold ? Raw{} : retSubmit(urb.seqnum, 0, urb.length - urb.out[0]);
    });
    auto b = backend();
    auto conn = b.open(playerPath());
    ASSERT_NE(conn, nullptr);
    auto outs = [&] {
        std::lock_guard lock(seenMutex);
        std::vector<Urb> out;
        std::copy_if(seen.begin(), seen.end(), std::back_inserter(out),
                     [](const Urb &u) { return u.command == 1 && u.ep == 1; });
        return out;
    };
    const Raw first(64, 0), second(64, 4); // the server takes 64 - byte 0 of each
    ASSERT_TRUE(conn->queueWrite(first.data(), first.size()));
    ASSERT_TRUE(conn->queueWrite(second.data(), second.size()));
    for (int i = 0; i < 400 && outs().size() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::vector<Urb> sent = outs();
    ASSERT_EQ(sent.size(), 2u) << "the second block did not go out before the first's answer";
    EXPECT_EQ(sent[0].out, first);
    EXPECT_EQ(sent[1].out, second);
    if (hold) {
        conn->dropWrites();
        std::lock_guard lock(seenMutex);
        std::vector<uint32_t> victims;
        for (const Urb &u : seen)
            if (u.command == 2)
                victims.push_back(u.victim);
        EXPECT_EQ(victims, (std::vector<uint32_t>{sent[0].seqnum, sent[1].seqnum}));
    } else {
        size_t moved = 0;
        EXPECT_TRUE(conn->finishWrite(moved));
        EXPECT_EQ(moved, 64u);
        EXPECT_TRUE(conn->finishWrite(moved));
        EXPECT_EQ(moved, 60u);
        EXPECT_FALSE(conn->finishWrite(moved)) << "nothing left to answer";
    }
    uint8_t answer = 0;
    EXPECT_TRUE(conn->vendorRequest(12, 0, 0, answer));
    EXPECT_EQ(answer, 0x40);
}
INSTANTIATE_TEST_SUITE_P(Ahead, UsbipWriteAhead,
                         ::testing::Values(AheadCase{"AnsweredInOrder", false},
                                           AheadCase{"HeldUntilTheCancel", true}),
                         [](const auto &row) { return std::string(row.param.name); });

} // namespace
