#include "ToolRunner.h"

#include <pty.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "TargetCommand.h"

namespace {

std::vector<std::string> toolCommand(const std::string& scenario,
                                     const std::vector<std::string>& arguments) {
    std::vector<std::string> program{KESTRO_CLI_PATH};
    program.insert(program.end(), arguments.begin(), arguments.end());
    return kestro::test::simCommand({"--fast", "--scenario", scenarioPath(scenario)}, program);
}

[[noreturn]] void execute(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

int memFileWith(const std::string& text) {
    const int fd = memfd_create("tool-stream", 0);
    if (!text.empty() && write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::system_error(errno, std::generic_category(), "write");
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string contentsOf(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

int exitStatusOf(pid_t child) {
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

std::string scenarioPath(const std::string& name) {
    return std::string(KESTRO_CLI_SCENARIOS) + "/" + name + ".json";
}

ToolRun runTool(const std::string& scenario, const std::vector<std::string>& arguments,
                const std::string& input) {
    const std::vector<std::string> words = toolCommand(scenario, arguments);
    const int in = memFileWith(input);
    const int out = memFileWith("");
    const int err = memFileWith("");
    const pid_t child = fork();
    if (child == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        execute(words);
    }
    close(in);
    const int status = exitStatusOf(child);
    return {status, contentsOf(out), contentsOf(err)};
}

ToolRun runToolOnTerminal(const std::string& scenario, const std::vector<std::string>& arguments) {
    const std::vector<std::string> words = toolCommand(scenario, arguments);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child == 0) {
        execute(words);
    }
    std::string shown;
    char buffer[4096];
    // The terminal's side reads EIO once the program has closed its end.
    for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
        shown.append(buffer, static_cast<size_t>(got));
    }
    close(terminal);
    return {exitStatusOf(child), shown, ""};
}
