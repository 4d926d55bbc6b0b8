// The bench wiring's settings file: see the header for its format.
#include "host/modem_wiring.h"

#include <cctype>
#include <vector>

namespace host {
namespace {

struct Setting {
    const char* key;
    const char* what;  // for messages
    std::optional<WiredLine> ModemWiring::*field;
};

constexpr Setting kSettings[] = {
    {"power-key", "the power key", &ModemWiring::power_key},
    {"reset", "the reset", &ModemWiring::reset},
};

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::vector<std::string> Words(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        const size_t start = at;
        while (at < text.size() && !std::isspace(static_cast<unsigned char>(text[at])))
            ++at;
        if (at > start)
            words.push_back(Lower(text.substr(start, at - start)));
    }
    return words;
}

// A word as it appeared, quoted for a message; bytes that are not printable are shown as '?'
// so that a binary file cannot garble the terminal.
std::string Quoted(const std::string& word) {
    std::string out = "'";
    for (char c : word.substr(0, 40))
        out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return out + (word.size() > 40 ? "...'" : "'");
}

// The value after '=': "dtr asserted", "rts inverted" or "none".
bool ParseValue(const std::vector<std::string>& words, const Setting& setting,
                std::optional<WiredLine>* out, std::string* why) {
    if (words.empty()) {
        *why = std::string("no line for ") + setting.what + " (dtr, rts or none)";
        return false;
    }
    if (words[0] == "none") {
        if (words.size() > 1)
            *why = "'none' takes no polarity, found " + Quoted(words[1]);
        else
            out->reset();
        return words.size() == 1;
    }
    WiredLine wired;
    if (words[0] == "dtr" || words[0] == "rts") {
        wired.line = words[0] == "dtr" ? ModemLine::kDtr : ModemLine::kRts;
    } else {
        *why = Quoted(words[0]) + " is not a line (dtr, rts or none)";
        return false;
    }
    if (words.size() < 2) {
        *why = std::string(setting.what) + " on " + ModemLineName(wired.line) +
               " needs a polarity (asserted or inverted)";
        return false;
    }
    if (words[1] != "asserted" && words[1] != "inverted") {
        *why = Quoted(words[1]) + " is not a polarity (asserted or inverted)";
        return false;
    }
    if (words.size() > 2) {
        *why = "unexpected " + Quoted(words[2]) + " after the polarity";
        return false;
    }
    wired.inverted = words[1] == "inverted";
    *out = wired;
    return true;
}

// One line of the file into `wiring`; `given[i]` holds the line number that gave kSettings[i].
bool ParseLine(std::string_view text, ModemWiring* wiring, int given[], int number,
               std::string* why) {
    text = text.substr(0, text.find('#'));
    const size_t equals = text.find('=');
    const std::vector<std::string> key = Words(text.substr(0, equals));
    if (key.empty() && equals == std::string_view::npos)
        return true;  // blank or comment
    if (equals == std::string_view::npos || key.size() != 1) {
        *why = "expected 'SETTING = LINE POLARITY', e.g. 'power-key = dtr asserted'";
        return false;
    }
    for (size_t i = 0; i < std::size(kSettings); ++i) {
        if (key[0] != kSettings[i].key)
            continue;
        if (given[i] != 0) {
            *why = std::string(kSettings[i].key) + " is set twice (first on line " +
                   std::to_string(given[i]) + ")";
            return false;
        }
        given[i] = number;
        return ParseValue(Words(text.substr(equals + 1)), kSettings[i],
                          &(wiring->*kSettings[i].field), why);
    }
    *why = "unknown setting " + Quoted(key[0]) + " (power-key or reset)";
    return false;
}

}  // namespace

const char* ModemLineName(ModemLine line) {
    return line == ModemLine::kDtr ? "DTR" : "RTS";
}

std::optional<ModemWiring> ParseModemWiring(std::string_view text, std::string* why) {
    if (text.size() > kModemWiringMaxBytes) {
        *why =
            "larger than " + std::to_string(kModemWiringMaxBytes) + " bytes: not a settings file";
        return std::nullopt;
    }
    ModemWiring wiring;
    int given[std::size(kSettings)] = {};
    int number = 0;
    for (size_t start = 0; start <= text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string problem;
        if (!ParseLine(text.substr(start, end - start), &wiring, given, ++number, &problem)) {
            *why = "line " + std::to_string(number) + ": " + problem;
            return std::nullopt;
        }
        start = end + 1;
    }
    for (size_t i = 0; i < std::size(kSettings); ++i) {
        if (given[i] == 0) {
            *why = std::string(kSettings[i].key) + " is not given (dtr, rts or none)";
            return std::nullopt;
        }
    }
    if (wiring.power_key && wiring.reset && wiring.power_key->line == wiring.reset->line) {
        *why = std::string("the power key and the reset cannot share ") +
               ModemLineName(wiring.reset->line) + " (line " + std::to_string(given[1]) + ")";
        return std::nullopt;
    }
    return wiring;
}

std::string DescribeModemWiring(const ModemWiring& wiring) {
    auto describe = [](const char* what, const std::optional<WiredLine>& wired) {
        if (!wired)
            return std::string(what) + " not wired";
        return std::string(what) + " on " + ModemLineName(wired->line) +
               (wired->inverted ? " (inverted)" : " (asserted)");
    };
    return describe("power key", wiring.power_key) + ", " + describe("reset", wiring.reset);
}

}  // namespace host
