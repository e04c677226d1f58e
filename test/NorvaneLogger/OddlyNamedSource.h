#pragma once

// Logs from lines 7 to 11 of "odd%s%n%d%%name.cpp": "still 42" and "no
// arguments" (level 3, the second at its default location), "50% done" (level
// 3, no location), "file only" (level 2) and "printed only" (level 1).
void logFromOddlyNamedSource();
