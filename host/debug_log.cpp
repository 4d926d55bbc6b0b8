// Debug output: formatting, the capture sink and the file sink.
#include "host/debug_log.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "host/platform.h"

namespace host {

void DebugOut(const char* format, ...) {
    // Most texts are short: format on the stack and only fall back to the heap for long ones.
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        CurrentLog().Write(std::string_view(small, length));
        return;
    }
    std::string big(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, again);
    va_end(again);
    big.resize(length);
    CurrentLog().Write(big);
}

namespace {

constexpr uint32_t kReplacement = 0xFFFD;
constexpr bool kUtf16 = sizeof(wchar_t) == 2;

void AppendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Where wide characters are UTF-16 (Windows), a character above U+FFFF is a surrogate pair.
void AppendWide(std::wstring& out, uint32_t c) {
    if (kUtf16 && c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        return;
    }
    out += static_cast<wchar_t>(c);
}

bool IsHighSurrogate(uint32_t c) {
    return c >= 0xD800 && c < 0xDC00;
}
bool IsLowSurrogate(uint32_t c) {
    return c >= 0xDC00 && c < 0xE000;
}

// The code point of the UTF-8 sequence at text[*i], moving *i past it; a malformed or cut
// sequence is one U+FFFD, so that a byte of garbage never swallows the text after it.
uint32_t DecodeUtf8(std::string_view text, size_t* i) {
    const auto lead = static_cast<unsigned char>(text[(*i)++]);
    const int extra = lead < 0x80   ? 0
                      : lead < 0xC2 ? -1
                      : lead < 0xE0 ? 1
                      : lead < 0xF0 ? 2
                      : lead < 0xF5 ? 3
                                    : -1;
    if (extra < 0)
        return kReplacement;
    uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
    for (int k = 0; k < extra; ++k, ++*i) {
        if (*i >= text.size() || (static_cast<unsigned char>(text[*i]) & 0xC0) != 0x80)
            return kReplacement;
        code = (code << 6) | (static_cast<unsigned char>(text[*i]) & 0x3F);
    }
    return code > 0x10FFFF || (code >= 0xD800 && code < 0xE000) ? kReplacement : code;
}

}  // namespace

std::string Narrow(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<uint32_t>(text[i]);
        if (kUtf16 && IsHighSurrogate(c) && i + 1 < text.size() &&
            IsLowSurrogate(static_cast<uint32_t>(text[i + 1]))) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c) || c > 0x10FFFF) {
            c = kReplacement;  // a lone half of a pair has no UTF-8 form
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring Widen(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        AppendWide(out, DecodeUtf8(text, &i));
    return out;
}

void CaptureLog::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.emplace_back(text);
}

std::vector<std::string> CaptureLog::Texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

std::string CaptureLog::All() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& text : texts_)
        all += text;
    return all;
}

void CaptureLog::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    texts_.clear();
}

FileLog::FileLog(const std::string& path) {
    if (path.empty()) {
        file_ = stderr;
        return;
    }
    file_ = std::fopen(path.c_str(), "ab");
    owned_ = file_ != nullptr;
}

FileLog::~FileLog() {
    if (owned_)
        std::fclose(static_cast<FILE*>(file_));
}

void FileLog::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ == nullptr)
        return;
    auto* file = static_cast<FILE*>(file_);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

}  // namespace host
