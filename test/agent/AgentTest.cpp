// The board agent as users run it: the real program under the simulator, spoken to through its
// control socket, told to stop by a signal.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <cmath>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Broker.h"
#include "Golden.h"
#include "IsolatedRun.h"
#include "TargetCommand.h"
#include "TempFiles.h"

namespace {

using kestro::test::simCommand;
using kestro::test::targetCommand;
using testing::HasSubstr;

constexpr auto kPatience = std::chrono::seconds(60);

std::string settings(const TempDir& dir, const std::string& extra) {
    return "{ \"socket\": { \"path\": \"" + (dir.path() / "agent.sock").string() +
           "\", \"group\": \"\" }, \"state_dir\": \"" + dir.path().string() + "\"" + extra + " }";
}

int connectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends `bytes` and reads one line back (empty when none came within the patience).
std::string exchange(int fd, const std::string& bytes) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        return "";
    }
    std::string line;
    pollfd ready{fd, POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, 30000) == 1 && ::read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

std::string ask(const std::string& path, const std::string& bytes) {
    const int fd = connectTo(path);
    const std::string line = fd < 0 ? "" : exchange(fd, bytes);
    if (fd >= 0) {
        ::close(fd);
    }
    return line;
}

// The agent under the simulator, its output in files, stopped by SIGTERM at the end.
class RunningAgent {
  public:
    RunningAgent(const TempDir& dir, const std::string& agentSettings,
                 const std::vector<std::string>& simOptions = {},
                 const std::vector<std::string>& environment = {})
        : _dir(dir) {
        writeFile(dir.path() / "agent.json", agentSettings);
        std::vector<std::string> words = simCommand(simOptions, {KESTRO_AGENT_PATH});
        words.insert(words.end(), {"--config", KESTRO_EXAMPLES "/config.json", "--agent-config",
                                   (dir.path() / "agent.json").string(), "--foreground"});
        // The launcher hands its environment on to the program it starts.
        _pid = startProgram(words, (dir.path() / "out").string(), (dir.path() / "err").string(),
                            environment);
    }
    ~RunningAgent() {
        if (_pid > 0) {
            stop();
        }
    }

    // Waits until the agent serves its socket (or has ended).
    bool serving() {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < until) {
            if (readFile(_dir.path() / "out").find("serving") != std::string::npos) {
                return true;
            }
            if (::waitpid(_pid, &_status, WNOHANG) == _pid) {
                _pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // SIGTERM; the exit status.
    int stop() {
        ::kill(_pid, SIGTERM);
        ::waitpid(_pid, &_status, 0);
        _pid = -1;
        return WIFEXITED(_status) ? WEXITSTATUS(_status) : 128 + WTERMSIG(_status);
    }

    // Waits until the agent's clock has run `seconds` since it started.
    bool ranFor(int seconds) const {
        const auto until = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < until) {
            json_object* reply = json_tokener_parse(ask(socketPath(), "{\"command\": \"status\"}\n").c_str());
            json_object* result = nullptr;
            json_object* now = nullptr;
            json_object* started = nullptr;
            const bool far = json_object_object_get_ex(reply, "result", &result) &&
                             json_object_object_get_ex(result, "now_ms", &now) &&
                             json_object_object_get_ex(result, "started_ms", &started) &&
                             json_object_get_int64(now) - json_object_get_int64(started) >= seconds * 1000;
            json_object_put(reply);
            if (far) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::string out() const { return readFile(_dir.path() / "out"); }
    std::string err() const { return readFile(_dir.path() / "err"); }
    std::string socketPath() const { return (_dir.path() / "agent.sock").string(); }

  private:
    const TempDir& _dir;
    pid_t _pid = -1;
    int _status = 0;
};

// ---------------------------------------------------------------------------------------------

struct BadSetting {
    const char* name;
    const char* extra;     // added to a good agent.json
    const char* complaint; // in the one line on standard error
};

class AgentSettings : public testing::TestWithParam<BadSetting> {};

TEST_P(AgentSettings, AreRefusedWithOneLineNamingTheKeyAndStatus64) {
    const TempDir dir;
    writeFile(dir.path() / "agent.json", settings(dir, GetParam().extra));
    std::vector<std::string> words = targetCommand(KESTRO_AGENT_PATH);
    words.insert(words.end(), {"--config", KESTRO_EXAMPLES "/config.json", "--agent-config",
                               (dir.path() / "agent.json").string(), "--foreground"});
    const ChildOutcome outcome = runProgram(words);
    EXPECT_EQ(outcome.status, 64);
    EXPECT_THAT(outcome.err, HasSubstr(GetParam().complaint));
    EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AgentSettings,
    testing::Values(
        BadSetting{"UnknownKey", ", \"pol_period_s\": 5", "pol_period_s: unknown key"},
        BadSetting{"PeriodOfZero", ", \"poll_period_s\": 0", "poll_period_s: 0 is outside 1 to"},
        BadSetting{"PeriodAsText", ", \"probe_period_s\": \"60\"", "probe_period_s: must be a whole"},
        BadSetting{"UnknownCommand", ", \"jobs\": [ { \"command\": \"get-valuez\" } ]",
                   "jobs[0].command: \"get-valuez\" is not a node command"},
        BadSetting{"MissingArgument", ", \"jobs\": [ { \"command\": \"get-file-info\" } ]",
                   "jobs[0]: get-file-info takes 1 arguments, 0 given"},
        BadSetting{"BadNodes", ", \"jobs\": [ { \"command\": \"get-time\", \"nodes\": \"0x80\" } ]",
                   "jobs[0].nodes:"},
        BadSetting{"TwoJobsOfOneName",
                   ", \"jobs\": [ { \"command\": \"get-time\" }, { \"command\": \"get-time\" } ]",
                   "jobs[1]: a second job named \"get-time\""},
        BadSetting{"MetricsAddressWithoutPort", ", \"bus\": \"3\", \"metrics\": { \"listen\": \"9464\" }",
                   "metrics.listen: must be HOST:PORT"},
        BadSetting{"BrokerOfAnotherScheme", ", \"mqtt\": { \"url\": \"http://broker\" }",
                   "mqtt.url: must be mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
        BadSetting{"BoardIdOutsideTopics", ", \"mqtt\": { \"url\": \"mqtt://b\", \"board_id\": \"a/#\" }",
                   "mqtt.board_id: must be 1 to 64 of A-Z a-z 0-9 _ . -"},
        BadSetting{"CertificateWithoutKey", ", \"mqtt\": { \"url\": \"mqtts://b\", \"cert_file\": \"c\" }",
                   "mqtt: cert_file and key_file go together"},
        BadSetting{"RolloutAuthorityEmpty", ", \"mqtt\": { \"url\": \"mqtt://b\", \"rollout_ca_file\": \"\" }",
                   "mqtt.rollout_ca_file:"},
        BadSetting{"NotJson", ", \"bus\": ", "not valid JSON"}),
    [](const auto& info) { return std::string(info.param.name); });

// The settings files shipped and the example pass the check: the board's start-up is what
// fails then, with a configuration that is not there (1).
TEST(AgentSettings, OfThePackageAndTheExampleAreAccepted) {
    for (const char* file : {KESTRO_EXAMPLES "/agent.json", KESTRO_PACKAGED_SETTINGS}) {
        std::vector<std::string> words = targetCommand(KESTRO_AGENT_PATH);
        words.insert(words.end(), {"--config", "/nonexistent/config.json", "--agent-config", file,
                                   "--foreground"});
        const ChildOutcome outcome = runProgram(words);
        EXPECT_EQ(outcome.status, 1) << file << ": " << outcome.err;
    }
}

// ---------------------------------------------------------------------------------------------

struct Request {
    const char* name;
    std::string bytes;
    const char* reply;  // a part of the one line that answers it
    size_t handed = 0;  // pipes whose write ends go with it, each to be closed by the agent
};

// Sends `bytes` with `fds` on a new connection and reads one line back.
std::string askWith(const std::string& path, const std::string& bytes, const std::vector<int>& fds) {
    const int fd = connectTo(path);
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(header), fds.data(), sizeof(int) * fds.size());
    const bool sent = fd >= 0 && ::sendmsg(fd, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    const std::string line = sent ? exchange(fd, "") : "";
    if (fd >= 0) {
        ::close(fd);
    }
    return line;
}

// The request's reply; `leaked` counts the pipes whose write end the agent still holds.
std::string askHandingPipes(const std::string& path, const Request& request, size_t& leaked) {
    if (request.handed == 0) {
        return ask(path, request.bytes);
    }
    std::vector<int> reads;
    std::vector<int> writes;
    for (size_t index = 0; index < request.handed; ++index) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        reads.push_back(ends[0]);
        writes.push_back(ends[1]);
    }
    const std::string reply = askWith(path, request.bytes, writes);
    for (size_t index = 0; index < reads.size(); ++index) {
        ::close(writes[index]);
        pollfd ended{reads[index], POLLIN, 0};
        char c = 0;
        leaked += ::poll(&ended, 1, 10000) == 1 && ::read(reads[index], &c, 1) == 0 ? 0 : 1;
        ::close(reads[index]);
    }
    return reply;
}

// A rollout request with one member replaced by `member`, from a port nothing listens on.
std::string rollout(const std::string& member) {
    std::string request = R"({"id": "r-1", "command": "rollout", "url": "https://127.0.0.1:1/fw.bin", )"
                          R"("sha256": ")" + std::string(64, 'a') + R"(", "size": 100, "nodes": "0x10", )"
                          R"("remote": "fw.bin"})";
    const std::string key = member.substr(0, member.find(':'));
    if (!key.empty()) {
        const size_t at = request.find(key);
        request.replace(at, request.find_first_of(",}", at) - at, member);
    }
    return request + "\n";
}

TEST(Agent, AnswersEachRequestAndNeverStallsOnAHostileClient) {
    const TempDir dir;
    std::filesystem::create_directory(dir.path() / "spool");
    writeFile(dir.path() / "spool" / "put-left", "a copy an agent that died left behind");
    writeFile(dir.path() / "rollouts.json", R"({"rollouts": [{"id": "r-7", "url": "https://f/fw.bin"}]})");
    RunningAgent agent(dir, settings(dir, ""));
    ASSERT_TRUE(agent.serving()) << agent.err();

    // A client that connects and says nothing, and one that stops halfway, hold nothing up.
    const int silent = connectTo(agent.socketPath());
    const int halfway = connectTo(agent.socketPath());
    ASSERT_GE(halfway, 0);
    ::send(halfway, "{\"command\": \"sta", 16, MSG_NOSIGNAL);

    const std::vector<Request> requests = {
        {"status", "{\"id\": 7, \"command\": \"status\"}\n",
         "\"id\":7,\"status\":0,\"stdout\":\"\",\"stderr\":\"\",\"result\":{\"command\":\"status\""},
        {"not json", "{{{\n", "\"status\":64,"},
        {"not an object", "[1, 2]\n", "a request is one JSON object on one line"},
        {"no command", "{\"id\": \"x\"}\n", "\"id\":\"x\",\"status\":64,"},
        {"command not a text", "{\"command\": 5}\n", "needs \\\"command\\\", a text"},
        {"unknown command", "{\"command\": \"format-disk\"}\n", "unknown command \\\"format-disk\\\": status, rescan"},
        {"binary", std::string("\xff\x00\x01\n", 4), "\"status\":64,"},
        {"too long", std::string(80 * 1024, 'x'), "a request is longer than 65536 bytes"},
        {"rescan", "{\"command\": \"rescan\"}\n", "\"status\":0,\"stdout\":\"rescan started\\n\""},
        {"node command", "{\"id\": 1, \"command\": \"node\", \"nodes\": \"0x10\", \"name\": \"get-values-a0\"}\n",
         "\"id\":1,\"status\":0,\"stdout\":\"values: 21 22 0 1 255\\n\""},
        {"node command refused", "{\"command\": \"node\", \"nodes\": \"0x10\", \"name\": \"get-valuez\"}\n",
         "\"status\":64,"},
        {"silent node", "{\"command\": \"node\", \"nodes\": \"0x13\", \"name\": \"get-time\"}\n",
         "\"status\":10,"},
        {"a file with status", "{\"command\": \"status\"}\n", "\"status\":0,", 1},
        {"three files with a put", "{\"command\": \"put\", \"nodes\": \"0x10\", \"local\": \"x\", \"local_fd\": true}\n",
         "one descriptor comes with the request, not 2", 3},
        {"a pipe for a put", "{\"command\": \"put\", \"nodes\": \"0x10\", \"local\": \"x\", \"local_fd\": true}\n",
         "not a regular file open for reading", 1},
        {"rollout of plain http", rollout(R"("url": "http://127.0.0.1:1/fw.bin")"),
         "\"status\":64,\"stdout\":\"\",\"stderr\":\"url: not an https:// address\\n\""},
        {"rollout of a short digest", rollout(R"("sha256": "ab")"), "sha256: not 64 hex digits"},
        {"rollout too large", rollout(R"("size": 67108865)"), "size: not a whole number from 1 to 67108864"},
        {"rollout to a path", rollout(R"("remote": "a/b")"), "remote: not a node file name"},
        {"rollout from nowhere", rollout(""), "\"status\":69,\"stdout\":\"\",\"stderr\":\"i2c-kestro-agent: rollout: https://127.0.0.1:1/fw.bin cannot be fetched"},
    };
    size_t leaked = 0;
    for (const Request& request : requests) {
        EXPECT_THAT(askHandingPipes(agent.socketPath(), request, leaked), HasSubstr(request.reply))
            << request.name;
    }
    EXPECT_EQ(leaked, 0U);
    ::close(halfway);
    ::close(silent);
    // The tool goes through the socket and prints what it prints alone.
    std::vector<std::string> words = targetCommand(KESTRO_CLI_PATH);
    words.insert(words.end(), {"--agent-socket", agent.socketPath(), "node", "0x10", "get-values-a0"});
    const ChildOutcome tool = runProgram(words);
    EXPECT_EQ(tool.status, 0);
    EXPECT_EQ(tool.out, "values: 21 22 0 1 255\n");
    // put and get hand their local files over: the agent needs no path of the tool's, and
    // prints the names the tool was given.
    const TempDir work;
    writeFile(work.path() / "fw.bin", std::string(100, 'f'));
    // The tool runs in the folder through the host's shell, under the cross build's emulator
    // where there is one.
    std::string cli;
    for (const std::string& word : targetCommand(KESTRO_CLI_PATH)) cli += "'" + word + "' ";
    const auto inWork = [&](const std::string& words) {
        return runProgram({"/bin/sh", "-c", "cd '" + work.path().string() + "' && exec " + cli +
                                                "--agent-socket '" + agent.socketPath() + "' " +
                                                words});
    };
    const ChildOutcome put = inWork("put --poll 0x10 fw.bin");
    EXPECT_THAT(put.out, HasSubstr("sent fw.bin to 0x10 on /dev/i2c-3 as fw.bin: 100 bytes"))
        << put.err;
    const ChildOutcome get = inWork("get --poll 0x10 fw.bin back.bin");
    EXPECT_THAT(get.out, HasSubstr("fetched fw.bin from 0x10 on /dev/i2c-3 as back.bin: 100 bytes"))
        << get.err;
    EXPECT_EQ(readFile(work.path() / "back.bin"), std::string(100, 'f'));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "spool"));
    EXPECT_THAT(agent.out(), HasSubstr("rollout r-7 was under way when the agent last stopped; it was interrupted"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "rollouts.json"));
    const std::string status = ask(agent.socketPath(), "{\"command\": \"status\"}\n");
    EXPECT_THAT(status, HasSubstr("\"online\":3,\"total\":5"));
    EXPECT_EQ(agent.stop(), 0);
    EXPECT_THAT(agent.out(), HasSubstr("i2c-kestro-agent: stopping"));
    EXPECT_FALSE(std::filesystem::exists(agent.socketPath()));
}

// The log's lines, without the events after `second` (the agent's clock runs on, fast, until
// the test stops it), clock offsets to 10 ms (a reading falls either side of a millisecond).
std::string linesUntil(const std::string& log, int second) {
    std::istringstream lines(log);
    std::string kept;
    const std::regex offset("it was (-?[0-9]+) ms off");
    for (std::string line; std::getline(lines, line);) {
        std::smatch found;
        if (std::regex_search(line, found, offset)) {
            const long rounded = std::lround(std::stod(found[1]) / 10) * 10;
            line = found.prefix().str() + "it was " + std::to_string(rounded) + " ms off" +
                   found.suffix().str();
        }
        if (!line.starts_with("[+") || std::stoi(line.substr(2)) <= second) {
            kept += line + "\n";
        }
    }
    return kept;
}

TEST(Agent, ReportsEachNodeThatGoesAndComesBackAndEachChangeOfTheDeviceList) {
    const TempDir dir;
    RunningAgent agent(dir,
                       settings(dir, ", \"poll_period_s\": 10, \"probe_period_s\": 30, "
                                     "\"device_refresh_period_s\": 60"),
                       {"--fast", "--scenario", KESTRO_TEST_SOURCE_DIR "/scenarios/timeline.json"});
    ASSERT_TRUE(agent.serving()) << agent.err();
    ASSERT_TRUE(agent.ranFor(250));
    EXPECT_EQ(agent.stop(), 0);
    expectGolden("timeline-events.txt", linesUntil(agent.out(), 250),
                 {{agent.socketPath(), "SOCKET"}});
}

// The service manager's socket, as systemd gives it in NOTIFY_SOCKET.
class NotifySocket {
  public:
    explicit NotifySocket(const TempDir& dir) : _path((dir.path() / "notify").string()) {
        _fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, _path.c_str(), sizeof address.sun_path - 1);
        ::bind(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~NotifySocket() { ::close(_fd); }
    std::string path() const { return _path; }
    // Every message that came, one per line.
    std::string messages() const {
        std::string all;
        char buffer[512];
        for (ssize_t got; (got = ::recv(_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            all.append(buffer, static_cast<size_t>(got)).append("\n");
        }
        return all;
    }

  private:
    std::string _path;
    int _fd = -1;
};

// The body of GET /metrics, once it holds `awaited` (the loop publishes once a second).
std::string scrape(int port, const std::string& awaited) {
    std::string body;
    for (int attempt = 0; attempt < 300 && body.find(awaited) == std::string::npos; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const std::string get = "GET /metrics HTTP/1.0\r\nConnection: close\r\n\r\n";
        body.clear();
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, get.data(), get.size(), MSG_NOSIGNAL) > 0) {
            char buffer[4096];
            for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
                body.append(buffer, static_cast<size_t>(got));
            }
        }
        ::close(fd);
    }
    return body;
}

TEST(Agent, TellsTheServiceManagerHowItIsAndServesItsMetricsWhenAsked) {
    const TempDir dir;
    const NotifySocket manager(dir);
    const int port = freeLoopbackPort();
    RunningAgent agent(dir,
                       settings(dir, ", \"metrics\": { \"enabled\": true, \"listen\": \"127.0.0.1:" +
                                         std::to_string(port) + "\" }"),
                       {}, {"NOTIFY_SOCKET=" + manager.path(), "WATCHDOG_USEC=600000000"});
    ASSERT_TRUE(agent.serving()) << agent.err();
    const std::string metrics =
        scrape(port, "i2c_kestro_commands_total{command=\"sync-clock\",status=\"0\"} 3\n");
    EXPECT_EQ(agent.stop(), 0);
    EXPECT_EQ(manager.messages(),
              "READY=1\nWATCHDOG=1\nSTATUS=3 of 5 nodes online\nSTOPPING=1\n");
    for (const char* line : {"\ni2c_kestro_node_up{id=\"node-1\",address=\"0x10\"} 1\n",
                             "\ni2c_kestro_node_up{id=\"node-4\",address=\"0x13\"} 0\n",
                             "\ni2c_kestro_node_clock_offset_seconds{id=\"node-1\",address=\"0x10\"} -1.",
                             "\ni2c_kestro_commands_total{command=\"sync-clock\",status=\"0\"} 3\n",
                             "\n# TYPE i2c_kestro_poll_round_trip_seconds histogram\n"}) {
        EXPECT_THAT(metrics, HasSubstr(line));
    }
}

// ---------------------------------------------------------------------------------------------
// The link to the fleet's broker

const std::vector<BrokerUser> kFleetUsers = {{"pump-3", "board secret"},
                                             {"other", "other secret"},
                                             {"ops", "operator secret", true}};

BrokerClient::Options fleetUser(const std::string& user, const std::string& password,
                                const std::string& clientId = "") {
    return {user, password, clientId, clientId.empty(), ""};
}

struct LinkSettings {
    std::string url;
    std::string password = "board secret";
    std::string authority;    // the broker's certificate is trusted through it
    std::string certificate;  // STEM of the client's STEM.crt and STEM.key; empty: none
    int keepaliveS = 60;
};

// A link the broker takes: its password, the broker trusted through its authority.
LinkSettings goodLink(const Broker& broker) {
    LinkSettings link;
    link.url = broker.tlsUrl();
    link.authority = broker.caFile();
    return link;
}

// The agent's mqtt section, and its password file.
std::string mqttSettings(const TempDir& dir, const LinkSettings& link) {
    writeFile(dir.path() / "mqtt-password", link.password + "\n");
    const std::string certificate =
        link.certificate.empty() ? ""
                                 : ", \"cert_file\": \"" + link.certificate + ".crt\", \"key_file\": \"" +
                                       link.certificate + ".key\"";
    return ", \"poll_period_s\": 1, \"probe_period_s\": 1, \"mqtt\": { \"url\": \"" + link.url +
           "\", \"board_id\": \"pump-3\", \"password_file\": \"" +
           (dir.path() / "mqtt-password").string() + "\", \"ca_file\": \"" + link.authority +
           "\", \"keepalive_s\": " + std::to_string(link.keepaliveS) + certificate + " }";
}

// The broker's access list: a board reads and writes under its own prefix and nowhere else
// (mosquitto grants a wider subscription, then delivers only what the board may read).
TEST(FleetBroker, KeepsEachBoardInsideItsOwnPrefix) {
    const Broker broker(kFleetUsers);
    BrokerClient operatorClient(broker, fleetUser("ops", "operator secret"));
    BrokerClient board(broker, fleetUser("pump-3", "board secret"));
    ASSERT_TRUE(operatorClient.connected() && board.connected()) << broker.log();
    ASSERT_TRUE(operatorClient.subscribe("kestro/v1/#"));
    board.subscribe("kestro/v1/#");
    board.publish("kestro/v1/other/status", "forged");
    board.publish("kestro/v1/pump-3/status", "own");
    operatorClient.publish("kestro/v1/other/cmd", "for another board");
    operatorClient.publish("kestro/v1/pump-3/cmd", "for this board");
    ASSERT_EQ(operatorClient.awaitOn("kestro/v1/pump-3/status"), "own");
    ASSERT_EQ(board.awaitOn("kestro/v1/pump-3/cmd"), "for this board");
    for (const MqttMessage& message : operatorClient.messages()) {
        EXPECT_NE(message.payload, "forged") << message.topic;
    }
    for (const MqttMessage& message : board.messages()) {
        EXPECT_NE(message.payload, "for another board") << message.topic;
    }
}

struct FleetRequest {
    const char* name;
    std::string payload;       // published on the cmd topic
    std::string responseTopic; // MQTT 5; empty for the 3.1.1 form's reply_to
    std::string socketLine;    // the same request on the socket, whose answer must come back
};

// The broker asks for client certificates: the board's, from the broker's authority, is taken.
TEST(FleetLink, PublishesTheBoardAndAnswersItsCommandsAsTheSocketDoes) {
    const Broker broker(kFleetUsers, Broker::ClientCertificates::Required);
    const TempDir dir;
    BrokerClient watcher(broker, fleetUser("ops", "operator secret"));
    ASSERT_TRUE(watcher.subscribe("kestro/v1/#"));
    LinkSettings link = goodLink(broker);
    link.certificate = broker.issueClientCertificate("pump-3");
    RunningAgent agent(dir, settings(dir, mqttSettings(dir, link)));
    ASSERT_TRUE(agent.serving()) << agent.err();
    EXPECT_THAT(watcher.awaitOn("kestro/v1/pump-3/status", "\"nodes\":5,\"nodes_online\":3"),
                HasSubstr("{\"online\":true,\"board\":\"pump-3\",\"version\":"))
        << agent.err();
    EXPECT_THAT(watcher.awaitOn("kestro/v1/pump-3/node/0x10", "\"online\":true"),
                HasSubstr("\"address\":\"0x10\",\"online\":true,\"identity\":\"node-1\""));
    EXPECT_THAT(watcher.awaitOn("kestro/v1/pump-3/event", "\"kind\":\"online\""),
                HasSubstr("\"address\":\"0x1"));

    const std::string reply = "kestro/v1/pump-3/reply/ops";
    const std::string node = "\"command\": \"node\", \"nodes\": \"0x10\", \"name\": \"get-values-a0\"";
    const std::vector<FleetRequest> requests = {
        {"node command", "{\"id\": 1, " + node + "}", reply, "{\"id\": 1, " + node + "}"},
        {"the 3.1.1 form", "{\"id\": 2, " + node + ", \"reply_to\": \"" + reply + "\"}", "",
         "{\"id\": 2, " + node + "}"},
        {"not json", "{{{", reply, "{{{"},
        {"unknown command", "{\"id\": 3, \"command\": \"format-disk\"}", reply,
         "{\"id\": 3, \"command\": \"format-disk\"}"},
    };
    int correlation = 0;
    for (const FleetRequest& request : requests) {
        const std::string expected = ask(agent.socketPath(), request.socketLine + "\n");
        const std::string tag = "request " + std::to_string(++correlation);
        watcher.publish("kestro/v1/pump-3/cmd", request.payload, request.responseTopic,
                        request.responseTopic.empty() ? "" : tag);
        const bool answered = watcher.await([&](const MqttMessage& message) {
            return message.topic == reply && message.payload == expected &&
                   message.correlation == (request.responseTopic.empty() ? "" : tag);
        });
        EXPECT_TRUE(answered) << request.name << ": " << expected;
    }
    // put and get name the board's files: not over MQTT. An answer outside the board's reply/
    // is never sent.
    watcher.publish("kestro/v1/pump-3/cmd", "{\"id\": 4, " + node + "}", "kestro/v1/other/reply/x");
    watcher.publish("kestro/v1/pump-3/cmd",
                    "{\"id\": 5, \"command\": \"put\", \"nodes\": \"0x10\", \"local\": \"/etc/shadow\"}", reply);
    EXPECT_THAT(watcher.awaitOn(reply, "\"id\":5"),
                HasSubstr("\"status\":64,\"stdout\":\"\",\"stderr\":\"put is not served over MQTT"));
    for (const MqttMessage& message : watcher.messages()) {
        EXPECT_THAT(message.topic, testing::StartsWith("kestro/v1/pump-3/"));
    }
    EXPECT_THAT(agent.err(), HasSubstr("the response topic \"kestro/v1/other/reply/x\" was not answered"));
    // A clean stop says the board is offline itself.
    EXPECT_EQ(agent.stop(), 0);
    EXPECT_EQ(watcher.messages().back().payload, "{\"online\":false,\"board\":\"pump-3\"}");
}

// A listener that never answers: its one-place queue is taken, so the kernel drops the
// agent's connection requests, as a firewall would.
class SilentListener {
  public:
    SilentListener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(_listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(_listener, 0);
        ::getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length);
        _port = ntohs(address.sin_port);
        ::connect(_queued, reinterpret_cast<sockaddr*>(&address), length);
    }
    ~SilentListener() {
        ::close(_queued);
        ::close(_listener);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::string url() const { return "mqtts://127.0.0.1:" + std::to_string(_port); }

  private:
    int _listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int _queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int _port = 0;
};

enum class Refusal { WrongPassword, UntrustedServer, UntrustedClient, SilentBroker };

struct RefusedLink {
    const char* name;
    Refusal refusal;
    const char* complaint;
};

class FleetLinkRefused : public testing::TestWithParam<RefusedLink> {};

// The agent's link for a refusal: each differs from a good link in one thing.
LinkSettings refusedLink(Refusal refusal, const Broker& broker, const TestAuthority& stranger,
                         const SilentListener& silent, const TempDir& dir) {
    LinkSettings link = goodLink(broker);
    link.certificate = broker.issueClientCertificate("pump-3");
    switch (refusal) {
        case Refusal::WrongPassword:
            link.password = "guessed";
            break;
        case Refusal::UntrustedServer:
            link.authority = stranger.certificateFile();
            break;
        case Refusal::UntrustedClient:
            link.certificate = (dir.path() / "stranger").string();
            TestAuthority::writeIdentity(stranger.issueClientIdentity("pump-3"), link.certificate);
            break;
        case Refusal::SilentBroker:
            link.url = silent.url();
            link.keepaliveS = 5;
            break;
    }
    return link;
}

// Refused, or never answered, the agent goes on supervising and serving, and tries again.
TEST_P(FleetLinkRefused, KeepsTheAgentServingAndTryingAgain) {
    const Broker broker(kFleetUsers, Broker::ClientCertificates::Required);
    const TestAuthority stranger("unknown authority");
    const SilentListener silent;
    const TempDir dir;
    const RefusedLink& row = GetParam();
    const LinkSettings link = refusedLink(row.refusal, broker, stranger, silent, dir);
    RunningAgent agent(dir, settings(dir, mqttSettings(dir, link)));
    ASSERT_TRUE(agent.serving()) << agent.err();
    const auto attempts = [&] {
        const std::string err = agent.err();
        size_t count = 0;
        for (size_t at = err.find(row.complaint); at != std::string::npos; at = err.find(row.complaint, at + 1)) {
            ++count;
        }
        return count;
    };
    for (int wait = 0; wait < 600 && attempts() < 2; ++wait) {
        EXPECT_THAT(ask(agent.socketPath(), "{\"command\": \"status\"}\n"), HasSubstr("\"status\":0,"));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_GE(attempts(), 2U) << agent.err();
    EXPECT_EQ(agent.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FleetLinkRefused,
    testing::Values(RefusedLink{"WrongPassword", Refusal::WrongPassword, "the broker refused the board: Not authorized"},
                    RefusedLink{"UntrustedServerCertificate", Refusal::UntrustedServer, "certificate verify failed"},
                    RefusedLink{"UntrustedClientCertificate", Refusal::UntrustedClient, "it may not trust the board's certificate"},
                    RefusedLink{"SilentBroker", Refusal::SilentBroker, "the broker did not answer within 5 s"}),
    [](const auto& info) { return std::string(info.param.name); });

// Through an outage the board keeps working; what happened meanwhile arrives once the broker is
// back.
TEST(FleetLink, SendsWhatHappenedInABrokerOutageOnceItIsBack) {
    Broker broker(kFleetUsers);
    const TempDir dir;
    BrokerClient watcher(broker, fleetUser("ops", "operator secret", "ops-watch"));
    ASSERT_TRUE(watcher.subscribe("kestro/v1/pump-3/#"));
    RunningAgent agent(dir, settings(dir, mqttSettings(dir, goodLink(broker))),
                       {"--scenario", KESTRO_TEST_SOURCE_DIR "/scenarios/outage.json"});
    ASSERT_TRUE(agent.serving()) << agent.err();
    ASSERT_FALSE(watcher.awaitOn("kestro/v1/pump-3/status", "\"online\":true").empty());
    broker.stop();
    const auto cameBack = [&] {
        const std::string out = agent.out();
        const size_t offline = out.find("node-2 at 0x11: offline");
        return offline != std::string::npos && out.find("node-2 at 0x11: online", offline) != std::string::npos;
    };
    for (int wait = 0; wait < 600 && !cameBack(); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(cameBack()) << agent.out();
    EXPECT_THAT(ask(agent.socketPath(), "{\"command\": \"node\", \"nodes\": \"0x10\", \"name\": \"get-values-a0\"}\n"),
                HasSubstr("\"status\":0,"));
    broker.restart();
    EXPECT_FALSE(watcher.awaitOn("kestro/v1/pump-3/event", "\"kind\":\"offline\",\"address\":\"0x11\"").empty());
    EXPECT_FALSE(watcher.awaitOn("kestro/v1/pump-3/event", "\"kind\":\"online\",\"address\":\"0x11\"").empty());
    // The broker said the board was gone (its will, as it went down), then the board came back.
    bool gone = false;
    EXPECT_TRUE(watcher.await([&](const MqttMessage& message) {
        if (message.topic != "kestro/v1/pump-3/status") {
            return false;
        }
        gone = gone || message.payload == "{\"online\":false,\"board\":\"pump-3\"}";
        return gone && message.payload.starts_with("{\"online\":true");
    }));
    EXPECT_EQ(agent.stop(), 0);
}

}  // namespace
