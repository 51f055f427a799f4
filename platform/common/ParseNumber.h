// Numbers from the command line and the environment: whole decimal text, nothing else.
#pragma once

#include <charconv>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>

namespace ovcommon {

// The number written in s, if s is exactly a decimal number within [lo, hi].
template <class T>
std::optional<T> ParseNumber(std::string_view s, T lo = std::numeric_limits<T>::min(),
                             T hi = std::numeric_limits<T>::max()) {
    T value{};
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value < lo || value > hi)
        return std::nullopt;
    return value;
}

// The number in the environment variable `name`, or `fallback` when it is unset or no number
// within [lo, hi].
template <class T> T EnvNumber(const char* name, T fallback, T lo, T hi) {
    const char* text = std::getenv(name);
    if (text == nullptr)
        return fallback;
    return ParseNumber<T>(text, lo, hi).value_or(fallback);
}

} // namespace ovcommon
