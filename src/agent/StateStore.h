#pragma once

#include <string>

#include "Supervisor.h"

namespace agent {

// What the agent knows that must outlive it (each node's last sighting and clock offset, when
// each job last ran, the transfers under way), kept in STATE_DIR/state.json. Written whole to a
// temporary file and renamed over the old one, so a crash leaves one or the other, never half.
class StateStore {
  public:
    explicit StateStore(std::string directory);

    // Restores what the file holds into `supervisor` (devices it no longer lists are skipped);
    // returns the transfers the last run left under way, for the log.
    std::vector<std::string> restore(Supervisor& supervisor) const;
    // Writes the state; false (and a line on standard error, once) when it cannot.
    bool save(const Supervisor& supervisor, json_object* transfers);

  private:
    std::string _path;
    bool _complained = false;
};

}  // namespace agent
