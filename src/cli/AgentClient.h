#pragma once

#include <json-c/json.h>

#include <functional>
#include <optional>
#include <string>

#include "Console.h"
#include "JsonDocument.h"
#include "Transfer.h"

namespace cli {

constexpr const char* kDefaultAgentSocket = "/run/i2c-kestro/agent.sock";
constexpr const char* kAgentSocketVariable = "I2C_KESTRO_AGENT_SOCKET";
// How long the tool waits for any line of the agent before it gives up.
constexpr int kAgentSilenceSeconds = 30;

// The socket named by --agent-socket (`option`, when given), else by the environment, else
// the default.
std::string agentSocketPath(const std::string& option);

// A connection to the board agent's socket, closed when it goes.
class AgentConnection {
  public:
    // Connects to `path`; connected() is false when no socket is there or nothing listens.
    explicit AgentConnection(const std::string& path);
    ~AgentConnection();
    AgentConnection(const AgentConnection&) = delete;
    AgentConnection& operator=(const AgentConnection&) = delete;

    bool connected() const { return _fd >= 0; }
    // Why connect() failed (an errno value).
    int reason() const { return _reason; }

    // Sends `request` (with the open file `handed`, when not -1) and reads the agent's lines
    // until its reply, handing each progress array to `progress`; the reply, or why none came
    // (the text the tool prints).
    struct Answer {
        JsonDocument reply;
        std::string fault;
    };
    Answer ask(json_object* request, const std::function<void(json_object*)>& progress,
               int handed = -1);

  private:
    // The whole line, the descriptor (when not -1) with its first bytes; false when that failed.
    bool sendLine(std::string_view line, int handed);
    // The next line, or nothing when none came in time or the agent hung up.
    std::optional<std::string> nextLine();

    std::string _path;
    int _fd;
    int _reason = 0;
    std::string _pending;
    bool _silent = false;
};

// The agent's progress rows ({"address", "done", "total"}) drawn as the tool draws its own
// transfers': a bar for one node, a block of lines for several.
class AgentProgress {
  public:
    AgentProgress(Console& console, bool several)
        : _console(console), _several(several), _bar(console) {}
    void update(json_object* rows);
    void finish();

  private:
    Console& _console;
    bool _several;
    ProgressBar _bar;
    std::optional<ProgressBlock> _block;
    size_t _rows = 0;
};

// The status document as a table of its nodes and a list of its transfers.
std::string statusText(json_object* status);

}  // namespace cli
