#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class NorvaneI2CNode;

/// Runs operations of several nodes at once on one thread.
///
/// An operation is any code that speaks to one node through its methods: a node command, a
/// file transfer with its TransferOptions, or a longer exchange composed of them. Each one runs
/// exactly as it runs alone (the same frames, the same statuses, waits at least as long) until
/// it reaches one of the protocol's waits; there the schedule moves on to an operation whose
/// wait is over, and comes back to this one once its own wait has passed. So while one node
/// works on a request, the bus carries another node's. One schedule runs on one thread, so its
/// transactions never overlap; schedules on different threads run different buses at once.
///
/// Operations of one node run one after another, in the order they were added; operations of
/// different nodes interleave. Whatever an operation prints on std::cout (the library's console
/// lines) is kept in its own Result instead of being mixed with the others'.
///
/// Nodes are opened before their operations are added and must outlive them; open and close
/// nodes only between runs, from the thread that runs the schedule.
class BusSchedule {
  public:
    using Clock = std::chrono::steady_clock;
    /// The operation's status (a NodeStatus) is its result.
    using Operation = std::function<int32_t(NorvaneI2CNode&)>;
    using JobId = std::size_t;

    struct JobOptions {
        /// Reply polling for this operation only, in microseconds between polls (0: off);
        /// unset, the node's own `replyPollUs` holds. See NorvaneI2CNode::replyPollUs.
        std::optional<uint32_t> replyPollUs;
    };

    /// What one operation left behind, complete once `done` is true.
    struct Result {
        bool done = false;
        int32_t status = 0;
        /// The console lines the library printed while this operation ran.
        std::string console;
        Clock::time_point started{};
        Clock::time_point ended{};
    };

    BusSchedule();
    /// Operations that have not ended are abandoned where they stand: their nodes may still
    /// hold a transfer open.
    ~BusSchedule();
    BusSchedule(const BusSchedule&) = delete;
    BusSchedule& operator=(const BusSchedule&) = delete;

    /// Queues `operation` on `node`; it starts once the node's earlier operations have ended.
    JobId add(NorvaneI2CNode& node, Operation operation, JobOptions options = {});

    /// Runs until every queued operation has ended, sleeping while all of them wait. An
    /// exception that an operation lets escape (std::bad_alloc) ends that operation with
    /// status -1 and comes out of run() or runDue(); the others stay where they are.
    void run();

    /// For an event loop: runs whatever is due now, without sleeping, and answers when to
    /// come back (nothing when no operation is left). Operations may be added between calls.
    std::optional<Clock::time_point> runDue();

    /// True when no operation is queued, running or waiting.
    bool idle() const;
    /// True while an operation of `node` is queued, running or waiting.
    bool busy(const NorvaneI2CNode& node) const;

    /// Every result is kept until it is released; a schedule that lives long (an event loop's)
    /// releases each once it has read it. Releasing one that has not ended does nothing.
    const Result& result(JobId id) const;
    void release(JobId id);

    /// Called on the schedule's thread as each operation ends, with its result.
    std::function<void(JobId, const Result&)> onDone;

    /// Inside an operation of a schedule on this thread: lets the others run for `waitUs`,
    /// then returns. Outside one: false, and nothing happens. NorvaneI2CNode::waitOut calls it.
    static bool yieldFor(uint32_t waitUs);

  private:
    struct State;
    std::unique_ptr<State> _state;
};
