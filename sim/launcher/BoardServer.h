#pragma once
// Serves the run's board on a Unix socket to every process of the run (see
// BoardService.h), from a thread of its own, until destroyed. Only processes
// of the launcher's own user are served (checked on each connection besides
// the socket's mode 0600). Each connection gets an area of shared memory
// (see SharedArea.h) through which its requests and answers go; the thread
// spins over the areas for a short while after its last work, then blocks in
// poll() over the sockets, where the programs ring when it said so.

#include <poll.h>

#include <list>
#include <string>
#include <thread>
#include <vector>

#include "BoardService.h"
#include "SharedArea.h"

namespace sim {

struct Connection {
    int fd = -1;
    link::BoardEnd end;
    BoardService::Peer peer;
};

class BoardServer {
  public:
    // Listens on `socketPath` (which must not exist); throws std::runtime_error.
    BoardServer(std::string socketPath, BoardService::Settings settings);
    ~BoardServer();
    BoardServer(const BoardServer&) = delete;
    BoardServer& operator=(const BoardServer&) = delete;

    const std::string& socketPath() const { return socketPath_; }

  private:
    std::string socketPath_;
    BoardService service_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    void serve();
    bool wait(std::list<Connection>& connections, std::vector<pollfd>& watched, int timeoutMs);
    void answerSockets(std::list<Connection>& connections, const std::vector<pollfd>& watched);
    bool takeRequests(std::list<Connection>& connections);
    int settle(std::list<Connection>& connections);
    void drop(Connection& connection);
};

}  // namespace sim
