// The board agent over a day: 32 nodes, polls every 10 s, a job on every node every minute, one
// node silenced for an hour by the scenario's timeline, 24 simulated hours under the fast clock.
// Prints the agent's peak memory and its growth, its CPU per poll round, how soon the silenced
// node was reported offline and back; then, in real time on the example board, what the tool's
// `node 0x10 get-identity` costs through the agent's socket beyond the command's own wait.

#include <json-c/json.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kNodes = 32;
constexpr int kFirstAddress = 0x10;
constexpr int kSilencedAddress = 0x11;
constexpr int kSilentFromS = 3600;
constexpr int kSilentUntilS = 7200;
constexpr int kPollPeriodS = 10;
constexpr int kProbePeriodS = 60;
constexpr double kCommandWaitMs = 100;

std::string hexAddress(int address) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(address));
    return text;
}

void write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

std::string read(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string soakBoard() {
    std::ostringstream json;
    json << R"({"version": 1, "buses": {"/dev/i2c-3": {"nodes": [)";
    for (int i = 0; i < kNodes; ++i) {
        json << (i == 0 ? "" : ",") << R"({"address": ")" << hexAddress(kFirstAddress + i)
             << R"(", "identity": ["kestro", "1.4.2", "soak", "node-)" << i << R"("]})";
    }
    json << R"(]}}, "gpio": {"present": true}, "device_api": {"endpoint": "api.kestro.example",)"
         << R"( "api_key": "example-key", "devices": [)";
    for (int i = 0; i < kNodes; ++i) {
        json << (i == 0 ? "" : ",") << R"({"id": "node-)" << i << R"(", "config": {"addr": )"
             << kFirstAddress + i << "}}";
    }
    json << R"(]}, "timeline": [)"
         << R"({"at_s": )" << kSilentFromS << R"(, "node": ")" << hexAddress(kSilencedAddress)
         << R"(", "event": "silent"}, {"at_s": )" << kSilentUntilS << R"(, "node": ")"
         << hexAddress(kSilencedAddress) << R"(", "event": "answers"}]})";
    return json.str();
}

std::string agentSettings(const fs::path& dir) {
    return R"({"poll_period_s": )" + std::to_string(kPollPeriodS) + R"(, "probe_period_s": )" +
           std::to_string(kProbePeriodS) +
           R"(, "jobs": [{"command": "get-values-a0", "period_s": 60}], "socket": {"path": ")" +
           (dir / "agent.sock").string() + R"(", "group": ""}, "state_dir": ")" + dir.string() +
           R"("})";
}

pid_t launch(const std::vector<std::string>& words, const fs::path& out) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (std::freopen(out.c_str(), "w", stdout) == nullptr) {
            ::_exit(126);
        }
        std::vector<char*> argv;
        for (const std::string& word : words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

std::vector<std::string> agentUnderSim(const std::vector<std::string>& simOptions,
                                       const std::string& scenario, const fs::path& settings) {
    std::vector<std::string> words{KESTRO_SIM_LAUNCHER};
    words.insert(words.end(), simOptions.begin(), simOptions.end());
    words.insert(words.end(), {"--scenario", scenario, "--", KESTRO_AGENT_PATH, "--config",
                               KESTRO_EXAMPLES "/config.json", "--agent-config",
                               settings.string(), "--foreground"});
    return words;
}

// The agent process: the launcher's child named after it.
std::optional<pid_t> agentPid(pid_t launcher) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (!std::all_of(name.begin(), name.end(), ::isdigit)) {
            continue;
        }
        std::istringstream stat(read(entry.path() / "stat"));
        std::string pid, comm, state, parent;
        stat >> pid >> comm >> state >> parent;
        if (comm.find("i2c-kestro-agen") != std::string::npos && std::stoi(parent) == launcher) {
            return std::stoi(pid);
        }
    }
    return std::nullopt;
}

long statusKiB(pid_t pid, const char* key) {
    std::istringstream status(read("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with(key)) {
            return std::atol(line.c_str() + std::strlen(key));
        }
    }
    return 0;
}

double cpuSeconds(pid_t pid) {
    std::string stat = read("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::atol(field.c_str());
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// One request line to the socket and its one reply line; empty when none came.
std::string request(const fs::path& socket, const std::string& line) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, (line + "\n").data(), line.size() + 1, MSG_NOSIGNAL) > 0) {
        char c = 0;
        while (::read(fd, &c, 1) == 1 && c != '\n') {
            reply += c;
        }
    }
    ::close(fd);
    return reply;
}

// Simulated seconds since the agent started, from its status.
std::optional<double> agentSeconds(const fs::path& socket) {
    json_object* reply = json_tokener_parse(request(socket, R"({"command": "status"})").c_str());
    json_object* result = nullptr;
    json_object* now = nullptr;
    json_object* started = nullptr;
    std::optional<double> seconds;
    if (json_object_object_get_ex(reply, "result", &result) &&
        json_object_object_get_ex(result, "now_ms", &now) &&
        json_object_object_get_ex(result, "started_ms", &started)) {
        seconds = static_cast<double>(json_object_get_int64(now) - json_object_get_int64(started)) / 1000;
    }
    json_object_put(reply);
    return seconds;
}

// The agent's clock at the first event about the silenced node after `after` seconds, from its
// log lines "[+N s] ...".
std::optional<long> eventSecond(const std::string& log, const std::string& what, long after) {
    const std::regex line("\\[\\+([0-9]+) s\\] node-1 at 0x11: " + what);
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line); it != std::sregex_iterator(); ++it) {
        if (const long second = std::stol((*it)[1]); second >= after) {
            return second;
        }
    }
    return std::nullopt;
}

void stop(pid_t pid) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

int soak(const fs::path& dir, double hours) {
    write(dir / "board.json", soakBoard());
    write(dir / "agent.json", agentSettings(dir));
    const pid_t launcher = launch(agentUnderSim({"--fast"}, (dir / "board.json").string(),
                                                dir / "agent.json"), dir / "out");
    const Clock::time_point began = Clock::now();
    std::optional<pid_t> agent;
    long rssAtHour = 0;
    double cpuAtHour = 0;
    double simulated = 0;
    while (simulated < hours * 3600) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (::waitpid(launcher, nullptr, WNOHANG) == launcher) {
            std::printf("soak: the agent ended early:\n%s", read(dir / "out").c_str());
            return 1;
        }
        if (!agent) {
            agent = agentPid(launcher);
            continue;
        }
        simulated = agentSeconds(dir / "agent.sock").value_or(simulated);
        if (rssAtHour == 0 && simulated >= 3600) {
            rssAtHour = statusKiB(*agent, "VmRSS:");
            cpuAtHour = cpuSeconds(*agent);
        }
        if (Clock::now() - began > std::chrono::minutes(30)) {
            std::printf("soak: gave up after 30 min of wall time at %.0f simulated s\n", simulated);
            break;
        }
    }
    const long rssEnd = agent ? statusKiB(*agent, "VmRSS:") : 0;
    const long peak = agent ? statusKiB(*agent, "VmHWM:") : 0;
    const double cpu = agent ? cpuSeconds(*agent) : 0;
    stop(launcher);
    const double wall = std::chrono::duration<double>(Clock::now() - began).count();
    const double rounds = (simulated - 3600) / kPollPeriodS;
    std::printf("soak: %d nodes, %.1f simulated h in %.0f s of wall time\n", kNodes,
                simulated / 3600, wall);
    std::printf("soak: peak RSS %ld KiB; RSS %ld KiB after 1 h, %ld KiB at the end: growth %ld KiB "
                "(target at most 1024)\n", peak, rssAtHour, rssEnd, rssEnd - rssAtHour);
    std::printf("soak: CPU per poll round of %d nodes (jobs and probes included): %.2f ms\n",
                kNodes, rounds > 0 ? (cpu - cpuAtHour) * 1000 / rounds : 0.0);
    const std::string log = read(dir / "out");
    const auto offline = eventSecond(log, "offline", kSilentFromS);
    const auto online = eventSecond(log, "online", kSilentUntilS);
    if (offline && online) {
        std::printf("soak: node silenced at %d s reported offline at %ld s (%ld s; target at most "
                    "%d); answering again at %d s, online at %ld s (%ld s; target at most %d)\n",
                    kSilentFromS, *offline, *offline - kSilentFromS, 2 * kPollPeriodS,
                    kSilentUntilS, *online, *online - kSilentUntilS, kProbePeriodS);
    } else {
        std::printf("soak: the silenced node's events are missing from the agent's log\n");
    }
    return rssEnd - rssAtHour <= 1024 ? 0 : 1;
}

double timedToolCall(const fs::path& socket) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = launch({KESTRO_CLI_PATH, "--agent-socket", socket.string(), "node", "0x10",
                              "get-identity"}, "/dev/null");
    int status = 0;
    ::waitpid(pid, &status, 0);
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void socketOverhead(const fs::path& dir) {
    write(dir / "real.json", agentSettings(dir / "real"));
    fs::create_directories(dir / "real");
    const pid_t launcher = launch(agentUnderSim({}, KESTRO_EXAMPLES "/board.json", dir / "real.json"),
                                  dir / "real-out");
    const Clock::time_point until = Clock::now() + std::chrono::seconds(30);
    while (read(dir / "real-out").find("serving") == std::string::npos && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::vector<double> tool;
    std::vector<double> socket;
    for (int i = 0; i < 30; ++i) {
        tool.push_back(timedToolCall(dir / "real" / "agent.sock") - kCommandWaitMs);
        const Clock::time_point start = Clock::now();
        request(dir / "real" / "agent.sock",
                R"({"command": "node", "nodes": "0x10", "name": "get-identity"})");
        socket.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count() -
                         kCommandWaitMs);
    }
    stop(launcher);
    std::sort(tool.begin(), tool.end());
    std::sort(socket.begin(), socket.end());
    std::printf("socket: node 0x10 get-identity, beyond the command's %.0f ms wait: the request "
                "on the socket median %.2f ms, p95 %.2f ms (target at most 5); the whole tool "
                "(its own start included) median %.2f ms, p95 %.2f ms\n",
                kCommandWaitMs, socket[socket.size() / 2], socket[socket.size() * 95 / 100],
                tool[tool.size() / 2], tool[tool.size() * 95 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    const double hours = argc > 1 ? std::atof(argv[1]) : 24;
    char pattern[] = "/tmp/kestro-agent-soak-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    const int status = hours > 0 ? soak(dir, hours) : 0;
    socketOverhead(dir);
    fs::remove_all(dir);
    return status;
}
