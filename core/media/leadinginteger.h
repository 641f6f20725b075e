// The integer at the start of a text, read the way the tag editor always has: leading blanks,
// an optional sign, then digits; whatever follows is ignored ("3/12" is 3).
#pragma once

#include <climits>
#include <optional>
#include <string_view>

namespace tunara::media {

// nullopt when no digit follows the blanks and sign. Values beyond int clamp to INT_MIN/INT_MAX.
inline std::optional<int> leadingInteger(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    if (i >= s.size() || s[i] < '0' || s[i] > '9')
        return std::nullopt;
    long long value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        value = value * 10 + (s[i] - '0');
        if (value > INT_MAX)
            return negative ? INT_MIN : INT_MAX;
    }
    return int(negative ? -value : value);
}

} // namespace tunara::media
