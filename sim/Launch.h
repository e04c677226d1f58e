#pragma once
// What `i2c-kestro-sim` hands its preload library in PROGRAM's environment,
// and the launcher's exit statuses of its own.

namespace sim::launch {

// The socket of the launcher that holds the run's board (see BoardLink.h).
inline constexpr const char* kBoard = "KESTRO_SIM_BOARD";
// Device API: the endpoint that the board's configuration names ("host" or
// "host:port"), and the name of the launcher's abstract Unix socket that starts
// the endpoint's server on the first connection and answers each connection with
// two lines: the authority file to trust and where the endpoint really is
// (libcurl's CURLOPT_CONNECT_TO form "host:port:127.0.0.1:port").
inline constexpr const char* kEndpoint = "KESTRO_SIM_ENDPOINT";
inline constexpr const char* kDeviceApi = "KESTRO_SIM_DEVICE_API";

inline constexpr int kBadScenario = 64;  // also a bad command line
inline constexpr int kNoBoard = 69;      // --attach: no board of that name is served
inline constexpr int kCannotRun = 127;   // PROGRAM could not be started

}  // namespace sim::launch
