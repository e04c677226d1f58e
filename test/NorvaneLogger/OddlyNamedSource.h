#pragma once

// Writes the info record "still 42" from line 7 of "odd%s%n%d%%name.cpp".
void logFromOddlyNamedSource();
