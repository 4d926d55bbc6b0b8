// Reads the updater's line mode back as a script would: one event a line,
//   [ "[" seconds "] " ] event *( " " key "=" value )
// with a value either a bare word or a quoted text (\" \\ \n \r escaped).  Also knows, for
// every event, the keys it carries, so that a test can hold each line to the grammar.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace lines {

struct Event {
    std::optional<double> time_s;
    std::string name;
    std::map<std::string, std::string> fields;  // quoted values unescaped

    std::string at(const std::string& key) const {
        auto found = fields.find(key);
        return found == fields.end() ? std::string("<none>") : found->second;
    }
};

namespace detail {

inline bool IsWordChar(char c) {
    return c != ' ' && c != '"' && c != '=' && c != '\n';
}

// A quoted text from line[*at] (the opening quote), unescaped; advances *at past its end.
inline std::optional<std::string> Quoted(const std::string& line, size_t* at) {
    std::string text;
    for (size_t i = *at + 1; i < line.size(); ++i) {
        if (line[i] == '"') {
            *at = i + 1;
            return text;
        }
        if (line[i] != '\\') {
            text += line[i];
            continue;
        }
        if (++i == line.size())
            return std::nullopt;
        const char escaped = line[i];
        if (escaped == 'n')
            text += '\n';
        else if (escaped == 'r')
            text += '\r';
        else if (escaped == '"' || escaped == '\\')
            text += escaped;
        else
            return std::nullopt;
    }
    return std::nullopt;
}

inline std::optional<double> Stamp(const std::string& line, size_t* at) {
    const size_t close = line.find("] ");
    if (line.empty() || line[0] != '[' || close == std::string::npos)
        return std::nullopt;
    const std::string digits = line.substr(1, close - 1);
    const size_t first = digits.find_first_not_of(' ');
    const size_t dot = digits.find('.');
    if (first == std::string::npos || dot == std::string::npos || dot + 4 != digits.size())
        return std::nullopt;
    for (size_t i = first; i < digits.size(); ++i) {
        if (i != dot && (digits[i] < '0' || digits[i] > '9'))
            return std::nullopt;
    }
    *at = close + 2;
    return std::stod(digits.substr(first));
}

}  // namespace detail

// One line (without its line break), or nothing when it breaks the grammar.
inline std::optional<Event> Parse(const std::string& line, bool stamped = true) {
    Event event;
    size_t at = 0;
    if (stamped && !(event.time_s = detail::Stamp(line, &at)))
        return std::nullopt;
    while (at < line.size() && line[at] >= 'a' && line[at] <= 'z')
        event.name += line[at++];
    if (event.name.empty())
        return std::nullopt;
    while (at < line.size()) {
        if (line[at++] != ' ')
            return std::nullopt;
        const size_t eq = line.find('=', at);
        if (eq == std::string::npos || eq == at)
            return std::nullopt;
        const std::string key = line.substr(at, eq - at);
        for (char c : key) {
            if ((c < 'a' || c > 'z') && c != '_')
                return std::nullopt;
        }
        at = eq + 1;
        std::string value;
        if (at < line.size() && line[at] == '"') {
            std::optional<std::string> quoted = detail::Quoted(line, &at);
            if (!quoted)
                return std::nullopt;
            value = *quoted;
        } else {
            while (at < line.size() && detail::IsWordChar(line[at]))
                value += line[at++];
            if (value.empty())
                return std::nullopt;
        }
        if (!event.fields.emplace(key, value).second)
            return std::nullopt;
    }
    return event;
}

// The keys each event carries, exactly.
inline const std::map<std::string, std::set<std::string>>& Keys() {
    static const std::map<std::string, std::set<std::string>> keys = {
        {"open", {"title"}},
        {"title", {"text"}},
        {"status", {"text"}},
        {"notice", {"text"}},
        {"progress", {"phase", "percent", "remaining"}},
        {"beep", {}},
        {"box", {"caption", "text", "answer"}},
        {"close", {}},
        {"outcome", {"exit", "text"}},
    };
    return keys;
}

// Every line of `output` as an event; a line that breaks the grammar, names an unknown event
// or carries other keys than its event's is reported in *bad.
inline std::vector<Event> ParseAll(const std::string& output, std::vector<std::string>* bad,
                                   bool stamped = true) {
    std::vector<Event> events;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::optional<Event> event = Parse(line, stamped);
        auto keys = event ? Keys().find(event->name) : Keys().end();
        std::set<std::string> have;
        if (event) {
            for (const auto& [key, value] : event->fields)
                have.insert(key);
        }
        if (keys == Keys().end() || have != keys->second) {
            bad->push_back(line);
            continue;
        }
        events.push_back(*event);
    }
    return events;
}

}  // namespace lines
