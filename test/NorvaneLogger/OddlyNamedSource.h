#pragma once

// Writes the info record "still 42" from line 1 of "odd%s%n%d%%name.cpp".
void logFromOddlyNamedSource();
