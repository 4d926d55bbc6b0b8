// The report of a lost file of the device root.
#include "host/lost_file.h"

namespace host {

void ReportLostFile(std::FILE* report, const char* what, const std::string& path,
                    const std::string& reason, const char* consequence) {
    std::fprintf(report, "gsm-updater: the %s %s cannot be written: %s; %s\n", what, path.c_str(),
                 reason.c_str(), consequence);
    std::fflush(report);
}

}  // namespace host
