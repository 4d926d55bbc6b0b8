// A strict JSON reader for checking the board's reports: RFC 8259 values, nothing more.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace json {

struct Value {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = Kind::kNull;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Value> array;
    std::vector<std::pair<std::string, Value>> members;

    bool IsNull() const { return kind == Kind::kNull; }
    bool Has(std::string_view key) const;
    // A member, or a null value when there is none.
    const Value& operator[](std::string_view key) const;
    const Value& operator[](size_t index) const { return array.at(index); }
    size_t size() const { return kind == Kind::kArray ? array.size() : members.size(); }
    long long Int() const { return static_cast<long long>(number); }
};

// The document's value, or nothing with the reason in *error.
std::optional<Value> Parse(std::string_view text, std::string* error);

}  // namespace json
