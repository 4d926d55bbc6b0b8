#include "tools/common/numbers.h"

#include <charconv>
#include <cmath>

namespace tools {

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t min, uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || stop != end || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> ParseDword(std::string_view text, bool allow_negative) {
    if (allow_negative && !text.empty() && text[0] == '-') {
        text.remove_prefix(1);
        // Hexadecimal has no sign: -0x1 is refused like +1.
        if (text.find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        auto magnitude = ParseNumber(text, 0, uint64_t{1} << 31);
        if (!magnitude)
            return std::nullopt;
        return static_cast<uint32_t>(0 - *magnitude);
    }
    auto value = ParseNumber(text, 0, UINT32_MAX);
    if (!value)
        return std::nullopt;
    return static_cast<uint32_t>(*value);
}

std::optional<double> ParseDecimal(std::string_view text, double max) {
    const size_t point = text.find('.');
    if (text.empty() || text == "." || text.find_first_not_of("0123456789.") != text.npos ||
        (point != text.npos && text.find('.', point + 1) != text.npos))
        return std::nullopt;
    double value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (error != std::errc() || stop != end || !std::isfinite(value) || value > max)
        return std::nullopt;
    return value;
}

std::optional<int64_t> ParseSeconds(std::string_view text, double max_seconds) {
    auto seconds = ParseDecimal(text, max_seconds);
    if (!seconds)
        return std::nullopt;
    return std::llround(*seconds * 1e6);
}

std::string BadNumber(std::string_view name, std::string_view text, std::string_view what) {
    return std::string(name) + ": '" + std::string(text) + "' is not " + std::string(what);
}

}  // namespace tools
