// One device imported from a USB/IP server: its transfers as CMD_SUBMIT / RET_SUBMIT on the
// TCP connection that imported it.
#pragma once

#include "backend.h"
#include "usbip_socket.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kestousb {

// The connection to the imported device `devid` (busnum << 16 | devnum) over `socket`, once its
// configuration descriptor has named the player's bulk endpoints; nullptr when it does not.
std::unique_ptr<DeviceConnection> openUsbipConnection(usbip::Socket socket, uint32_t devid,
                                                      std::string path);

} // namespace kestousb
