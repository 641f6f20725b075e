// A USB/IP server in the test process, written from the server's side with its own byte
// handling, for the client's fault cases: it answers the device list and import from raw bytes
// the test gives, then hands every URB to the test's handler, which returns the raw reply.
#pragma once

#include "wire.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestousb::test {

using Raw = Bytes;

// One device record of a device list or import reply (312 bytes), interfaces not included.
Raw deviceRecord(const std::string &busId, uint16_t vendor, uint16_t product,
                 uint8_t numInterfaces);

struct Urb {
    uint32_t command, seqnum, devid, direction, ep, length;
    uint8_t setup[8];
    Raw out;             // OUT data
    uint32_t victim = 0; // CMD_UNLINK: the seqnum to cancel
};

// A RET_SUBMIT header (48 bytes) with `data` after it.
Raw retSubmit(uint32_t seqnum, int32_t status, uint32_t actual, const Raw &data = {});

class StubServer {
public:
    using UrbHandler = std::function<Raw(const Urb &)>; // empty result: send nothing
    StubServer();
    ~StubServer();

    uint16_t port() const { return m_port; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

    // Raw bytes answered to OP_REQ_DEVLIST and OP_REQ_IMPORT (after which URBs follow).
    void setDevlistReply(Raw reply);
    void setImportReply(Raw reply);
    // Replaces the default device (config descriptor, GET_STATUS, polls answered 0x40).
    void setUrbHandler(UrbHandler handler);
    // Closes the current connection after the next URB instead of answering it.
    void dropNextUrb() { m_drop = true; }
    // The next `count` imports are refused as a busy device is (status 1).
    void refuseImports(int count) { m_refusedImports = count; }
    int importRequests() const { return m_importRequests; }

    // A well-formed device list and import reply for a player 1209:0001 at bus id "1-1".
    static Raw playerDevlist();
    static Raw playerImport();
    // The default device's answer to a URB (tests call it for the URBs they do not script).
    static Raw defaultAnswer(const Urb &urb);

private:
    void serve();
    void handle(int fd);
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_drop{false};
    std::atomic<int> m_refusedImports{0};
    std::atomic<int> m_importRequests{0};
    std::mutex m_mutex;
    Raw m_devlist, m_import;
    UrbHandler m_handler;
    std::thread m_thread;
};

} // namespace kestousb::test
