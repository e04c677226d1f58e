// Logs from a source whose reported file name is full of printf directives.
#include "OddlyNamedSource.h"

#include "NorvaneLogger.h"

#line 1 "odd%s%n%d%%name.cpp"
void logFromOddlyNamedSource() {
    NorvaneLogger::info("still %d", std::source_location::current(), 42);
}
