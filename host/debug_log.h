// The system's debug output: printf-style texts written verbatim ("\r\n" and leading "\n"
// included) into a sink.  Production writes to the device root's debug log; tests capture.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host {

class LogSink {
  public:
    virtual ~LogSink() = default;
    // Called once per DebugOut with the whole formatted text; must be thread-safe.
    virtual void Write(std::string_view text) = 0;
};

// printf-style formatting of one debug text into the installed sink.  Wide strings are passed
// as UTF-8 (see Narrow()).
void DebugOut(const char* format, ...) __attribute__((format(printf, 1, 2)));

// UTF-8 form of a wide string, for "%s" in DebugOut.
std::string Narrow(std::wstring_view text);
// Wide form of a UTF-8 string.
std::wstring Widen(std::string_view text);

// Keeps every text in memory; for tests.
class CaptureLog final : public LogSink {
  public:
    void Write(std::string_view text) override;
    std::vector<std::string> Texts();  // one entry per DebugOut
    std::string All();                 // every text joined
    void Clear();

  private:
    std::mutex mutex_;
    std::vector<std::string> texts_;
};

// Appends to a file (or stderr when the path is empty), flushing after every text so that a
// crash loses nothing.
class FileLog final : public LogSink {
  public:
    explicit FileLog(const std::string& path);
    ~FileLog() override;
    bool ok() const { return file_ != nullptr; }
    void Write(std::string_view text) override;

  private:
    std::mutex mutex_;
    void* file_ = nullptr;  // FILE*, kept opaque so that the header stays OS-neutral
    bool owned_ = false;
};

}  // namespace host
