// The strict JSON reader.
#include "tests/vboard/json_reader.h"

#include <cstdlib>

namespace json {
namespace {

class Reader {
  public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool Document(Value* value) {
        if (!Any(value, 0))
            return false;
        Space();
        return pos_ == text_.size() || Fail("text after the value");
    }
    const std::string& error() const { return error_; }

  private:
    bool Fail(const std::string& why) {
        if (error_.empty())
            error_ = why + " at offset " + std::to_string(pos_);
        return false;
    }
    void Space() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\t'))
            ++pos_;
    }
    bool Eat(char c) {
        Space();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    bool Word(std::string_view word) {
        if (text_.substr(pos_, word.size()) != word)
            return Fail("bad literal");
        pos_ += word.size();
        return true;
    }

    bool Any(Value* value, int depth) {
        if (depth > 64)
            return Fail("nested too deep");
        Space();
        if (pos_ >= text_.size())
            return Fail("missing value");
        switch (text_[pos_]) {
            case '{':
                return Object(value, depth);
            case '[':
                return Array(value, depth);
            case '"':
                value->kind = Value::Kind::kString;
                return String(&value->string);
            case 't':
                value->kind = Value::Kind::kBool;
                value->boolean = true;
                return Word("true");
            case 'f':
                value->kind = Value::Kind::kBool;
                return Word("false");
            case 'n':
                return Word("null");
            default:
                return Number(value);
        }
    }

    bool Object(Value* value, int depth) {
        value->kind = Value::Kind::kObject;
        ++pos_;
        if (Eat('}'))
            return true;
        do {
            std::string key;
            Space();
            if (pos_ >= text_.size() || text_[pos_] != '"' || !String(&key))
                return Fail("bad member name");
            if (!Eat(':'))
                return Fail("missing ':'");
            Value member;
            if (!Any(&member, depth + 1))
                return false;
            value->members.emplace_back(std::move(key), std::move(member));
        } while (Eat(','));
        return Eat('}') || Fail("missing '}'");
    }

    bool Array(Value* value, int depth) {
        value->kind = Value::Kind::kArray;
        ++pos_;
        if (Eat(']'))
            return true;
        do {
            Value element;
            if (!Any(&element, depth + 1))
                return false;
            value->array.push_back(std::move(element));
        } while (Eat(','));
        return Eat(']') || Fail("missing ']'");
    }

    bool Digits() {
        const size_t start = pos_;
        while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9')
            ++pos_;
        return pos_ > start;
    }

    bool Number(Value* value) {
        const size_t start = pos_;
        if (text_[pos_] == '-')
            ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '0')
            ++pos_;
        else if (!Digits())
            return Fail("bad value");
        if (pos_ < text_.size() && text_[pos_] == '.' && (++pos_, !Digits()))
            return Fail("bad fraction");
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-'))
                ++pos_;
            if (!Digits())
                return Fail("bad exponent");
        }
        value->kind = Value::Kind::kNumber;
        value->number =
            std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
        return true;
    }

    bool Hex4(unsigned* code) {
        if (pos_ + 4 > text_.size())
            return Fail("short \\u escape");
        const std::string digits(text_.substr(pos_, 4));
        char* end = nullptr;
        *code = static_cast<unsigned>(std::strtoul(digits.c_str(), &end, 16));
        if (end != digits.c_str() + 4)
            return Fail("bad \\u escape");
        pos_ += 4;
        return true;
    }

    static void Utf8(unsigned code, std::string* out) {
        if (code < 0x80) {
            *out += static_cast<char>(code);
        } else if (code < 0x800) {
            *out += static_cast<char>(0xC0 | (code >> 6));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            *out += static_cast<char>(0xE0 | (code >> 12));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (code >> 18));
            *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool Escape(std::string* out) {
        const char c = text_[pos_++];
        const std::string_view plain = "\"\\/bfnrt";
        const std::string_view meant = "\"\\/\b\f\n\r\t";
        if (const size_t at = plain.find(c); at != std::string_view::npos) {
            *out += meant[at];
            return true;
        }
        unsigned code = 0;
        if (c != 'u' || !Hex4(&code))
            return Fail("bad escape");
        if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (text_.substr(pos_, 2) != "\\u" || (pos_ += 2, !Hex4(&low)) || low < 0xDC00 ||
                low > 0xDFFF)
                return Fail("lone surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return Fail("lone surrogate");
        }
        Utf8(code, out);
        return true;
    }

    bool String(std::string* out) {
        ++pos_;
        while (pos_ < text_.size()) {
            const auto c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20)
                return Fail("control character in a string");
            if (c == '\\') {
                ++pos_;
                if (pos_ >= text_.size() || !Escape(out))
                    return Fail("bad escape");
                continue;
            }
            *out += static_cast<char>(c);
            ++pos_;
        }
        return Fail("unterminated string");
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
};

const Value kNull;

}  // namespace

bool Value::Has(std::string_view key) const {
    for (const auto& [name, value] : members) {
        if (name == key)
            return true;
    }
    return false;
}

const Value& Value::operator[](std::string_view key) const {
    for (const auto& [name, value] : members) {
        if (name == key)
            return value;
    }
    return kNull;
}

std::optional<Value> Parse(std::string_view text, std::string* error) {
    Reader reader(text);
    Value value;
    if (!reader.Document(&value)) {
        *error = reader.error();
        return std::nullopt;
    }
    return value;
}

}  // namespace json
