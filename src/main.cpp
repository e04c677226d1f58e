#include <iostream>

#include "BuildStamp.h"
#include "NorvaneLogger.h"
#include "cli/Tool.h"

namespace {

constexpr const char* kRule = "-------------------------------------------------";

void printBanner() {
    std::cout << kRule << std::endl;
    std::cout << "COMPILED AT " << kBuildStamp << std::endl;
    std::cout << kRule << std::endl;
}

}  // namespace

// Without arguments the program only announces itself and brings the logger up, ending with
// status 1 whether or not the logger could open its file. With arguments it is the operator
// tool.
int main(int argc, char** argv) {
    if (argc > 1) {
        return cli::runTool(argc, argv);
    }
    printBanner();
    NorvaneLogger::init();
    return 1;
}
