// The readers report their refusals through this interface: the program shows message boxes,
// kesto prints, tests record. The readers never print on their own.
#pragma once

#include <string_view>

namespace tunara::media {

enum class MessageIcon {
    Stop,    // an error the user has to know about
    Warning, // a refusal with a reason
    Info,
};

class MessageSink {
public:
    virtual ~MessageSink() = default;
    // Shows `text` with `icon`. An empty `caption` means the application's own name.
    // Called on the thread that called the reader; may block until the user answers.
    virtual void showMessage(MessageIcon icon, std::string_view caption, std::string_view text) = 0;
};

// A sink that drops every message, for callers that only want the result code.
class SilentSink final : public MessageSink {
public:
    void showMessage(MessageIcon, std::string_view, std::string_view) override {}
};

} // namespace tunara::media
