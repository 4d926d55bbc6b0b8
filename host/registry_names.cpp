#include "host/registry_names.h"

#include <algorithm>

namespace host {

wchar_t FoldRegistryChar(wchar_t c) {
    if ((c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
        (c >= 0x391 && c <= 0x3AB && c != 0x3A2) || (c >= 0x410 && c <= 0x42F)) {
        return static_cast<wchar_t>(c + 0x20);
    }
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<wchar_t>(c + 0x50);
    return c;
}

std::wstring FoldRegistryName(const std::wstring& name) {
    std::wstring folded = name;
    for (auto& c : folded)
        c = FoldRegistryChar(c);
    return folded;
}

bool SplitKeyPath(const std::wstring& path, std::vector<std::wstring>* parts) {
    size_t end = path.find_last_not_of(L'\\');
    if (end == std::wstring::npos)
        return path.empty();
    for (size_t start = 0; start <= end;) {
        size_t stop = std::min(path.find(L'\\', start), end + 1);
        if (stop == start)
            return false;
        parts->push_back(path.substr(start, stop - start));
        start = stop + 1;
    }
    return true;
}

}  // namespace host
