// Wine's registry as text, both ways: the .reg files that `regedit /S` imports (written here in
// UTF-16 with a byte-order mark, so that a device root's path outside ASCII survives), and the
// files in which Wine's server keeps a prefix's registry (system.reg for HKEY_LOCAL_MACHINE,
// user.reg for HKEY_CURRENT_USER), read back once the server has written them.
//
// Wine's own files look like this:
//   WINE REGISTRY Version 2
//   ;; All keys relative to \\Machine
//   [Drivers\\Active\\05] 1796710500
//   #time=1dd86db74acd932
//   "Hnd"=dword:00000140
//   "Name"="VEI1:"
// A section names a key by its path from the file's root, each character escaped as in a
// string; a value is "name"=dword:XXXXXXXX, "name"="text", or some hex form (hex:, hex(N):,
// str(N):) that may run on over lines ending in a backslash.  In names and strings, a backslash
// takes the next character literally, except \xH... (up to four hex digits: a UTF-16 unit),
// \NNN (up to three octal digits) and the C escapes \a \b \t \n \v \f \r \e.
//
// Only DWORD and string values are read; the others are kept as present but without data.
// Key paths and value names compare without regard to ASCII case, as in the registry.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sim {

// A key's path below its root, with single backslashes: "Drivers\Active\05".
class WineRegistry {
  public:
    // False with the line and what was wrong in *error when the text is not such a file.
    bool Parse(std::string_view text, std::string* error);
    bool Load(const std::filesystem::path& file, std::string* error);

    bool HasKey(std::string_view key) const;
    // None when the key or the value is missing, or the value is of another type.
    std::optional<uint32_t> Dword(std::string_view key, std::string_view name) const;
    std::optional<std::string> String(std::string_view key, std::string_view name) const;
    // The names of the keys directly below `key`, in the file's order.
    std::vector<std::string> Subkeys(std::string_view key) const;

  private:
    struct Value {
        std::string name;
        std::variant<std::monostate, uint32_t, std::string> data;
    };
    struct Key {
        std::string path;
        std::vector<Value> values;
    };
    const Value* Find(std::string_view key, std::string_view name) const;
    bool ParseValue(std::string_view line, Key* key, std::string* problem);

    std::vector<Key> keys_;
    std::map<std::string, size_t> index_;  // lower-cased path -> keys_
};

// One value for a .reg file; key is a full path from its root key, e.g.
// "HKEY_LOCAL_MACHINE\Software\Wine\Ports".  Texts are UTF-8.
struct RegEntry {
    std::string key;
    std::string name;
    std::variant<uint32_t, std::string> value;
};

// The text of a .reg file (version 5) holding the entries, each key's section once, in the
// order the keys first come; entries whose strings are not UTF-8 or hold a control character
// other than a line break make it fail with the entry named in *error.
std::optional<std::string> RegFileText(const std::vector<RegEntry>& entries, std::string* error);

// UTF-8 text as UTF-16LE bytes after a byte-order mark, the form regedit reads for version 5.
std::string Utf16LeWithBom(std::string_view utf8);

}  // namespace sim
