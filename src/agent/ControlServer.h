#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "AgentConfig.h"
#include "OwnedFd.h"

namespace agent {

// The agent's local control socket: a Unix stream socket taking one request per line and
// answering each with one line (and progress lines before it). The server deals in lines only:
// what a request means is its owner's business. A client is read only while none of its
// requests is open, so it can never queue work faster than the agent does it; one that says
// nothing, or too much, costs only its own connection.
//
// A client may hand over open files (SCM_RIGHTS) with the first bytes of a request line: they
// go to the handler with that line. As a client sends its next line only once answered, the
// read that brings descriptors begins with the line they came with.
class ControlServer {
  public:
    using ClientId = uint64_t;
    using Files = std::vector<cli::OwnedFd>;
    using LineHandler = std::function<void(ClientId client, const std::string& line, Files files)>;
    using GoneHandler = std::function<void(ClientId client)>;

    // Longest request line; a longer one is refused and its connection closed.
    static constexpr size_t kLongestLine = 64 * 1024;
    // Connections beyond this are closed as they come.
    static constexpr size_t kMostClients = 64;
    // Descriptors kept with one line, and waiting for their line; any more are closed.
    static constexpr size_t kMostFilesPerLine = 2;

    // Binds the socket (replacing a stale one) with the configured group and mode; throws
    // std::runtime_error saying why it cannot.
    ControlServer(const AgentConfig& config, LineHandler onLine, GoneHandler onGone);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    void addPollFds(std::vector<pollfd>& fds) const;
    // Accepts, reads and writes whatever poll() found ready; closes the idle.
    void handle(const std::vector<pollfd>& fds);
    // Queues a line for the client; `last` ends its request, so it is read again.
    void send(ClientId client, const std::string& line, bool last);
    // Writes what waits for each client, as far as its socket takes it now (on the way out).
    void flush();
    const std::string& path() const { return _path; }

  private:
    struct Client {
        int fd = -1;
        std::string in;
        uint64_t inAt = 0;  // where `in` begins in all the client has sent
        // Descriptors not yet delivered, each with where in the stream its read began.
        std::vector<std::pair<uint64_t, cli::OwnedFd>> files;
        std::string out;
        bool open = false;     // a request of it is being served
        bool closing = false;  // closed once its output is written
        std::chrono::steady_clock::time_point lastHeard;
    };

    void acceptClients();
    void readFrom(ClientId id, Client& client);
    void deliverLines(ClientId id, Client& client);
    static Files filesUpTo(Client& client, uint64_t end);
    bool writeTo(Client& client);
    void closeIdle();
    void drop(ClientId id);

    std::string _path;
    int _listen = -1;
    LineHandler _onLine;
    GoneHandler _onGone;
    std::map<ClientId, Client> _clients;
    ClientId _nextId = 1;
};

}  // namespace agent
