// i2c-kestro-cli fleet against Debian's real mosquitto broker on free loopback ports: a board's
// agent under the simulator linked to it, and boards' retained documents published with
// mosquitto_pub as the agents publish them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Broker.h"
#include "IsolatedRun.h"
#include "TargetCommand.h"
#include "TempFiles.h"
#include "TestAuthority.h"

namespace {

using kestro::test::simCommand;
using kestro::test::targetCommand;
using testing::HasSubstr;

// The broker with an operator, met over TLS with the run's authority and a password file, as
// an operator's tool meets the fleet's broker.
class OperatorBroker {
  public:
    OperatorBroker() : _broker({{"op", "op-secret", true}, {"pump-3", "pump-3-secret", false}}) {
        writeFile(_dir.path() / "password", "op-secret\n");
    }

    std::vector<std::string> options(const std::string& password = "op-secret") const {
        writeFile(_dir.path() / "password", password + "\n");
        return {"--broker", _broker.tlsUrl(), "--ca", _broker.caFile(), "--user", "op",
                "--password-file", (_dir.path() / "password").string()};
    }

    // A retained document, as an agent publishes it.
    void retain(const std::string& topic, const std::string& document) const {
        const ChildOutcome outcome =
            runProgram({"mosquitto_pub", "-p", std::to_string(_broker.plainPort()), "-u", "op",
                        "-P", "op-secret", "-q", "1", "-r", "-t", topic, "-m", document});
        ASSERT_EQ(outcome.status, 0) << outcome.err;
    }

    const Broker& broker() const { return _broker; }
    Broker& broker() { return _broker; }
    int plainPort() const { return _broker.plainPort(); }

  private:
    TempDir _dir;
    Broker _broker;
};

// The board pump-3: its agent under the simulator on the example board, linked to the broker
// over TLS as a board is, stopped by SIGTERM at the end.
class LinkedBoard {
  public:
    explicit LinkedBoard(const Broker& broker, const std::string& rolloutAuthority = "") {
        const std::string dir = _dir.path().string();
        writeFile(_dir.path() / "password", "pump-3-secret\n");
        writeFile(_dir.path() / "agent.json",
                  R"({ "socket": { "path": ")" + dir + R"(/agent.sock", "group": "" },
                       "state_dir": ")" + dir + R"(", "mqtt": { "url": ")" + broker.tlsUrl() +
                      R"(", "board_id": "pump-3", "password_file": ")" + dir +
                      R"(/password", "ca_file": ")" + broker.caFile() + R"(")" +
                      (rolloutAuthority.empty() ? ""
                                                : R"(, "rollout_ca_file": ")" + rolloutAuthority + "\"") +
                      " } }");
        start();
    }
    ~LinkedBoard() { stop(); }
    LinkedBoard(const LinkedBoard&) = delete;
    LinkedBoard& operator=(const LinkedBoard&) = delete;

    // The agent again, on the state the last one left.
    void start() {
        const std::string dir = _dir.path().string();
        std::vector<std::string> words = simCommand({"--fast"}, {KESTRO_AGENT_PATH});
        words.insert(words.end(), {"--config", KESTRO_EXAMPLES "/config.json", "--agent-config",
                                   dir + "/agent.json", "--foreground"});
        _pid = startProgram(words, dir + "/log", dir + "/log");
    }
    // SIGTERM, waited for.
    void stop() {
        if (_pid > 0) {
            ::kill(_pid, SIGTERM);
            ::waitpid(_pid, nullptr, 0);
            _pid = -1;
        }
    }

    std::string log() const { return readFile(_dir.path() / "log"); }
    std::string socketPath() const { return (_dir.path() / "agent.sock").string(); }
    std::filesystem::path stateDir() const { return _dir.path(); }

  private:
    TempDir _dir;
    pid_t _pid = -1;
};

std::vector<std::string> with(std::vector<std::string> words, const std::vector<std::string>& middle,
                              const std::vector<std::string>& end) {
    words.insert(words.end(), middle.begin(), middle.end());
    words.insert(words.end(), end.begin(), end.end());
    return words;
}

ChildOutcome fleet(const std::vector<std::string>& arguments) {
    std::vector<std::string> words = targetCommand(KESTRO_CLI_PATH);
    words.insert(words.end(), arguments.begin(), arguments.end());
    return runProgram(words);
}

// An ISO time `seconds` ago.
std::string timeAgo(int seconds) {
    const std::time_t then = std::time(nullptr) - seconds;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&then));
    return text;
}

// Two boards as their agents leave them: pump-3 online with one of its two nodes, ghost gone
// (its will, which carries no time).
void publishFleet(const OperatorBroker& broker) {
    const std::string seen = timeAgo(130);
    broker.retain("kestro/v1/pump-3/status",
                  R"({"online": true, "board": "pump-3", "version": "1.2.3", "nodes": 2,
                      "nodes_online": 1, "time": ")" + seen + "\"}");
    broker.retain("kestro/v1/pump-3/node/0x10", R"({"address": "0x10", "online": true,
                  "identity": "node-1 v2", "last_seen": ")" + seen + "\"}");
    broker.retain("kestro/v1/pump-3/node/0x11", R"({"address": "0x11", "online": false,
                  "identity": "node-2 v2", "last_seen": ")" + timeAgo(7200) + "\"}");
    broker.retain("kestro/v1/ghost/status", R"({"online": false, "board": "ghost"})");
}

TEST(FleetList, ShowsEveryBoardAndItsNodesFromTheRetainedDocuments) {
    const OperatorBroker broker;
    publishFleet(broker);
    const ChildOutcome text = fleet(with({"fleet"}, broker.options(), {"ls"}));
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out,
              "BOARD / NODE      ONLINE  LAST SEEN     DETAIL\n"
              "ghost             no      never\n"
              "pump-3            yes     2 min ago     1 of 2 nodes online, version 1.2.3\n"
              "  0x10            yes     2 min ago     node-1 v2\n"
              "  0x11            no      2 h ago       node-2 v2\n");
    const ChildOutcome json = fleet(with({"--json", "fleet"}, broker.options(), {"ls"}));
    EXPECT_EQ(json.status, 0) << json.err;
    EXPECT_THAT(json.out, HasSubstr(R"({ "board": "ghost", "online": false, "last_seen": null, )"));
    EXPECT_THAT(json.out, HasSubstr(R"("identity": "node-2 v2")"));
}

// Until the broker holds pump-3's online status, as fleet ls shows it.
bool cameOnline(const OperatorBroker& broker) {
    for (int tries = 0; tries < 600; ++tries) {
        const ChildOutcome listed = fleet(with({"--json", "fleet"}, broker.options(), {"ls"}));
        if (listed.out.find(R"({ "board": "pump-3", "online": true)") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// The tool run on the board itself, directly on its bus.
ChildOutcome onTheBoard(const std::vector<std::string>& arguments) {
    std::vector<std::string> words = simCommand({"--fast"}, {KESTRO_CLI_PATH});
    words.insert(words.end(), arguments.begin(), arguments.end());
    return runProgram(words);
}

TEST(FleetNode, PrintsWhatTheToolPrintsOnTheBoardAndEndsWithItsStatus) {
    const OperatorBroker broker;
    const LinkedBoard board(broker.broker());
    ASSERT_TRUE(cameOnline(broker)) << board.log();
    const std::vector<std::vector<std::string>> calls = {
        {"node", "0x10", "get-identity"},
        {"--json", "node", "0x10", "get-identity"},
        {"node", "0x10,0x13", "get-identity"},
        {"node", "0x10", "get-text-e1"}};
    for (const std::vector<std::string>& call : calls) {
        const bool json = call[0] == "--json";
        std::vector<std::string> arguments = json ? std::vector<std::string>{"--json"}
                                                  : std::vector<std::string>{};
        arguments = with(arguments, {"fleet"}, broker.options());
        arguments.push_back("pump-3");
        arguments.insert(arguments.end(), call.begin() + (json ? 1 : 0), call.end());
        const ChildOutcome remote = fleet(arguments);
        const ChildOutcome local = onTheBoard(call);
        EXPECT_EQ(remote.status, local.status) << call[1] << remote.err;
        EXPECT_EQ(remote.out, local.out);
        EXPECT_EQ(remote.err, local.err);
    }
}

// watch runs until SIGINT; a board's event is published until it shows, since the watch
// subscribes some time after it starts.
TEST(FleetWatch, PrintsEachEventAsALineUntilSigint) {
    const OperatorBroker broker;
    const TempDir dir;
    const std::vector<std::string> shell = {"env", "PORT=" + std::to_string(broker.plainPort()),
                                            "WATCHED=" + (dir.path() / "watched").string(),
                                            "/bin/sh", "-c", R"(
        "$@" > "$WATCHED" & watcher=$!
        for try in $(seq 100); do
            mosquitto_pub -p "$PORT" -u op -P op-secret -t kestro/v1/pump-3/event \
              -m '{"kind": "offline", "address": "0x11", "text": "node-2 stopped answering"}'
            grep -q offline "$WATCHED" && break
            sleep 0.1
        done
        kill -INT $watcher
        wait $watcher)", "sh"};
    const ChildOutcome outcome = runProgram(with(
        shell, targetCommand(KESTRO_CLI_PATH),
        with({"fleet"}, broker.options(), {"watch", "pump-3"})));
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    const std::string watched = readFile(dir.path() / "watched");
    EXPECT_EQ(watched.substr(0, watched.find('\n') + 1),
              "pump-3 0x11 offline node-2 stopped answering\n");
}

struct Silence {
    const char* name;
    const char* board;
    const char* text;  // the whole error line
};

class FleetSilence : public testing::TestWithParam<Silence> {};

TEST_P(FleetSilence, EndsWithStatus69AndWhenTheBoardWasLastSeen) {
    const OperatorBroker broker;
    publishFleet(broker);
    const ChildOutcome outcome = fleet(with({"fleet", "--timeout", "1"}, broker.options(),
                                            {GetParam().board, "node", "0x10", "get-time"}));
    EXPECT_EQ(outcome.status, 69);
    EXPECT_EQ(outcome.err, GetParam().text);
    EXPECT_EQ(outcome.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, FleetSilence,
    testing::Values(
        Silence{"OnlineBoard", "pump-3",
                "board pump-3 did not answer within 1 s; last seen 2 min ago\n"},
        Silence{"OfflineBoard", "ghost",
                "board ghost did not answer within 1 s; offline; last seen never\n"},
        Silence{"UnknownBoard", "nobody",
                "board nobody did not answer within 1 s; the broker holds no status of it (has "
                "it ever connected?)\n"}),
    [](const testing::TestParamInfo<Silence>& info) { return std::string(info.param.name); });

TEST(FleetConnection, ThatCannotBeMadeOrIsRefusedEndsWithStatus69) {
    const ChildOutcome away =
        fleet({"fleet", "--broker",
               "mqtt://127.0.0.1:" + std::to_string(freeLoopbackPort()), "ls"});
    EXPECT_EQ(away.status, 69);
    EXPECT_THAT(away.err, HasSubstr("cannot reach the broker at 127.0.0.1:"));
    const OperatorBroker broker;
    const ChildOutcome refused = fleet(with({"fleet"}, broker.options("wrong"), {"ls"}));
    EXPECT_EQ(refused.status, 69);
    EXPECT_THAT(refused.err, HasSubstr("refused the connection: Not authorized"));
}

struct BadWords {
    const char* name;
    std::vector<std::string> words;  // after `fleet --broker mqtt://127.0.0.1:1`
    const char* complaint;
};

class FleetArguments : public testing::TestWithParam<BadWords> {};

TEST_P(FleetArguments, AreRefusedWithStatus64BeforeAnyConnection) {
    std::vector<std::string> arguments = {"fleet", "--broker", "mqtt://127.0.0.1:1"};
    arguments.insert(arguments.end(), GetParam().words.begin(), GetParam().words.end());
    const ChildOutcome outcome = fleet(arguments);
    EXPECT_EQ(outcome.status, 64);
    EXPECT_THAT(outcome.err, HasSubstr(GetParam().complaint));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
}

const std::string kDigest(64, 'a');

INSTANTIATE_TEST_SUITE_P(
    Table, FleetArguments,
    testing::Values(
        BadWords{"NoWords", {}, "WORDS is required"},
        BadWords{"BrokerNotMqtt", {"--broker", "http://b", "ls"}, "not mqtt://HOST[:PORT]"},
        BadWords{"TimeoutOfZero", {"--timeout", "0", "ls"}, "--timeout"},
        BadWords{"LsWithMore", {"ls", "pump-3"}, "ls takes nothing more: pump-3"},
        BadWords{"WatchOfTwo", {"watch", "a", "b"}, "watch takes one board id at most"},
        BadWords{"BoardIdWithSlash", {"pump/3", "node", "0x10", "get-time"}, "not a board id"},
        BadWords{"NeitherNodeNorPut", {"pump-3", "get", "0x10"}, "node or put: get"},
        BadWords{"BadAddress", {"pump-3", "node", "0x80", "get-time"}, "ADDRESSES: "},
        BadWords{"UnknownCommand", {"pump-3", "node", "0x10", "get-tim"}, "no node command get-tim"},
        BadWords{"MissingArgument", {"pump-3", "node", "0x10", "set-text-f3"},
                 "set-text-f3 takes 1 argument, not 0"},
        BadWords{"PlainHttp", {"pump-3", "put", "all", "http://f/fw.bin", "--sha256", kDigest, "--size", "5"},
                 "HTTPS only"},
        BadWords{"ShortDigest", {"pump-3", "put", "0x10", "https://f/fw.bin", "--sha256", "ab", "--size", "5"},
                 "--sha256: not 64 hexadecimal digits"},
        BadWords{"NoSize", {"pump-3", "put", "0x10", "https://f/fw.bin", "--sha256", kDigest},
                 "--size: put needs"},
        BadWords{"DigestWithoutPut", {"--sha256", kDigest, "ls"}, "belong to put"}),
    [](const testing::TestParamInfo<BadWords>& info) { return std::string(info.param.name); });

// Files over HTTPS from a certificate of the run's own authority, each fetch counted. A held
// server answers no fetch until it is released.
class FileServer {
  public:
    explicit FileServer(const std::map<std::string, std::string>& files, bool held = false)
        : _authority("rollout files"),
          _identity(_authority.issueServerIdentity("127.0.0.1")),
          _server(_identity.certificate.get(), _identity.key.get()),
          _held(held) {
        for (const auto& [name, content] : files) {
            _server.Get("/" + name, [this, content](const httplib::Request&, httplib::Response& response) {
                ++_fetches;
                for (int wait = 0; wait < 600 && _held; ++wait) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
                response.set_content(content, "application/octet-stream");
            });
        }
        _port = _server.bind_to_any_port("127.0.0.1");
        _thread = std::thread([this] { _server.listen_after_bind(); });
    }
    ~FileServer() {
        _held = false;
        _server.stop();
        _thread.join();
    }
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    std::string url(const std::string& name) const {
        return "https://127.0.0.1:" + std::to_string(_port) + "/" + name;
    }
    const std::string& authority() const { return _authority.certificateFile(); }
    int fetches() const { return _fetches; }
    // The fetches held so far are answered, and the later ones at once.
    void release() { _held = false; }
    // Waits until a fetch has begun.
    bool fetching() const {
        for (int wait = 0; wait < 600 && _fetches == 0; ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return _fetches > 0;
    }

  private:
    TestAuthority _authority;
    ServerIdentity _identity;
    httplib::SSLServer _server;
    int _port = -1;
    std::atomic<int> _fetches{0};
    std::atomic<bool> _held;
    std::thread _thread;
};

const std::string kFirmware(5000, 'k');
const std::string kFirmwareDigest = "622b8b1d5094d382aa519349554c0ea84a43c90b4aad7ddfae8f338690c7f7ea";

struct Rollout {
    const char* name;
    const char* file;     // on the server
    std::string digest;
    const char* size;
    const char* remote;   // on the nodes
    int status;
    std::string says;     // in its output
    int fetches;          // the server's count after it
};

// A node's file as the tool fetches it through the board's agent; empty when it cannot.
std::string onTheNode(const LinkedBoard& board, const std::string& address, const std::string& name) {
    const TempDir work;
    const ChildOutcome get = runProgram(with(targetCommand(KESTRO_CLI_PATH),
                                             {"--agent-socket", board.socketPath(), "get", address, name},
                                             {(work.path() / "back").string()}));
    return get.status == 0 ? readFile(work.path() / "back") : "";
}

// The file goes to every online node; a file that is not the one asked for reaches none, and
// a file the board has already is not fetched again.
TEST(FleetPut, RollsAFileOutOverHttpsOnlyWhenItIsTheFileAskedFor) {
    const FileServer files({{"fw.bin", kFirmware}, {"big.bin", kFirmware + "more"}});
    const OperatorBroker broker;
    const LinkedBoard board(broker.broker(), files.authority());
    ASSERT_TRUE(cameOnline(broker)) << board.log();
    const std::vector<Rollout> rollouts = {
        {"WrongDigest", "fw.bin", std::string(64, 'e'), "5000", "bad.bin", 74,
         "has the sha256 " + kFirmwareDigest + ", not eee", 1},
        {"Oversized", "big.bin", kFirmwareDigest, "5000", "bad.bin", 74,
         "holds more than the 5000 bytes asked for", 2},
        {"Unreachable", "none.bin", kFirmwareDigest, "5000", "bad.bin", 69, "cannot be fetched", 2},
        {"Good", "fw.bin", kFirmwareDigest, "5000", "fw.bin", 0, "sent ", 3},
        {"Cached", "fw.bin", kFirmwareDigest, "5000", "fw2.bin", 0, "sent ", 3},
    };
    for (const Rollout& rollout : rollouts) {
        const ChildOutcome put = fleet(with({"fleet"}, broker.options(),
                                            {"pump-3", "put", "all", files.url(rollout.file), "--sha256",
                                             rollout.digest, "--size", rollout.size, "--name", rollout.remote}));
        EXPECT_EQ(put.status, rollout.status) << rollout.name << put.err << board.log();
        EXPECT_THAT(put.out + put.err, HasSubstr(rollout.says)) << rollout.name;
        EXPECT_EQ(files.fetches(), rollout.fetches) << rollout.name;
    }
    for (const char* address : {"0x10", "0x11"}) {
        EXPECT_EQ(onTheNode(board, address, "fw.bin"), kFirmware) << address;
        EXPECT_EQ(onTheNode(board, address, "fw2.bin"), kFirmware) << address;
        EXPECT_EQ(onTheNode(board, address, "bad.bin"), "") << address;
    }
    EXPECT_TRUE(std::filesystem::exists(board.stateDir() / "rollouts" / kFirmwareDigest));
    EXPECT_FALSE(std::filesystem::exists(board.stateDir() / "rollouts.json"));
}

// An agent stopped while it fetches the file answers the rollout, and its next start reports
// the rollout as interrupted: it is never lost silently.
TEST(FleetPut, CutShortByAStopIsAnsweredAndReportedAtTheNextStart) {
    const FileServer files({{"fw.bin", kFirmware}}, true);
    const OperatorBroker broker;
    LinkedBoard board(broker.broker(), files.authority());
    ASSERT_TRUE(cameOnline(broker)) << board.log();
    auto put = std::async(std::launch::async, [&] {
        return fleet(with({"fleet"}, broker.options(),
                          {"pump-3", "put", "all", files.url("fw.bin"), "--sha256", kFirmwareDigest,
                           "--size", "5000", "--name", "fw.bin"}));
    });
    ASSERT_TRUE(files.fetching());
    board.stop();
    const ChildOutcome outcome = put.get();
    EXPECT_EQ(outcome.status, 69) << outcome.err;
    EXPECT_THAT(outcome.err, HasSubstr("the agent stopped while fetching the file"));
    board.start();
    bool reported = false;
    for (int wait = 0; wait < 600 && !reported; ++wait) {
        reported = board.log().find("was under way when the agent last stopped; it was interrupted") !=
                   std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(reported) << board.log();
}

// The rollout goes on while the broker is away; its answer waits in the board's queue and
// reaches the operator's session once the broker is back.
TEST(FleetPut, GoesOnThroughABrokerOutage) {
    FileServer files({{"fw.bin", kFirmware}}, true);
    OperatorBroker broker;
    const LinkedBoard board(broker.broker(), files.authority());
    ASSERT_TRUE(cameOnline(broker)) << board.log();
    BrokerClient operatorClient(broker.broker(), {"op", "op-secret", "op-session", false, ""});
    const std::string reply = "kestro/v1/pump-3/reply/op-session";
    ASSERT_TRUE(operatorClient.subscribe(reply));
    operatorClient.publish("kestro/v1/pump-3/cmd",
                           R"({"command": "rollout", "id": "r-9", "url": ")" + files.url("fw.bin") +
                               R"(", "sha256": ")" + kFirmwareDigest +
                               R"(", "size": 5000, "nodes": "0x10", "remote": "fw.bin"})",
                           reply, "r-9");
    ASSERT_TRUE(files.fetching());
    broker.broker().stop();
    files.release();
    for (int wait = 0; wait < 600 && onTheNode(board, "0x10", "fw.bin") != kFirmware; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(onTheNode(board, "0x10", "fw.bin"), kFirmware) << board.log();
    broker.broker().restart();
    EXPECT_THAT(operatorClient.awaitOn(reply, "\"status\":"), HasSubstr("\"id\":\"r-9\",\"status\":0,"))
        << board.log();
}

}  // namespace

