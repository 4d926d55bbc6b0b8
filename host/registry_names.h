// The registry's rules for names, shared by every store so that a test on one store holds for
// the others and every program sharing a store agrees on them.
#pragma once

#include <string>
#include <vector>

namespace host {

// Case folding that does not depend on the process's locale: the capitals of ASCII, Latin-1,
// Greek and Cyrillic.  Key and value names compare in this form.
wchar_t FoldRegistryChar(wchar_t c);
std::wstring FoldRegistryName(const std::wstring& name);

// Splits a key path at '\'.  Trailing separators are ignored; an empty name anywhere else (a
// leading '\', or "a\\b") makes the path invalid.
bool SplitKeyPath(const std::wstring& path, std::vector<std::wstring>* parts);

}  // namespace host
