#include "engine.h"

#include <array>
#include <utility>

namespace vplayer {

namespace {
constexpr std::array<std::pair<Fault, std::string_view>, 12> kFaultNames{{
    {Fault::DropReply, "drop-reply"},
    {Fault::ShortReply, "short-reply"},
    {Fault::Stall, "stall"},
    {Fault::PipeError, "pipe-error"},
    {Fault::Refuse, "refuse"},
    {Fault::DropStream, "drop-stream"},
    {Fault::ShortBlock, "short-block"},
    {Fault::UnplugAfter, "unplug-after"},
    {Fault::RefuseDelete, "refuse-delete"},
    {Fault::RefuseRename, "refuse-rename"},
    {Fault::KeepPartial, "keep-partial"},
    {Fault::WriteDelay, "write-delay"},
}};
} // namespace

bool faultFromName(std::string_view name, Fault &fault) {
    for (const auto &[f, n] : kFaultNames)
        if (n == name) {
            fault = f;
            return true;
        }
    return false;
}

std::string_view faultName(Fault fault) {
    for (const auto &[f, n] : kFaultNames)
        if (f == fault)
            return n;
    return "unknown";
}

} // namespace vplayer
