// The texts the program shows for the library's last-error codes and for the status flags, so
// that every kesto verb reports a failure the way the program does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kesto {

// The id of a text kesto words itself, where the program's would mislead on this system.
inline constexpr int kOwnText = 0;

struct Message {
    int id; // string-table number, or kOwnText
    std::string_view text;
};

// The message for a last-error code: the code's own text where the program has one, else
// 10022 "Failed data transmitted"; for -40 kesto's own advice (cable, udev rule, kesto info).
// For -40 it asks the library whether the player is there but held by another program, and then
// says so instead of giving the cable advice.
Message messageForError(int code);

// Just the text of messageForError(code).
std::string errorMessage(int code);

// One line for stderr: "error -40 (KSUSB_ERR_NOT_CONNECTED): Device is Not connected. Check
// the USB cable ..."
std::string describeError(int code);

// The program's notice for each status flag set in `flags`, in its order (0x80 first).
std::vector<Message> flagMessages(unsigned flags);

// Short names of the flags set ("busy", "no card", ...); "none" when no flag is set.
std::string flagNames(unsigned flags);

} // namespace kesto
