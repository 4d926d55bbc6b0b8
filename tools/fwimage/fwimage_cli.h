// fwimage: makes, checks and describes firmware images.
//   fwimage generate sw|fs FILE   writes a generated image
//   fwimage info FILE             prints the image's facts as one JSON object
//   fwimage verify FILE           checks that the records tile the image
// Exit status: 0 done and good, 1 a bad image or a file that cannot be read or written (the
// system's reason on standard error: "fwimage: PATH: REASON"),
// 2 a usage error.
#pragma once

#include <ostream>
#include <string>

#include "download/image_format.h"

namespace fwimage {

int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The facts as one JSON object, keys in snake_case.
std::string FactsJson(const image::Facts& facts);

}  // namespace fwimage
