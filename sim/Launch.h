#pragma once
// What `i2c-kestro-sim` hands its preload library in PROGRAM's environment,
// and the launcher's exit statuses of its own.

namespace sim::launch {

inline constexpr const char* kScenario = "KESTRO_SIM_SCENARIO";  // scenario file
inline constexpr const char* kFast = "KESTRO_SIM_FAST";          // set: waits return at once
inline constexpr const char* kTrace = "KESTRO_SIM_TRACE";        // trace file, "-" for stderr
inline constexpr const char* kReport = "KESTRO_SIM_REPORT";      // the board's half of the report
inline constexpr const char* kState = "KESTRO_SIM_STATE";        // folder of node files
// Device API: the authority to trust and where the endpoint really is
// (libcurl's CURLOPT_CONNECT_TO form "host:port:127.0.0.1:port").
inline constexpr const char* kAuthority = "KESTRO_SIM_CA";
inline constexpr const char* kConnectTo = "KESTRO_SIM_CONNECT_TO";

inline constexpr int kBadScenario = 64;  // also a bad command line
inline constexpr int kCannotRun = 127;   // PROGRAM could not be started

}  // namespace sim::launch
