// The one line that says a file of the device root cannot be written (the debug log, the power
// log) and what the update does without it.
#pragma once

#include <cstdio>
#include <string>

namespace host {

void ReportLostFile(std::FILE* report, const char* what, const std::string& path,
                    const std::string& reason, const char* consequence);

}  // namespace host
