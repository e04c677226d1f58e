#pragma once

#include <string>

namespace agent {

struct AgentOptions {
    std::string config = "/etc/i2c-kestro/config.json";
    std::string agentConfig = "/etc/i2c-kestro/agent.json";
    bool foreground = false;
    bool verbose = false;  // the library's console lines on standard error
};

// Exit statuses of the agent besides the board's error codes (1-8) from its start-up.
constexpr int kAgentUsageError = 64;       // a bad argument or setting
constexpr int kAgentCannotServe = 71;      // the control socket cannot be made

// Brings the board up, supervises its nodes and serves the control socket until SIGTERM or
// SIGINT; returns the exit status. `ready` is called once start-up is over (the daemon's parent
// is told then).
int runAgent(const AgentOptions& options, void (*ready)());

}  // namespace agent
