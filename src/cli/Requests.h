#pragma once

#include <json-c/json.h>

#include <memory>
#include <string>
#include <variant>

#include "BusSchedule.h"
#include "JsonDocument.h"
#include "ManyNodes.h"
#include "OwnedFd.h"

namespace cli {

// What the tool would have printed and ended with.
struct Reply {
    int status = 0;
    std::string out;
    std::string err;
    JsonDocument result;  // the --json document; null without "json": true
};

// A node, put or get request of the agent's socket, its operations queued on the agent's
// schedule. Its operations refer to it: keep it until done(), also once cancelled.
class PendingRequest {
  public:
    virtual ~PendingRequest() = default;
    // Every operation of it has ended. Moves the request on to its next step when one has
    // ended (the call that follows the sweep of "all").
    virtual bool done() = 0;
    // Once done: the reply.
    virtual Reply finish() = 0;
    // The client went away: transfers stop after the step under way and end on their nodes
    // (as the tool does on SIGINT); node commands run out.
    virtual void cancel() = 0;
    // [{address, direction, remote, done, total}] of its transfers.
    virtual JsonDocument progress() const = 0;
};

// Where the agent works: its bus, and the folder of its copies of handed-over files.
struct Workplace {
    std::string bus;
    std::string spool;
};

// Checks the request as the tool checks its command line; a bad one gets status 64 and one
// line on err. The nodes come from `nodes` (the agent's own), the work goes on `schedule`.
// `files` came with the request ("local_fd"); they are closed when it ends or is refused.
std::variant<Reply, std::unique_ptr<PendingRequest>> startRequest(json_object* request,
                                                                  BusSchedule& schedule,
                                                                  const NodeProvider& nodes,
                                                                  const Workplace& workplace,
                                                                  std::vector<OwnedFd> files = {});

}  // namespace cli
