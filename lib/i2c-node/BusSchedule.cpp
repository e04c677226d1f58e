#include "BusSchedule.h"

#include <unistd.h>

#include <algorithm>
#include <deque>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Fiber.h"
#include "NorvaneI2CNode.h"

namespace {

using Clock = BusSchedule::Clock;

// The status of an operation that an exception ended.
constexpr int32_t kEscaped = -1;

// The operation that runs on this thread: the one whose wait yieldFor records.
struct Running;
thread_local Running* runningNow = nullptr;

struct Queued {
    BusSchedule::JobId id;
    NorvaneI2CNode* node;
    BusSchedule::Operation operation;
    BusSchedule::JobOptions options;
};

struct Running {
    BusSchedule::JobId id = 0;
    NorvaneI2CNode* node = nullptr;
    Clock::time_point wakeAt{};
    std::stringbuf console;
    std::unique_ptr<Fiber> fiber;
};

void sleepUntil(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(when - Clock::now());
    if (left.count() > 0) {
        ::usleep(static_cast<useconds_t>(std::min<int64_t>(left.count(), 1000000)));
    }
}

}  // namespace

struct BusSchedule::State {
    std::unordered_map<JobId, Result> results;
    JobId nextId = 0;
    std::deque<Queued> queued;
    std::vector<std::unique_ptr<Running>> running;

    bool nodeBusy(const NorvaneI2CNode* node) const {
        return std::any_of(running.begin(), running.end(),
                           [node](const auto& job) { return job->node == node; });
    }
    bool nodeQueued(const NorvaneI2CNode* node) const {
        return std::any_of(queued.begin(), queued.end(),
                           [node](const Queued& job) { return job.node == node; });
    }

    // Starts, in the order they were added, the queued operations whose node is free.
    void admit(Clock::time_point now) {
        for (auto it = queued.begin(); it != queued.end();) {
            if (nodeBusy(it->node)) {
                ++it;
                continue;
            }
            running.push_back(start(std::move(*it), now));
            it = queued.erase(it);
        }
    }

    std::unique_ptr<Running> start(Queued job, Clock::time_point now) {
        auto running = std::make_unique<Running>();
        running->id = job.id;
        running->node = job.node;
        running->wakeAt = now;
        Result& result = results[job.id];
        running->fiber = std::make_unique<Fiber>(
            [&result, job = std::move(job)] { result.status = runOperation(job); });
        return running;
    }

    static int32_t runOperation(const Queued& job) {
        NorvaneI2CNode& node = *job.node;
        const uint32_t nodePolling = node.replyPollUs;
        node.replyPollUs = job.options.replyPollUs.value_or(nodePolling);
        const int32_t status = job.operation(node);
        node.replyPollUs = nodePolling;
        return status;
    }

    // The operation whose wait ended first, among those due.
    Running* nextDue(Clock::time_point now) {
        Running* due = nullptr;
        for (auto& job : running) {
            if (job->wakeAt <= now && (due == nullptr || job->wakeAt < due->wakeAt)) {
                due = job.get();
            }
        }
        return due;
    }

    // Its console lines go to its own result while it runs.
    void resume(Running& job) {
        Result& result = results[job.id];
        if (result.started == Clock::time_point{}) {
            result.started = Clock::now();
        }
        const ResumeScope scope(job);
        try {
            job.fiber->resume();
        } catch (...) {
            result.status = kEscaped;
            throw;
        }
    }

    // While an operation runs, its console lines are its own and its waits yield.
    struct ResumeScope {
        explicit ResumeScope(Running& job)
            : shared(std::cout.rdbuf(&job.console)), outer(std::exchange(runningNow, &job)) {}
        ~ResumeScope() {
            runningNow = outer;
            std::cout.rdbuf(shared);
        }
        ResumeScope(const ResumeScope&) = delete;
        ResumeScope& operator=(const ResumeScope&) = delete;
        std::streambuf* shared;
        Running* outer;
    };

    // Returns the ended operation's id, if it ended.
    std::optional<JobId> finishIfEnded(Running& job) {
        if (!job.fiber->finished()) {
            return std::nullopt;
        }
        const JobId id = job.id;
        Result& result = results[id];
        result.console = job.console.str();
        result.ended = Clock::now();
        result.done = true;
        std::erase_if(running, [&job](const auto& other) { return other.get() == &job; });
        return id;
    }

    std::optional<Clock::time_point> nextWakeUp() const {
        if (running.empty()) {
            return std::nullopt;
        }
        auto earliest = std::min_element(running.begin(), running.end(),
                                         [](auto& a, auto& b) { return a->wakeAt < b->wakeAt; });
        return (*earliest)->wakeAt;
    }
};

BusSchedule::BusSchedule() : _state(std::make_unique<State>()) {}

BusSchedule::~BusSchedule() = default;

BusSchedule::JobId BusSchedule::add(NorvaneI2CNode& node, Operation operation, JobOptions options) {
    const JobId id = _state->nextId++;
    _state->results.emplace(id, Result{});
    _state->queued.push_back({id, &node, std::move(operation), options});
    return id;
}

std::optional<BusSchedule::Clock::time_point> BusSchedule::runDue() {
    if (runningNow != nullptr) {
        throw std::logic_error("a bus schedule cannot run inside one of its operations");
    }
    for (;;) {
        const Clock::time_point now = Clock::now();
        _state->admit(now);
        Running* due = _state->nextDue(now);
        if (due == nullptr) {
            return _state->nextWakeUp();
        }
        try {
            _state->resume(*due);
        } catch (...) {
            _state->finishIfEnded(*due);
            throw;
        }
        if (auto ended = _state->finishIfEnded(*due); ended && onDone) {
            onDone(*ended, _state->results[*ended]);
        }
    }
}

void BusSchedule::run() {
    while (auto wakeUp = runDue()) {
        sleepUntil(*wakeUp);
    }
}

bool BusSchedule::idle() const {
    return _state->queued.empty() && _state->running.empty();
}

bool BusSchedule::busy(const NorvaneI2CNode& node) const {
    return _state->nodeBusy(&node) || _state->nodeQueued(&node);
}

void BusSchedule::release(JobId id) {
    const auto found = _state->results.find(id);
    if (found != _state->results.end() && found->second.done) {
        _state->results.erase(found);
    }
}

const BusSchedule::Result& BusSchedule::result(JobId id) const {
    return _state->results.at(id);
}

bool BusSchedule::yieldFor(uint32_t waitUs) {
    if (runningNow == nullptr || Fiber::current() == nullptr) {
        return false;
    }
    runningNow->wakeAt = Clock::now() + std::chrono::microseconds(waitUs);
    Fiber::yield();
    return true;
}
