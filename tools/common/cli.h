// The one convention of every program's command line, so that a person or a script meets the
// same answers everywhere:
//   NAME --help     the usage on standard output, exit 0
//   NAME --version  "NAME VERSION" on standard output, exit 0 (VERSION names the commit when
//                   the build knew it)
//   a usage error   "NAME: WHAT WAS WRONG" and "Try 'NAME --help'." on standard error, exit 2
#pragma once

#include <optional>
#include <ostream>
#include <string_view>

namespace tools {

constexpr int kExitUsage = 2;

// When the first argument is --help or --version, answers it on `out` and returns 0;
// otherwise nothing.
std::optional<int> AnswerHelpOrVersion(int argc, char** argv, std::string_view name,
                                       std::string_view usage, std::ostream& out);

// Writes the usage error and returns kExitUsage.
int UsageError(std::string_view name, std::string_view what, std::ostream& err);

}  // namespace tools
