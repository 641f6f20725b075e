// The one table from the library's error codes to the messages the user sees, per situation:
// each situation tells apart the codes it names, and every other code gets its fallback text.
#pragma once

#include "texts/strid.h"

#include <optional>

namespace tunara::device {

enum class Situation {
    PaneDelete, // Delete, Format and Arrange order on a memory pane
    PaneRename, // Rename and the reorder drag
    QueueDownloadStart,
    QueueUploadStart,
    QueueRun,    // a queued transfer that failed on the library's worker
    FontStart,   // Font Download: the start call refused
    FontRun,     // Font Download: failed on the worker
    SysParamRun, // the system parameter cycle: failed on the worker
};

// The message for `code` in `situation`; none: the situation shows no text for it.
std::optional<res::StrId> playerMessage(Situation situation, int code);
// The same where every code has a text (all situations but SysParamRun's stop).
res::StrId playerMessageId(Situation situation, int code);

} // namespace tunara::device
