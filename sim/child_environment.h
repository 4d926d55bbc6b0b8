// What the board hands a program it starts (the command under test, Wine's tools): its own
// environment with some entries replaced, and the argument and environment vectors in the form
// the process calls take.
#pragma once

#include <string>
#include <vector>

namespace sim {

// The board's environment with `extra` (NAME=VALUE) added; an entry of extra replaces the
// board's entry of the same name.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra);

// Pointers to the strings' characters, then a null: valid while the strings are.
std::vector<char*> NullTerminated(std::vector<std::string>& strings);

}  // namespace sim
