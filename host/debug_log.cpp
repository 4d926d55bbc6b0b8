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

std::string Narrow(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<uint32_t>(wc);
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
    return out;
}

std::wstring Widen(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        ++i;
        for (int k = 0; k < extra && i < text.size(); ++k, ++i) {
            code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        out += static_cast<wchar_t>(code);
    }
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
