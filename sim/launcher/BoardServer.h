#pragma once
// Serves the run's board on a Unix socket to every process of the run (see
// BoardService.h), from a thread of its own, until destroyed. Only processes
// of the launcher's own user are served (checked on each connection besides
// the socket's mode 0600).

#include <list>
#include <string>
#include <thread>

#include "BoardService.h"

namespace sim {

struct Connection {
    int fd = -1;
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
    int settle(std::list<Connection>& connections);
    void drop(BoardService::Peer& peer, int fd);
};

}  // namespace sim
