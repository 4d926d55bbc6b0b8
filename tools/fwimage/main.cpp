#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "tools/fwimage/fwimage_cli.h"

int main(int argc, char** argv) {
    const int status = fwimage::Run(argc, argv, std::cout, std::cerr);
    // What was printed must have reached standard output for a script to rely on it.
    if (!std::cout.flush() || std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::fprintf(stderr, "fwimage: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return 1;
    }
    return status;
}
