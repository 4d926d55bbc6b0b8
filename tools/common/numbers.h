// Numbers on the tools' command lines, read one way everywhere: decimal, or hexadecimal with
// 0x, with no sign, blank or trailing text, and within the range the argument allows.  A
// leading 0 is decimal, never octal.  A bad number is the caller's usage error, which names
// the argument (BadNumber).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tools {

// An unsigned number from min to max.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t min = 0,
                                    uint64_t max = UINT64_MAX);

// A 32-bit registry value.  With allow_negative, a decimal -N down to -2^31 is taken too and
// stored in two's complement, as the registry keeps a DWORD of -1.
std::optional<uint32_t> ParseDword(std::string_view text, bool allow_negative = false);

// A decimal fraction (digits and at most one point) from 0 to max.
std::optional<double> ParseDecimal(std::string_view text, double max);

// Decimal seconds from 0 to max_seconds, in microseconds.
std::optional<int64_t> ParseSeconds(std::string_view text, double max_seconds);

// The usage error for a bad number: "NAME: 'TEXT' is not WHAT".
std::string BadNumber(std::string_view name, std::string_view text, std::string_view what);

}  // namespace tools
