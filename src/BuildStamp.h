#pragma once

// When this program was built, as "Mon Jun 23 10:32:13 2025". Generated on
// every build; reproducible under SOURCE_DATE_EPOCH.
extern const char kBuildStamp[];
