// The player's status: the flags exchange, the version and full-status reads and their cache.
#pragma once

#include "KestoUSB.h"

#include <chrono>
#include <cstdint>
#include <functional>

namespace kestousb {

// The 'I' exchange. `flags` receives the status flags; false when the exchange itself failed
// (-40, -2, -5) or the reply lacks its closing mark (-6), so that a caller can tell a failure
// from a player that reports no flag at all. Sets -58 / -59 like InvokePlayer.
bool readStatusFlags(uint8_t &flags);

// Byte counts of the status replies.
constexpr size_t kFullStatusReplySize = 192;
constexpr size_t kVersionReplyClose = 36; // the 'Y' reply's closing '.'

// A pause of KSUSB_Stop; tests inject one that does not wait (library_state.h).
using SleepFunction = std::function<void(std::chrono::milliseconds)>;

} // namespace kestousb
