#include <iostream>

#include "BuildStamp.h"
#include "NorvaneLogger.h"

namespace {

constexpr const char* kRule = "-------------------------------------------------";

void printBanner() {
    std::cout << kRule << std::endl;
    std::cout << "COMPILED AT " << kBuildStamp << std::endl;
    std::cout << kRule << std::endl;
}

}  // namespace

// The program only announces itself and brings the logger up; it always ends
// with status 1, whether or not the logger could open its file.
int main() {
    printBanner();
    NorvaneLogger::init();
    return 1;
}
