#include <iostream>

#include "tools/fwimage/fwimage_cli.h"

int main(int argc, char** argv) {
    return fwimage::Run(argc, argv, std::cout, std::cerr);
}
