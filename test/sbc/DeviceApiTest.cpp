#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "BoardTestSupport.h"
#include "CurlTimeLimits.h"
#include "DeviceApiServer.h"

using testing::ContainsRegex;
using testing::ElementsAre;
using testing::IsEmpty;
using Ids = std::vector<std::string>;

namespace {

std::string textOf(json_object* document) {
    return json_object_to_json_string_ext(document, 0);
}

class DeviceApi : public testing::Test {
  protected:
    void SetUp() override {
        board = idleBoard();
        board->_endpoint = server.endpoint();
        board->_api_key = "k-123";
    }

    Console fetch() {
        return captureConsole([&] { board->fetchDevices(); });
    }

    // A device stored by an earlier fetch, with a reference of the test's own: once the board
    // lets go of it, boardReleased() is true.
    void holdOld() { old = json_object_get(board->_devices["old"] = json_tokener_parse("{}")); }
    bool boardReleased() { return json_object_put(old) == 1; }

    Ids ids() const { return keysOf(board->_devices); }

    DeviceApiServer server;
    BoardPtr board;
    json_object* old = nullptr;
};

TEST_F(DeviceApi, SendsOneGetWithTheDevicePathAndBothHeaders) {
    fetch();

    const std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/api/v1/device");
    EXPECT_THAT(requests[0].headerValues("Accept"), ElementsAre("application/json"));
    EXPECT_THAT(requests[0].headerValues("x-api-key"), ElementsAre("k-123"));
}

TEST_F(DeviceApi, ReplacesTheDevicesWithEveryDocumentWholeUnderItsIdTheFirstOfAnIdKept) {
    holdOld();
    server.respondWith(200, R"([{"id": "n2", "config": {"addr": 9}},
                                {"id": "n1", "config": {"addr": 8}, "name": "x"},
                                {"id": "n2", "v": 2}])");

    const Console console = fetch();

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    ASSERT_EQ(ids(), (Ids{"n1", "n2"}));
    EXPECT_EQ(textOf(board->_devices["n1"]), R"({"id":"n1","config":{"addr":8},"name":"x"})");
    EXPECT_EQ(textOf(board->_devices["n2"]), R"({"id":"n2","config":{"addr":9}})");
    EXPECT_TRUE(boardReleased());
}

TEST_F(DeviceApi, ReadsAnyStatusBodyOfUpToFourMebibytesAtTheCertificatesHostName) {
    board->_endpoint = "localhost:" + std::to_string(server.port());
    for (const int status : {200, 404, 500}) {
        server.respondWith(status, R"([{"id": "n1"}])");
        EXPECT_EQ(fetch().err, "") << status;
        EXPECT_EQ(ids(), Ids{"n1"}) << status;
    }
    server.respondWith(200, "[" + std::string(4 * 1024 * 1024 - 2, ' ') + "]");

    EXPECT_EQ(fetch().err, "");
    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_THAT(board->_devices, IsEmpty());
}

TEST_F(DeviceApi, DocumentsHeldAtDestructionAreReleased) {
    server.respondWith(200, R"([{"id": "n1"}])");
    fetch();
    old = json_object_get(board->_devices["n1"]);

    board.reset();

    EXPECT_TRUE(boardReleased());
}

TEST_F(DeviceApi, TheFetchIsBoundByConnectLowSpeedAndTotalTimeLimits) {
    resetCurlTimeLimits();

    fetch();

    EXPECT_EQ(recordedCurlTimeLimits(),
              (CurlTimeLimits{.connect = 10, .lowSpeedBytes = 1, .lowSpeedTime = 30, .total = 60}));
}

// A body that is not a list of device objects with a string id: code 8, the held devices
// released, and only the elements after the last bad one stored.
struct BadBody {
    const char* name;
    const char* body;
    Ids kept;
};

void PrintTo(const BadBody& row, std::ostream* out) {
    *out << row.name;
}

class DeviceApiBadBody : public DeviceApi, public testing::WithParamInterface<BadBody> {};

TEST_P(DeviceApiBadBody, IsCode8AndKeepsOnlyTheElementsAfterTheBadOne) {
    holdOld();
    server.respondWith(200, GetParam().body, "text/html");

    const Console console = fetch();

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), NODES_CONFIG_PARSE);
    EXPECT_EQ(ids(), GetParam().kept);
    EXPECT_TRUE(boardReleased());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, DeviceApiBadBody,
    testing::Values(BadBody{"Object", R"({"id": "n1"})", {}},
                    BadBody{"Html", "<html><body>502 Bad Gateway</body></html>", {}},
                    BadBody{"Empty", "", {}}, BadBody{"Null", "null", {}},
                    BadBody{"Unterminated", "[{\"id\": \"n1\"}", {}},
                    BadBody{"IdNumber", R"([{"id": "a"}, {"id": 7}, {"id": "c"}])", {"c"}},
                    BadBody{"IdMissing", R"([{"id": "a"}, {"name": "b"}, {"id": "c"}])", {"c"}},
                    BadBody{"IdNull", R"([{"id": "a"}, {"id": null}, {"id": "c"}])", {"c"}},
                    BadBody{"ElementString", R"([{"id": "a"}, "b", {"id": "c"}])", {"c"}}),
    [](const testing::TestParamInfo<BadBody>& info) { return std::string(info.param.name); });

// A server that refuses, cannot be trusted, stalls, trickles or floods ends the fetch as a
// transport failure. The time limits reach libcurl shortened, so each is met in about a second.
enum class Peer { Server, Refusing, Silent, Stranger };

struct BadServer {
    const char* name;
    Peer peer;
    ApiFault fault;
    long shortening;
    const char* says;
};

void PrintTo(const BadServer& row, std::ostream* out) {
    *out << row.name;
}

class DeviceApiBadServer : public DeviceApi, public testing::WithParamInterface<BadServer> {
  protected:
    void TearDown() override { shortenCurlTimeLimits(1); }
};

TEST_P(DeviceApiBadServer, IsARuntimeErrorWithServerResponseThatKeepsTheDevices) {
    const BadServer& row = GetParam();
    shortenCurlTimeLimits(row.shortening);
    server.misbehave(row.fault);
    holdOld();
    std::optional<RefusingPort> refusing;
    std::optional<SilentListener> silent;
    std::optional<TestAuthority> stranger;
    std::optional<DeviceApiServer> impostor;
    if (row.peer == Peer::Refusing) {
        board->_endpoint = refusing.emplace().endpoint();
    } else if (row.peer == Peer::Silent) {
        board->_endpoint = silent.emplace().endpoint();
    } else if (row.peer == Peer::Stranger) {
        board->_endpoint = impostor.emplace(stranger.emplace("unknown authority")).endpoint();
    }

    const std::vector<std::string> lines = linesOf(fetch().err);

    ASSERT_EQ(lines.size(), 1U);
    EXPECT_THAT(lines[0], ContainsRegex(std::string("^Runtime error: .*") + row.says));
    EXPECT_EQ(board->getError(), SERVER_RESPONSE);
    EXPECT_EQ(ids(), Ids{"old"});
    if (impostor) {
        EXPECT_THAT(impostor->requests(), IsEmpty());
    }
    json_object_put(old);
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, DeviceApiBadServer,
    testing::Values(
        BadServer{"RefusesTheConnection", Peer::Refusing, ApiFault::None, 1, "."},
        BadServer{"HasAnUntrustedCertificate", Peer::Stranger, ApiFault::None, 1, "certificate"},
        BadServer{"NeverStartsTls", Peer::Silent, ApiFault::None, 20, "[Tt]imed? ?out"},
        BadServer{"SilentAfterTls", Peer::Server, ApiFault::Silent, 20, "too slow"},
        BadServer{"TricklesUnderOneBytePerSecond", Peer::Server, ApiFault::TrickleSlowly, 20,
                  "too slow"},
        BadServer{"TricklesWithoutEnd", Peer::Server, ApiFault::TrickleForever, 20, "timed out"},
        BadServer{"FloodsWithoutEnd", Peer::Server, ApiFault::FloodForever, 1,
                  "larger than 4194304 bytes"}),
    [](const testing::TestParamInfo<BadServer>& info) { return std::string(info.param.name); });

}  // namespace
