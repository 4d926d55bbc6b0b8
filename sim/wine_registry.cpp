// Reading Wine's registry files and writing .reg files for regedit.
#include "sim/wine_registry.h"

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace sim {
namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Lower(a) == Lower(b);
}

void AppendUtf8(char32_t code, std::string* out) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// UTF-16 units as UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf8(const std::u16string& units) {
    std::string out;
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t code = units[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        AppendUtf8(code, &out);
    }
    return out;
}

// The code points of UTF-8 text; false at the first byte that does not belong.
bool DecodeUtf8(std::string_view text, std::u32string* codes) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80         ? 0
                          : (lead >> 5) == 6  ? 1
                          : (lead >> 4) == 14 ? 2
                          : (lead >> 3) == 30 ? 3
                                              : -1;
        if (extra < 0 || text.size() - i <= static_cast<size_t>(extra))
            return false;
        char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
            return false;
        codes->push_back(code);
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The escape after a backslash at the front of *rest, as one UTF-16 unit.
char16_t Unescape(std::string_view* rest) {
    const char first = rest->front();
    rest->remove_prefix(1);
    if (first == 'x') {
        char16_t unit = 0;
        for (int n = 0; n < 4 && !rest->empty() && HexDigit(rest->front()) >= 0; ++n) {
            unit = static_cast<char16_t>(unit * 16 + HexDigit(rest->front()));
            rest->remove_prefix(1);
        }
        return unit;
    }
    if (first >= '0' && first <= '7') {
        char16_t unit = static_cast<char16_t>(first - '0');
        for (int n = 1; n < 3 && !rest->empty() && rest->front() >= '0' && rest->front() <= '7';
             ++n) {
            unit = static_cast<char16_t>(unit * 8 + (rest->front() - '0'));
            rest->remove_prefix(1);
        }
        return unit;
    }
    static constexpr std::string_view kLetters = "abtnvfre";
    static constexpr char16_t kControls[] = {7, 8, 9, 10, 11, 12, 13, 27};
    const size_t letter = kLetters.find(first);
    return letter != std::string_view::npos
               ? kControls[letter]
               : static_cast<char16_t>(static_cast<unsigned char>(first));
}

// Reads an escaped text up to the unescaped `end` from the front of *rest and drops both;
// false when `end` never comes.  Wine escapes everything past ASCII, so a raw byte is taken
// as the character of that number.
bool ReadEscaped(std::string_view* rest, char end, std::string* text) {
    std::u16string units;
    while (!rest->empty()) {
        const char c = rest->front();
        rest->remove_prefix(1);
        if (c == end) {
            *text = Utf8(units);
            return true;
        }
        if (c == '\\' && !rest->empty())
            units.push_back(Unescape(rest));
        else
            units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return false;
}

std::string_view TrimEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return line;
}

std::string KeyPath(std::string_view key) {
    std::string path(key);
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return Lower(path);
}

}  // namespace

bool WineRegistry::ParseValue(std::string_view line, Key* key, std::string* problem) {
    Value value;
    if (line.front() == '@') {
        line.remove_prefix(1);  // the key's default value, named ""
    } else {
        line.remove_prefix(1);
        if (!ReadEscaped(&line, '"', &value.name)) {
            *problem = "a value name without its closing quote";
            return false;
        }
    }
    if (line.empty() || line.front() != '=') {
        *problem = "no '=' after the value name";
        return false;
    }
    line.remove_prefix(1);
    if (line.rfind("dword:", 0) == 0) {
        const std::string_view digits = line.substr(6);
        uint32_t number = 0;
        for (char c : digits) {
            if (HexDigit(c) < 0 || digits.size() > 8) {
                *problem = "a DWORD that is not 1 to 8 hex digits";
                return false;
            }
            number = number * 16 + static_cast<uint32_t>(HexDigit(c));
        }
        if (digits.empty()) {
            *problem = "a DWORD that is not 1 to 8 hex digits";
            return false;
        }
        value.data = number;
    } else if (!line.empty() && line.front() == '"') {
        line.remove_prefix(1);
        std::string text;
        if (!ReadEscaped(&line, '"', &text)) {
            *problem = "a string without its closing quote";
            return false;
        }
        value.data = std::move(text);
    }  // other types: present, not read
    key->values.push_back(std::move(value));
    return true;
}

bool WineRegistry::Parse(std::string_view text, std::string* error) {
    keys_.clear();
    index_.clear();
    std::istringstream lines{std::string(text)};
    std::string raw;
    int number = 0;
    Key* key = nullptr;
    auto fail = [&](const std::string& problem) {
        *error = "line " + std::to_string(number) + ": " + problem;
        return false;
    };
    while (std::getline(lines, raw)) {
        ++number;
        std::string_view line = TrimEnd(raw);
        if (number == 1) {
            if (line.rfind("WINE REGISTRY Version ", 0) != 0)
                return fail("not a Wine registry file");
            continue;
        }
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            line.remove_prefix(1);
            std::string path;
            if (!ReadEscaped(&line, ']', &path))
                return fail("a key without its closing ']'");
            auto [at, added] = index_.emplace(KeyPath(path), keys_.size());
            if (added)
                keys_.push_back({path, {}});
            key = &keys_[at->second];
            continue;
        }
        if (line.front() != '"' && line.front() != '@')
            return fail("neither a key nor a value");
        if (key == nullptr)
            return fail("a value before any key");
        std::string problem;
        if (!ParseValue(line, key, &problem))
            return fail(problem);
        // A long hex value goes on over lines that end in a backslash.
        while (!line.empty() && line.back() == '\\' && std::getline(lines, raw)) {
            ++number;
            line = TrimEnd(raw);
        }
    }
    return true;
}

bool WineRegistry::Load(const std::filesystem::path& file, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        *error = "cannot read " + file.string();
        return false;
    }
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    if (!Parse(text, error)) {
        *error = file.string() + ": " + *error;
        return false;
    }
    return true;
}

bool WineRegistry::HasKey(std::string_view key) const {
    return index_.count(KeyPath(key)) != 0;
}

const WineRegistry::Value* WineRegistry::Find(std::string_view key, std::string_view name) const {
    const auto at = index_.find(KeyPath(key));
    if (at == index_.end())
        return nullptr;
    for (const Value& value : keys_[at->second].values) {
        if (SameName(value.name, name))
            return &value;
    }
    return nullptr;
}

std::optional<uint32_t> WineRegistry::Dword(std::string_view key, std::string_view name) const {
    const Value* value = Find(key, name);
    if (value == nullptr || !std::holds_alternative<uint32_t>(value->data))
        return std::nullopt;
    return std::get<uint32_t>(value->data);
}

std::optional<std::string> WineRegistry::String(std::string_view key, std::string_view name) const {
    const Value* value = Find(key, name);
    if (value == nullptr || !std::holds_alternative<std::string>(value->data))
        return std::nullopt;
    return std::get<std::string>(value->data);
}

std::vector<std::string> WineRegistry::Subkeys(std::string_view key) const {
    const std::string parent = KeyPath(key) + "\\";
    std::vector<std::string> names;
    for (const Key& candidate : keys_) {
        const std::string path = KeyPath(candidate.path);
        if (path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 &&
            path.find('\\', parent.size()) == std::string::npos)
            names.push_back(candidate.path.substr(parent.size()));
    }
    return names;
}

// ---- .reg files ----

namespace {

// Escapes a name or string for a .reg file; false on a control character regedit cannot take
// back, or on text that is not UTF-8.
bool EscapeRegText(std::string_view text, std::string* out) {
    std::u32string codes;
    if (!DecodeUtf8(text, &codes))
        return false;
    for (char32_t code : codes) {
        if (code == '\\' || code == '"') {
            out->push_back('\\');
            out->push_back(static_cast<char>(code));
        } else if (code == '\n') {
            out->append("\\n");
        } else if (code == '\r') {
            out->append("\\r");
        } else if (code < 0x20) {
            return false;
        } else {
            AppendUtf8(code, out);
        }
    }
    return true;
}

bool ValidKey(std::string_view key) {
    std::u32string codes;
    if (key.empty() || key.front() == '\\' || key.back() == '\\' ||
        key.find("\\\\") != std::string_view::npos || !DecodeUtf8(key, &codes))
        return false;
    for (char32_t code : codes) {
        if (code < 0x20 || code == ']')
            return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> RegFileText(const std::vector<RegEntry>& entries, std::string* error) {
    std::vector<std::string> keys;
    std::map<std::string, std::string> sections;  // lower-cased key -> its value lines
    for (const RegEntry& entry : entries) {
        if (!ValidKey(entry.key)) {
            *error = "key '" + entry.key + "' cannot be written to a .reg file";
            return std::nullopt;
        }
        std::string line = "\"";
        if (!EscapeRegText(entry.name, &line)) {
            *error = "value name '" + entry.name + "' in " + entry.key + " cannot be written";
            return std::nullopt;
        }
        line += "\"=";
        if (const auto* number = std::get_if<uint32_t>(&entry.value)) {
            char digits[16];
            std::snprintf(digits, sizeof digits, "dword:%08x", *number);
            line += digits;
        } else {
            line += '"';
            if (!EscapeRegText(std::get<std::string>(entry.value), &line)) {
                *error = "value " + entry.name + " in " + entry.key + " cannot be written";
                return std::nullopt;
            }
            line += '"';
        }
        const std::string lower = Lower(entry.key);
        if (sections.count(lower) == 0)
            keys.push_back(entry.key);
        sections[lower] += line + "\r\n";
    }
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    for (const std::string& key : keys)
        text += "\r\n[" + key + "]\r\n" + sections[Lower(key)];
    return text;
}

std::string Utf16LeWithBom(std::string_view utf8) {
    std::u32string codes;
    if (!DecodeUtf8(utf8, &codes)) {
        codes.clear();
        for (char c : utf8)  // not UTF-8: each byte as itself
            codes.push_back(static_cast<unsigned char>(c));
    }
    std::string bytes = "\xFF\xFE";
    auto unit = [&bytes](char32_t value) {
        bytes.push_back(static_cast<char>(value & 0xFF));
        bytes.push_back(static_cast<char>((value >> 8) & 0xFF));
    };
    for (char32_t code : codes) {
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    return bytes;
}

}  // namespace sim
