// Logs from a source whose reported file name is full of printf directives.
#include "OddlyNamedSource.h"

#include "NorvaneLogger.h"

void logFromOddlyNamedSource() {
#line 7 "odd%s%n%d%%name.cpp"
    NorvaneLogger::info("still %d", NorvaneLogger::Location::current(), 42);
}
