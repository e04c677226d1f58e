// The cases of the many-nodes benchmark, run on the simulated board under `--fast`.
//
// Every time below is simulated: the protocol's waits and the wire's time on the run's one
// clock. The CPU column is this program's own (the launcher's comes on top).

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "BusSchedule.h"
#include "ManyNodes.h"
#include "NorvaneI2CNode.h"
#include "WireTime.h"

namespace many_nodes {

namespace {

constexpr int kNodeCounts[] = {1, 2, 5, 10, 20, 40};
constexpr int kIdentityNodes = 20;
constexpr uint32_t kPollUs = 2000;
// A transfer moves 800 bytes per one-second chunk wait without polling.
constexpr double kTodayBytesPerSecond = 800.0;
const std::string kSentName = "sent.bin";
const std::array<std::string, 4> kIdentity{"kestro-sim", "1.0", "sim-board", "sim-node"};

// Targets.
constexpr double kMostRatioWhileHalfBusy = 1.05;
constexpr double kLeastShareOfCeilingWhenFull = 0.90;
constexpr double kMostIdentityRatio = 1.5;
constexpr double kLeastPollingSpeedUp = 30.0;

enum class Direction { Send, Fetch };

// The nodes of one case, opened and closed without their console lines.
class Nodes {
  public:
    Nodes(const Bus& bus, int count) {
        QuietConsole quiet;
        for (int i = 0; i < count; ++i) {
            nodes_.push_back(std::make_unique<NorvaneI2CNode>(
                static_cast<uint8_t>(kFirstAddress + i), bus.path));
        }
    }
    ~Nodes() {
        QuietConsole quiet;
        nodes_.clear();
    }
    Nodes(const Nodes&) = delete;
    Nodes& operator=(const Nodes&) = delete;

    size_t size() const { return nodes_.size(); }
    NorvaneI2CNode& operator[](size_t index) { return *nodes_[index]; }

  private:
    std::vector<std::unique_ptr<NorvaneI2CNode>> nodes_;
};

// An operation of the node at this index in its batch, and what tells, once the batch has run,
// whether that node's result is right.
using Operation = std::function<int32_t(NorvaneI2CNode&, size_t)>;
using Check = std::function<bool(size_t)>;

struct Batch {
    double seconds = 0;
    double cpuSeconds = 0;
    int failures = 0;
};

// Under --fast the monotonic clock is the run's simulated one, as the schedule's own waits are.
double simulatedSeconds() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count();
}

// All operations at once through one schedule; `check` then tells each one's result right.
Batch runBatch(Nodes& nodes, const Operation& operation, const Check& check,
               BusSchedule::JobOptions options = {}) {
    BusSchedule schedule;
    std::vector<BusSchedule::JobId> ids;
    for (size_t i = 0; i < nodes.size(); ++i) {
        ids.push_back(schedule.add(
            nodes[i], [&operation, i](NorvaneI2CNode& node) { return operation(node, i); },
            options));
    }
    const double cpuBefore = processCpuMicros();
    const double before = simulatedSeconds();
    {
        QuietConsole quiet;
        schedule.run();
    }
    Batch batch{simulatedSeconds() - before, (processCpuMicros() - cpuBefore) / 1e6, 0};
    for (size_t i = 0; i < ids.size(); ++i) {
        batch.failures += schedule.result(ids[i]).status != NODE_SUCCESS || !check(i) ? 1 : 0;
    }
    return batch;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Sends the node file to every node, or fetches it from every node into a copy of its own.
class Transfers {
  public:
    explicit Transfers(const std::string& folder)
        : folder_(folder), original_(readWhole(folder + "/" + kNodeFile)) {}

    Batch run(Direction direction, Nodes& nodes, BusSchedule::JobOptions options = {}) const {
        if (direction == Direction::Send) {
            const std::string local = folder_ + "/" + kNodeFile;
            return runBatch(
                nodes,
                [&local](NorvaneI2CNode& node, size_t) {
                    return node.sendFile(local, kSentName, TransferOptions{});
                },
                [](size_t) { return true; }, options);
        }
        return runBatch(
            nodes,
            [this](NorvaneI2CNode& node, size_t i) {
                return node.getFile(kNodeFile, copy(i), TransferOptions{});
            },
            [this](size_t i) { return takeCopy(i); }, options);
    }

  private:
    std::string copy(size_t index) const {
        return folder_ + "/copy-" + std::to_string(index) + ".bin";
    }

    bool takeCopy(size_t index) const {
        const bool same = readWhole(copy(index)) == original_;
        std::remove(copy(index).c_str());
        return same;
    }

    std::string folder_;
    std::string original_;
};

const char* directionName(Direction direction) {
    return direction == Direction::Send ? "send" : "fetch";
}

uint64_t exchangeWireUs(Direction direction, uint64_t hz) {
    return direction == Direction::Send ? wire::sendFileUs(kFileSize, kSentName, hz)
                                        : wire::fetchFileUs(kFileSize, kNodeFile, hz);
}

const char* verdict(bool met) {
    return met ? "met" : "MISSED";
}

// One row: N nodes against one node's time `oneSeconds`. The demand is the share of the time
// one node takes that N nodes' transactions would keep the wire busy: up to 0.5 the nodes
// should hardly slow each other, from 1 on the wire is full and sets the pace.
void printTransferRow(const Bus& bus, int count, const Batch& batch, double oneSeconds,
                      uint64_t wireUs) {
    const double ceiling = wire::ceilingBytesPerSecond(kFileSize, wireUs);
    const double goodput = static_cast<double>(kFileSize) * count / batch.seconds;
    const double share = goodput / ceiling;
    const double demand = count * static_cast<double>(wireUs) / 1e6 / oneSeconds;
    const double ratio = batch.seconds / oneSeconds;
    std::string target = "none (wire 50-100% asked)";
    if (demand <= 0.5) {
        target = std::string("<= 1.05x one: ") + verdict(ratio <= kMostRatioWhileHalfBusy);
    } else if (demand >= 1.0) {
        target =
            std::string(">= 90% of ceiling: ") + verdict(share >= kLeastShareOfCeilingWhenFull);
    }
    std::printf("%-8s %3d %9.1f %7.3f %10.0f %10.0f %6.1f%% %7.2f %6.2f  %s%s\n", bus.label, count,
                batch.seconds, ratio, goodput, ceiling, share * 100, demand, batch.cpuSeconds,
                target.c_str(), batch.failures == 0 ? "" : "  (some FAILED)");
    std::fflush(stdout);
}

int transferTable(const Transfers& transfers, Direction direction) {
    std::printf("\n%s 256 KiB, each of N nodes, through one BusSchedule (simulated time)\n",
                direction == Direction::Send ? "Sending" : "Fetching");
    std::printf("%-8s %3s %9s %7s %10s %10s %7s %7s %6s  %s\n", "bus", "N", "time s", "x one",
                "goodput", "ceiling", "of ceil", "demand", "CPU s", "target");
    int failures = 0;
    for (const Bus& bus : {kBus100k, kBus400k}) {
        const uint64_t wireUs = exchangeWireUs(direction, bus.hz);
        double oneSeconds = 0;
        for (int count : kNodeCounts) {
            Nodes nodes(bus, count);
            const Batch batch = transfers.run(direction, nodes);
            oneSeconds = count == 1 ? batch.seconds : oneSeconds;
            printTransferRow(bus, count, batch, oneSeconds, wireUs);
            failures += batch.failures;
        }
    }
    return failures;
}

int identityCase() {
    const Operation identity = [](NorvaneI2CNode& node, size_t) {
        std::array<std::string, 4> texts;
        const int32_t status = node.getIdentity(texts[0], texts[1], texts[2], texts[3]);
        return status == NODE_SUCCESS && texts != kIdentity ? NODE_REPLY_NOT_OK : status;
    };
    const auto always = [](size_t) { return true; };
    const auto time = [&](int count) {
        Nodes nodes(kBus400k, count);
        return runBatch(nodes, identity, always);
    };
    const Batch alone = time(1);
    const Batch all = time(kIdentityNodes);
    const double ratio = all.seconds / alone.seconds;
    std::printf("\ngetIdentity through one BusSchedule, 400 kHz (simulated time)\n");
    std::printf("one node %.1f ms, %d nodes %.1f ms: %.2fx one node's (target <= %.1fx: %s)\n",
                alone.seconds * 1e3, kIdentityNodes, all.seconds * 1e3, ratio, kMostIdentityRatio,
                verdict(ratio <= kMostIdentityRatio));
    return alone.failures + all.failures;
}

int pollingRow(const Transfers& transfers, Direction direction) {
    Nodes nodes(kBusLate, 1);
    const Batch waiting = transfers.run(direction, nodes);
    const Batch polling = transfers.run(direction, nodes, {.replyPollUs = kPollUs});
    const double waitingRate = static_cast<double>(kFileSize) / waiting.seconds;
    const double pollingRate = static_cast<double>(kFileSize) / polling.seconds;
    const double speedUp = pollingRate / kTodayBytesPerSecond;
    const double ceiling =
        wire::ceilingBytesPerSecond(kFileSize, exchangeWireUs(direction, kBusLate.hz));
    std::printf("%-6s %9.0f %9.0f %8.1fx %10.0f %6.1f%%  >= %.0fx: %s\n", directionName(direction),
                waitingRate, pollingRate, speedUp, ceiling, pollingRate / ceiling * 100,
                kLeastPollingSpeedUp, verdict(speedUp >= kLeastPollingSpeedUp));
    return waiting.failures + polling.failures;
}

int pollingTable(const Transfers& transfers) {
    std::printf(
        "\nOne node, 400 kHz, replies ready %u ms after each request, 256 KiB,"
        " polled every %u ms (simulated time; rates in file bytes/s)\n",
        kReadyUs / 1000, kPollUs / 1000);
    std::printf("%-6s %9s %9s %9s %10s %7s  %s\n", "", "waiting", "polling", "vs 800", "ceiling",
                "of ceil", "target");
    return pollingRow(transfers, Direction::Send) + pollingRow(transfers, Direction::Fetch);
}

void printCeilings() {
    std::printf("Wire time per chunk exchange (request write, reply header read, rest read):\n");
    for (const Bus& bus : {kBus100k, kBus400k}) {
        std::printf(
            "  %s: send %.2f ms, fetch %.2f ms; whole 256 KiB exchange send %.2f s,"
            " fetch %.2f s\n",
            bus.label, wire::sendChunkUs(bus.hz) / 1e3,
            wire::fetchChunkUs(wire::kChunkSize, bus.hz) / 1e3,
            exchangeWireUs(Direction::Send, bus.hz) / 1e6,
            exchangeWireUs(Direction::Fetch, bus.hz) / 1e6);
    }
}

}  // namespace

int measure(const std::string& folder) {
    const Transfers transfers(folder);
    std::printf("Many nodes on one bus through one BusSchedule, under i2c-kestro-sim --fast\n");
    printCeilings();
    int failures = transferTable(transfers, Direction::Send);
    failures += transferTable(transfers, Direction::Fetch);
    failures += identityCase();
    failures += pollingTable(transfers);
    if (failures != 0) {
        std::printf("%d operations FAILED or fetched a wrong copy\n", failures);
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace many_nodes
