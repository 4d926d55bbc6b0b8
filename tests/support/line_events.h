// Reads the updater's line mode back as a script would: one event a line,
//   "[" seconds "] " event *( " " key "=" value )
// with a value either a bare word or a quoted text (\" \\ \n \r escaped), and each event
// carrying exactly its own keys.
#pragma once

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace lines {

struct Event {
    std::string name;
    std::map<std::string, std::string> fields;  // quoted values unescaped

    std::string at(const std::string& key) const {
        auto found = fields.find(key);
        return found == fields.end() ? std::string("<none>") : found->second;
    }
};

inline std::string Unescaped(const std::string& quoted) {
    std::string text;
    for (size_t i = 0; i < quoted.size(); ++i) {
        const bool escape = quoted[i] == '\\';
        const char c = quoted[i + escape];
        i += escape;
        text += !escape ? c : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return text;
}

// Every line of `output` as an event; a line that breaks the grammar, names an unknown event
// or carries other keys than its own, in their order, is reported in *bad.
inline std::vector<Event> ParseAll(const std::string& output, std::vector<std::string>* bad) {
    static const std::map<std::string, std::string> kKeys = {
        {"open", " title"},
        {"title", " text"},
        {"status", " text"},
        {"notice", " text"},
        {"progress", " phase percent remaining"},
        {"beep", ""},
        {"box", " caption text answer"},
        {"close", ""},
        {"outcome", " exit text"}};
    const std::string field = R"( ([a-z_]+)=(?:"((?:[^"\\]|\\[nr"\\])*)\"|([^ "=]+)))";
    const std::regex line_re(R"(\[ *[0-9]+\.[0-9]{3}\] ([a-z]+)((?:)" + field + ")*)");
    const std::regex field_re(field);
    std::vector<Event> events;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        std::smatch match;
        Event event;
        std::string keys;  // as the line gives them
        const bool ok = std::regex_match(line, match, line_re);
        if (ok) {
            event.name = match[1];
            const std::string rest = match[2];
            for (std::sregex_iterator f(rest.begin(), rest.end(), field_re), end; f != end; ++f) {
                const std::smatch& m = *f;
                keys.push_back(' ');
                keys.append(m[1].str());
                event.fields[m[1]] = m[2].matched ? Unescaped(m[2]) : m[3].str();
            }
        }
        auto known = kKeys.find(event.name);
        if (!ok || known == kKeys.end() || keys != known->second)
            bad->push_back(line);
        else
            events.push_back(event);
    }
    return events;
}

}  // namespace lines
