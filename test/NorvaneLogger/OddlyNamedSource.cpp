// Logs from a source whose reported file name is full of printf directives, at
// lines that stay fixed whatever else this file holds.
#include "OddlyNamedSource.h"

#include "NorvaneLogger.h"

void logFromOddlyNamedSource() {
#line 7 "odd%s%n%d%%name.cpp"
    NorvaneLogger::info("still %d", NorvaneLogger::Location::current(), 42);
    NorvaneLogger::info("no arguments");
    NorvaneLogger::log(3, "[warn]", "%d%% done", nullptr, 50);
    NorvaneLogger::log(2, "[debug]", "file only", nullptr);
    NorvaneLogger::log(1, "[trace]", "printed only", nullptr);
}
