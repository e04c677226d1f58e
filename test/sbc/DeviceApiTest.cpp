#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "BoardTestSupport.h"
#include "CurlTimeLimits.h"
#include "DeviceApiServer.h"

using testing::ContainsRegex;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

std::string textOf(json_object* document) {
    return document == nullptr ? "null" : json_object_to_json_string_ext(document, 0);
}

std::vector<std::string> idsOf(const SBC& board) {
    std::vector<std::string> ids;
    for (const auto& [id, document] : board._devices) {
        ids.push_back(id);
    }
    return ids;
}

json_object* parsed(const char* text) {
    return json_tokener_parse(text);
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

    // Devices stored by an earlier fetch, to see what a later one keeps of them.
    void holdDevices(std::initializer_list<const char*> ids) {
        for (const char* id : ids) {
            board->_devices[id] = parsed(R"({"old": true})");
        }
    }

    DeviceApiServer server;
    BoardPtr board;
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

TEST_F(DeviceApi, StoresEveryDeviceDocumentWholeUnderItsId) {
    server.respondWith(200, R"([{"id": "n2", "config": {"addr": 9}},
                                {"id": "n1", "config": {"addr": 8}, "name": "x"}])");

    const Console console = fetch();

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
    ASSERT_THAT(idsOf(*board), ElementsAre("n1", "n2"));
    EXPECT_EQ(textOf(board->_devices["n1"]), R"({"id":"n1","config":{"addr":8},"name":"x"})");
    EXPECT_EQ(textOf(board->_devices["n2"]), R"({"id":"n2","config":{"addr":9}})");
}

TEST_F(DeviceApi, FirstOfTwoElementsSharingAnIdStaysStored) {
    server.respondWith(200, R"([{"id": "a", "v": 1}, {"id": "b"}, {"id": "a", "v": 2}])");

    fetch();

    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_THAT(idsOf(*board), ElementsAre("a", "b"));
    EXPECT_EQ(textOf(board->_devices["a"]), R"({"id":"a","v":1})");
}

TEST_F(DeviceApi, EmptyArraySucceedsAndEmptiesTheDevices) {
    holdDevices({"old1", "old2"});
    server.respondWith(200, "[]");

    fetch();

    EXPECT_EQ(board->getError(), OKEY);
    EXPECT_TRUE(board->_devices.empty());
}

TEST_F(DeviceApi, ErrorStatusWithAValidArrayIsStoredLikeSuccess) {
    for (const int status : {404, 500}) {
        const std::string id = "n" + std::to_string(status);
        server.respondWith(status, R"([{"id": ")" + id + R"("}])");

        fetch();

        EXPECT_EQ(board->getError(), OKEY) << status;
        EXPECT_THAT(idsOf(*board), ElementsAre(id)) << status;
    }
}

class DeviceApiBadBody : public DeviceApi, public testing::WithParamInterface<const char*> {};

TEST_P(DeviceApiBadBody, IsCode8AndLeavesNoDevices) {
    holdDevices({"old"});
    server.respondWith(200, GetParam(), "text/html");

    const Console console = fetch();

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), NODES_CONFIG_PARSE);
    EXPECT_TRUE(board->_devices.empty());
}

INSTANTIATE_TEST_SUITE_P(NotADeviceList, DeviceApiBadBody,
                         testing::Values(R"({"id": "n1"})",
                                         "<html><body>502 Bad Gateway</body></html>", "", "null",
                                         "[{\"id\": \"n1\"}"));

TEST_F(DeviceApi, BadElementStopsTheWalkKeepingOnlyTheElementsAfterIt) {
    server.respondWith(200, R"([{"id": "first"}, {"id": 7}, {"id": "last"}])");

    fetch();

    EXPECT_EQ(board->getError(), NODES_CONFIG_PARSE);
    EXPECT_THAT(idsOf(*board), ElementsAre("last"));
}

TEST_F(DeviceApi, ElementWithoutIdOrNotAnObjectIsABadElement) {
    for (const char* body :
         {R"([{"id": "a"}, {"name": "b"}, {"id": "c"}])", R"([{"id": "a"}, "b", {"id": "c"}])",
          R"([{"id": "a"}, {"id": null}, {"id": "c"}])"}) {
        board->_error = OKEY;
        server.respondWith(200, body);

        fetch();

        EXPECT_EQ(board->getError(), NODES_CONFIG_PARSE) << body;
        EXPECT_THAT(idsOf(*board), ElementsAre("c")) << body;
    }
}

TEST_F(DeviceApi, RefusedConnectionIsARuntimeErrorThatKeepsTheDevices) {
    const RefusingPort refusing;
    board->_endpoint = refusing.endpoint();
    holdDevices({"old"});

    const Console console = fetch();

    const std::vector<std::string> lines = linesOf(console.err);
    ASSERT_EQ(lines.size(), 1U) << console.err;
    EXPECT_THAT(lines[0], StartsWith("Runtime error: "));
    EXPECT_GT(lines[0].size(), std::string("Runtime error: ").size());
    EXPECT_EQ(board->getError(), SERVER_RESPONSE);
    EXPECT_THAT(idsOf(*board), ElementsAre("old"));
}

TEST_F(DeviceApi, UntrustedCertificateFailsTheTransferBeforeAnyRequest) {
    const TestAuthority stranger("unknown authority");
    DeviceApiServer impostor(stranger);
    impostor.respondWith(200, R"([{"id": "n1"}])");
    board->_endpoint = impostor.endpoint();

    const Console console = fetch();

    EXPECT_THAT(console.err, StartsWith("Runtime error: "));
    EXPECT_THAT(console.err, HasSubstr("certificate"));
    EXPECT_EQ(board->getError(), SERVER_RESPONSE);
    EXPECT_TRUE(board->_devices.empty());
    EXPECT_TRUE(impostor.requests().empty());
}

TEST_F(DeviceApi, HostNameOfTheCertificateIsAcceptedToo) {
    board->_endpoint = "localhost:" + std::to_string(server.port());
    server.respondWith(200, R"([{"id": "n1"}])");

    const Console console = fetch();

    EXPECT_EQ(console.err, "");
    EXPECT_THAT(idsOf(*board), ElementsAre("n1"));
}

// A document the board no longer holds must lose the board's reference: the test keeps its own
// reference, and dropping it must then free the document.
bool boardReleased(json_object* document) {
    return json_object_put(document) == 1;
}

TEST_F(DeviceApi, DocumentsEmptiedByAFetchAreReleased) {
    holdDevices({"old"});
    json_object* old = json_object_get(board->_devices["old"]);
    server.respondWith(200, "[]");

    fetch();

    EXPECT_TRUE(boardReleased(old));
}

TEST_F(DeviceApi, DocumentsHeldAtDestructionAreReleased) {
    server.respondWith(200, R"([{"id": "n1"}])");
    fetch();
    json_object* stored = json_object_get(board->_devices["n1"]);

    board.reset();

    EXPECT_TRUE(boardReleased(stored));
}

TEST_F(DeviceApi, HeldDocumentsOfABadBodyAreReleased) {
    holdDevices({"old"});
    json_object* old = json_object_get(board->_devices["old"]);
    server.respondWith(200, "not json");

    fetch();

    EXPECT_TRUE(boardReleased(old));
}

TEST_F(DeviceApi, TheFetchIsBoundByConnectLowSpeedAndTotalTimeLimits) {
    resetCurlTimeLimits();

    fetch();

    EXPECT_EQ(recordedCurlTimeLimits(),
              (CurlTimeLimits{.connect = 10, .lowSpeedBytes = 1, .lowSpeedTime = 30, .total = 60}));
}

TEST_F(DeviceApi, ABodyOfExactlyFourMebibytesIsStillRead) {
    constexpr size_t kCap = 4 * 1024 * 1024;
    server.respondWith(200, "[" + std::string(kCap - 2, ' ') + "]");

    const Console console = fetch();

    EXPECT_EQ(console.err, "");
    EXPECT_EQ(board->getError(), OKEY);
}

// A server that stalls, trickles or floods ends the fetch as a transport failure. The time
// limits reach libcurl shortened, so that each is met in about a second.
struct BadServerCase {
    const char* name;
    bool tlsNeverStarts;
    ApiFault fault;
    long shortening;
    const char* says;
};

void PrintTo(const BadServerCase& row, std::ostream* out) {
    *out << row.name;
}

class DeviceApiBadServer : public DeviceApi, public testing::WithParamInterface<BadServerCase> {
  protected:
    void SetUp() override {
        DeviceApi::SetUp();
        shortenCurlTimeLimits(GetParam().shortening);
        server.misbehave(GetParam().fault);
    }
    void TearDown() override { shortenCurlTimeLimits(1); }
};

TEST_P(DeviceApiBadServer, IsARuntimeErrorWithServerResponseThatKeepsTheDevices) {
    holdDevices({"old"});
    std::optional<SilentListener> silent;
    if (GetParam().tlsNeverStarts) {
        board->_endpoint = silent.emplace().endpoint();
    }

    const Console console = fetch();

    const std::vector<std::string> lines = linesOf(console.err);
    ASSERT_EQ(lines.size(), 1U) << console.err;
    EXPECT_THAT(lines[0], StartsWith("Runtime error: "));
    EXPECT_THAT(lines[0], ContainsRegex(GetParam().says));
    EXPECT_EQ(board->getError(), SERVER_RESPONSE);
    EXPECT_THAT(idsOf(*board), ElementsAre("old"));
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, DeviceApiBadServer,
    testing::Values(
        BadServerCase{"NeverStartsTls", true, ApiFault::None, 20, "[Tt]imed? ?out"},
        BadServerCase{"SilentAfterTls", false, ApiFault::Silent, 20, "too slow"},
        BadServerCase{"TricklesUnderOneBytePerSecond", false, ApiFault::TrickleSlowly, 20,
                      "too slow"},
        BadServerCase{"TricklesWithoutEnd", false, ApiFault::TrickleForever, 20, "timed out"},
        BadServerCase{"FloodsWithoutEnd", false, ApiFault::FloodForever, 1,
                      "larger than 4194304 bytes"}),
    [](const testing::TestParamInfo<BadServerCase>& info) { return std::string(info.param.name); });

}  // namespace
