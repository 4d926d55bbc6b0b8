// The environment and argument vectors of a started program.
#include "sim/child_environment.h"

#include <string_view>

extern char** environ;

namespace sim {
namespace {

std::string_view Name(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

}  // namespace

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const std::string& mine : extra)
            replaced = replaced || Name(mine) == Name(*entry);
        if (!replaced)
            entries.emplace_back(*entry);
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

std::vector<char*> NullTerminated(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace sim
