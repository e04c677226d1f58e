#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <map>

#include "BoardTestSupport.h"
#include "DeviceApiServer.h"
#include "Golden.h"

namespace {

// The time limits the fetch put on its libcurl transfer, in the units it set them. They reach
// libcurl divided by `shortening` (the low-speed time in whole seconds, at least 1), so that a
// test meets a limit of the fetch in about a second.
std::map<CURLoption, long> recorded;
long shortening = 1;

}  // namespace

// Every option passes through to libcurl, each value as the one 64-bit word (a long, a
// curl_off_t or a pointer) it is on the 64-bit targets this suite runs on.
extern "C" CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
    static_assert(sizeof(long) == sizeof(void*) && sizeof(curl_off_t) == sizeof(void*));
    static const auto real =
        reinterpret_cast<CURLcode (*)(CURL*, CURLoption, ...)>(dlsym(RTLD_NEXT, "curl_easy_setopt"));
    va_list args;
    va_start(args, option);
    void* const value = va_arg(args, void*);
    va_end(args);
    const long number = reinterpret_cast<long>(value);
    if (option == CURLOPT_CONNECTTIMEOUT || option == CURLOPT_TIMEOUT || option == CURLOPT_LOW_SPEED_TIME ||
        option == CURLOPT_LOW_SPEED_LIMIT) {
        recorded[option] = number;
    }
    if (option == CURLOPT_CONNECTTIMEOUT || option == CURLOPT_TIMEOUT) {
        return real(handle, option == CURLOPT_TIMEOUT ? CURLOPT_TIMEOUT_MS : CURLOPT_CONNECTTIMEOUT_MS,
                    number * 1000 / shortening);
    }
    return option == CURLOPT_LOW_SPEED_TIME ? real(handle, option, number < shortening ? 1L : number / shortening)
                                            : real(handle, option, value);
}

namespace {

class DeviceApi : public testing::Test {
  protected:
    void SetUp() override {
        board = idleBoard();
        board->_endpoint = server.endpoint();
        board->_api_key = "k-123";
    }

    std::string fetch() { return captureConsole([&] { board->fetchDevices(); }).err; }

    // A device stored by an earlier fetch, with a reference of the test's own: once the board
    // lets go of it, boardReleased() is true.
    void holdOld() { old = json_object_get(board->_devices["old"] = json_tokener_parse("{}")); }
    bool boardReleased() { return json_object_put(old) == 1; }

    DeviceApiServer server;
    BoardPtr board;
    json_object* old = nullptr;
};

TEST_F(DeviceApi, SendsOneGetWithTheDevicePathBothHeadersAndTimeLimits) {
    recorded = {};
    fetch();

    ASSERT_EQ(server.requests().size(), 1U);
    const RecordedRequest request = server.requests()[0];
    EXPECT_EQ(request.method + " " + request.path + keysOf(request.headerValues("Accept")) +
                  keysOf(request.headerValues("x-api-key")),
              "GET /api/v1/device application/json k-123");
    EXPECT_EQ(recorded, (std::map<CURLoption, long>{{CURLOPT_CONNECTTIMEOUT, 10}, {CURLOPT_LOW_SPEED_LIMIT, 1},
                                                    {CURLOPT_LOW_SPEED_TIME, 30}, {CURLOPT_TIMEOUT, 60}}));
}

// Whatever the HTTP status, a list of device objects with string ids replaces the devices, each
// document whole under its id, the first of an id kept. Anything else is code 8 and keeps only
// the elements after the last bad one. The body may reach 4 MiB. Each body's outcome: its code,
// whether the device held before was released, and the documents stored.
TEST_F(DeviceApi, StoresTheDocumentsOfABodyFromItsEndUpToItsFirstFault) {
    board->_endpoint = "localhost:" + std::to_string(server.port());  // the certificate's host name
    const std::pair<int, std::string> bodies[] = {
        {200, R"([{"id": "n2", "config": {"addr": 9}}, {"id": "n1", "name": "x"}, {"id": "n2", "v": 2}])"},
        {500, R"([{"id": "n1"}])"}, {404, "[" + std::string(4 * 1024 * 1024 - 2, ' ') + "]"},
        {200, R"({"id": "n1"})"}, {200, "<html><body>502 Bad Gateway</body></html>"}, {200, ""}, {200, "null"},
        {200, "[{\"id\": \"n1\"}"}, {200, R"([{"id": "a"}, {"id": 7}, {"id": "c"}])"},
        {200, R"([{"id": "a"}, {"name": "b"}, {"id": "c"}])"}, {200, R"([{"id": "a"}, {"id": null}, {"id": "c"}])"},
        {200, R"([{"id": "a"}, "b", {"id": "c"}])"},
    };
    std::string outcomes;
    for (const auto& [status, body] : bodies) {
        holdOld();
        board->_error = OKEY;
        server.respondWith(status, body, "text/html");
        const std::string err = fetch();
        outcomes += "== " + std::to_string(status) + " " + body.substr(0, 60) + "\n" + err +
                    board->getErrorString() + (boardReleased() ? ", old released" : ", old held") + "\n";
        for (const auto& [id, document] : board->_devices) {
            outcomes += "  " + id + " " + json_object_to_json_string_ext(document, 0) + "\n";
        }
    }
    expectGolden("device-bodies.txt", outcomes);
    old = json_object_get(board->_devices["c"]);
    board.reset();
    EXPECT_TRUE(boardReleased()) << "the documents held at destruction are released";
}

// A server that refuses, cannot be trusted, stalls, trickles or floods ends the fetch as a
// transport failure. The time limits reach libcurl shortened, so each is met in about a second.
// Rows: the peer (the board's server, a refusing port, an untrusted server, a silent listener),
// the server's fault, the shortening, and what the message says.
const std::tuple<const char*, int, ApiFault, long, const char*> kServerFaults[] = {
    {"FromAPortThatRefuses", 1, ApiFault::None, 1, "."},
    {"FromAnUntrustedServer", 2, ApiFault::None, 1, "certificate"},
    {"FromAListenerThatNeverStartsTls", 3, ApiFault::None, 20, "[Tt]imed? ?out"},
    {"FromASilentServer", 0, ApiFault::Silent, 20, "too slow"},
    {"FromAServerTricklingSlowly", 0, ApiFault::TrickleSlowly, 20, "too slow"},
    {"FromAServerTricklingForever", 0, ApiFault::TrickleForever, 20, "timed out"},
    {"FromAServerFloodingForever", 0, ApiFault::FloodForever, 1, "larger than 4194304"},
};

class DeviceApiServerFault : public DeviceApi, public testing::WithParamInterface<size_t> {};

TEST_P(DeviceApiServerFault, IsARuntimeErrorWithServerResponseThatKeepsTheDevices) {
    const RefusingPort refusing;
    const SilentListener silent;
    const TestAuthority stranger("unknown authority");
    DeviceApiServer impostor(stranger);
    const std::string endpoints[] = {server.endpoint(), refusing.endpoint(), impostor.endpoint(), silent.endpoint()};
    const auto& [name, peer, fault, divisor, says] = kServerFaults[GetParam()];
    shortening = divisor;
    server.misbehave(fault);
    holdOld();
    board->_endpoint = endpoints[peer];

    EXPECT_THAT(fetch(), testing::MatchesRegex("Runtime error: [^\n]*" + std::string(says) + "[^\n]*\n"));
    EXPECT_EQ(board->getError(), SERVER_RESPONSE);
    EXPECT_EQ(keysOf(board->_devices), " old");
    EXPECT_TRUE(impostor.requests().empty());
    json_object_put(old);
    shortening = 1;
}

INSTANTIATE_TEST_SUITE_P(Behaviours, DeviceApiServerFault,
                         testing::Range(size_t{0}, std::size(kServerFaults)),
                         [](const auto& info) { return std::get<0>(kServerFaults[info.param]); });

}  // namespace
