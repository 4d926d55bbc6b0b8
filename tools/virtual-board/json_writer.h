// A small JSON writer for the board's report: objects and arrays, each laid out over lines
// (one member a line, indented) or on one line, and strings escaped so that the output is
// valid JSON whatever bytes they hold (bytes that are not UTF-8 are written as the code
// points of the same value).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vboard {

class JsonWriter {
  public:
    enum class Layout { kLines, kInline };

    JsonWriter& BeginObject(Layout layout = Layout::kLines);
    JsonWriter& EndObject();
    JsonWriter& BeginArray(Layout layout = Layout::kLines);
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);

    JsonWriter& String(std::string_view text);
    JsonWriter& Int(int64_t value);
    JsonWriter& Uint(uint64_t value);
    // Fixed-point with the given number of decimals.
    JsonWriter& Fixed(double value, int decimals);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // The document, with a final newline.
    std::string Take();

  private:
    struct Level {
        Layout layout;
        bool empty = true;
    };
    void BeforeValue();
    void Close(char bracket);
    void Indent();

    std::string out_;
    std::vector<Level> levels_;
    bool after_key_ = false;
};

// text as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace vboard
