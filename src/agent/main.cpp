#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>

#include "Agent.h"
#include "BuildStamp.h"

namespace {

constexpr const char* kDescription =
    "Keeps the board's nodes supervised, in time and collected, and serves the operator tool "
    "through a local socket, until SIGTERM or SIGINT. SIGHUP reloads the agent's settings.";

constexpr const char* kFooter = R"(Examples:
  i2c-kestro-agent --foreground          as the systemd unit runs it
  i2c-kestro-sim --fast --scenario examples/board.json -- \
    i2c-kestro-agent --config examples/config.json --agent-config examples/agent.json --foreground

Exit status: 0 stopped by SIGTERM or SIGINT; 1-8 the board's start-up error; 64 a bad argument
or setting (one line names it); 71 the control socket cannot be made.
Settings: docs/agent.md; requests on the socket: docs/commands.md.)";

// Written by the daemon once it is serving, read by the parent that started it.
int readyPipe[2] = {-1, -1};

void tellParentReady() {
    if (readyPipe[1] >= 0) {
        const char ok = 0;
        [[maybe_unused]] const ssize_t wrote = ::write(readyPipe[1], &ok, 1);
        ::close(readyPipe[1]);
        readyPipe[1] = -1;
    }
}

// Without --foreground the agent runs on in a child of its own session; the command returns
// once it serves, or with its status when start-up failed.
int detach() {
    if (::pipe2(readyPipe, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child != 0) {
        ::close(readyPipe[1]);
        char ok = 1;
        if (child > 0 && ::read(readyPipe[0], &ok, 1) == 1) {
            return 0;
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1;
    }
    ::close(readyPipe[0]);
    ::setsid();
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    agent::AgentOptions options;
    CLI::App app(kDescription, "i2c-kestro-agent");
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("i2c-kestro-agent ") + KESTRO_VERSION +
                                          " (built " + kBuildStamp + ")");
    app.add_option("--config", options.config, "the board's configuration")
        ->capture_default_str();
    app.add_option("--agent-config", options.agentConfig, "the agent's own settings")
        ->capture_default_str();
    app.add_flag("--foreground", options.foreground,
                 "stay in the foreground (as under systemd) instead of detaching");
    app.add_flag("-v,--verbose", options.verbose,
                 "show the library's console lines (each node exchange) on standard error");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : agent::kAgentUsageError;
    }
    if (!options.foreground) {
        if (const int status = detach(); status >= 0) {
            return status;
        }
    }
    return agent::runAgent(options, tellParentReady);
}
