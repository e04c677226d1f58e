#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
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

// A program started with standard input, output or error closed would hand that number to the
// next file it opens, a bus perhaps, and the library's console lines would go there. Each
// closed one is held by /dev/null instead; opens take the lowest free number, so each lands
// on the one that was closed.
void openStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            ::open("/dev/null", O_RDWR);
        }
    }
}

}  // namespace

// Without arguments the program only announces itself and brings the logger up, ending with
// status 1 whether or not the logger could open its file. With arguments it is the operator
// tool.
int main(int argc, char** argv) {
    openStandardDescriptors();
    if (argc > 1) {
        return cli::runTool(argc, argv);
    }
    printBanner();
    NorvaneLogger::init();
    return 1;
}
