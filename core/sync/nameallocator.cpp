#include "nameallocator.h"

#include "playerformat.h"

#include <algorithm>

namespace tunara::sync {

namespace {

constexpr unsigned kFirstNumber = 2;

// The longest start of `s` of whole characters within `bytes` bytes, as freeName cuts a base.
std::string wholeCharacters(std::string_view s, std::size_t bytes) {
    std::size_t end = 0;
    while (end < s.size()) {
        const std::size_t len = std::max<std::size_t>(1, media::validUtf8Length(s, end));
        if (end + len > bytes)
            break;
        end += len;
    }
    return std::string(s.substr(0, end));
}

} // namespace

std::string NameAllocator::take(const std::string &desired) {
    const std::string folded = media::foldCase(desired);
    if (m_taken.insert(folded).second)
        return desired;
    const std::size_t dot = desired.rfind('.');
    const std::string base = dot == std::string::npos ? desired : desired.substr(0, dot);
    const std::string ext = dot == std::string::npos ? std::string() : desired.substr(dot);
    // Numbers below the one remembered were all taken when last tried, and stay taken.
    unsigned &n = m_nextNumber.try_emplace(folded, kFirstNumber).first->second;
    for (;; ++n) {
        const std::string number = " (" + std::to_string(n) + ")";
        const std::size_t room = media::kMaxPlayerNameBytes -
                                 std::min(media::kMaxPlayerNameBytes, number.size() + ext.size());
        std::string name = wholeCharacters(base, room) + number + ext;
        if (m_taken.insert(media::foldCase(name)).second) {
            ++n;
            return name;
        }
    }
}

} // namespace tunara::sync
