// The JSON writer.
#include "tools/virtual-board/json_writer.h"

#include <cmath>
#include <cstdio>

namespace vboard {
namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t Utf8Length(std::string_view text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

void Escape(uint32_t code, std::string* out) {
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", static_cast<unsigned>(code));
    *out += text;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80) {
            const size_t length = Utf8Length(text, i);
            if (length == 0)
                Escape(byte, &out);
            else
                out.append(text.substr(i, length));
            i += length == 0 ? 1 : length;
            continue;
        }
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F)
                    Escape(byte, &out);
                else
                    out += static_cast<char>(byte);
        }
        ++i;
    }
    return out + "\"";
}

void JsonWriter::Indent() {
    out_ += '\n';
    out_.append(levels_.size() * 2, ' ');
}

void JsonWriter::BeforeValue() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (levels_.empty())
        return;
    Level& level = levels_.back();
    if (!level.empty)
        out_ += level.layout == Layout::kInline ? ", " : ",";
    if (level.layout == Layout::kLines)
        Indent();
    level.empty = false;
}

JsonWriter& JsonWriter::BeginObject(Layout layout) {
    BeforeValue();
    out_ += '{';
    levels_.push_back({layout});
    return *this;
}

JsonWriter& JsonWriter::BeginArray(Layout layout) {
    BeforeValue();
    out_ += '[';
    levels_.push_back({layout});
    return *this;
}

void JsonWriter::Close(char bracket) {
    const Level level = levels_.back();
    levels_.pop_back();
    if (level.layout == Layout::kLines && !level.empty)
        Indent();
    out_ += bracket;
}

JsonWriter& JsonWriter::EndObject() {
    Close('}');
    return *this;
}

JsonWriter& JsonWriter::EndArray() {
    Close(']');
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view key) {
    BeforeValue();
    out_ += JsonString(key) + ": ";
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
    BeforeValue();
    out_ += JsonString(text);
    return *this;
}

JsonWriter& JsonWriter::Int(int64_t value) {
    BeforeValue();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Uint(uint64_t value) {
    BeforeValue();
    out_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Fixed(double value, int decimals) {
    if (!std::isfinite(value))
        return Null();
    BeforeValue();
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    out_ += text;
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    out_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    out_ += "null";
    return *this;
}

std::string JsonWriter::Take() {
    std::string document = std::move(out_);
    out_.clear();
    levels_.clear();
    after_key_ = false;
    return document + "\n";
}

}  // namespace vboard
