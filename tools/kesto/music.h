// What `kesto put` and `kesto sync` share to bring music onto the player: the conversion
// options and the connected model.
#pragma once

#include "conversionqueue.h"
#include "converter.h"
#include "playerformat.h"

#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

namespace kesto {

struct ConvertChoice {
    bool convert = true; // --no-convert sends every file as it is
    tunara::media::ConvertSettings settings;
};

// Takes the conversion option at args[i] (--no-convert, --bitrate N, --vbr, --no-cover,
// --level off|track|album, --use-tags),
// advancing `i` past its value. nullopt when args[i] is not one; else "" or the usage problem.
std::optional<std::string> takeConvertOption(std::span<const std::string> args, size_t &i,
                                             ConvertChoice &choice);

// The connected player's model code (tunara::media::PlayerModel), 0 when the player does not
// say. The library must be connected (a table was read).
int connectedModel();

// Checks the settings against what the model plays from the memory: "" or the problem.
std::string settingsProblem(const ConvertChoice &choice, int model, unsigned char mem);

using tunara::media::freeName;

// Waits for job `index` of `queue`, converting `source`, drawing its bar on a terminal
// (terminalConversionBars). Ctrl-C while it waits stops the queue's conversions (their partial
// files go) and gives nullopt: the run ends with kExitInterrupted. Main thread; blocks.
std::optional<tunara::media::ConversionResult>
awaitConversion(tunara::media::ConversionQueue &queue, std::size_t index,
                const std::string &source);

} // namespace kesto
