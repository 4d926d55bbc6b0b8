#include "tools/common/cli.h"

#include <string>

#include "host/version.h"

namespace tools {

std::optional<int> AnswerHelpOrVersion(int argc, char** argv, std::string_view name,
                                       std::string_view usage, std::ostream& out) {
    if (argc < 2)
        return std::nullopt;
    const std::string_view first = argv[1];
    if (first == "--help" || first == "-h") {
        out << usage;
        out.flush();
        return 0;
    }
    if (first == "--version") {
        out << name << ' ' << host::ProjectVersion() << '\n';
        out.flush();
        return 0;
    }
    return std::nullopt;
}

int UsageError(std::string_view name, std::string_view what, std::ostream& err) {
    err << name << ": " << what << "\nTry '" << name << " --help'.\n";
    err.flush();
    return kExitUsage;
}

}  // namespace tools
