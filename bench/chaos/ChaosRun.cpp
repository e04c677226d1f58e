#include "ChaosRun.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "BenchSupport.h"
#include "BusSchedule.h"
#include "NorvaneI2CNode.h"
#include "SimBoard.h"

namespace {

constexpr uint8_t kAddr = 0x10;
const char* const kBus = "/dev/i2c-3";
// Each round starts from a fresh simulated board, so that its nodes' transfer logs cannot grow.
constexpr uint64_t kRoundOperations = 100;
// Faults are placed among this many exchanges after the start of an operation (of a batch).
constexpr unsigned kExchangesAhead = 48;
constexpr size_t kMaxFileSize = 4000;
constexpr uint32_t kRetries = 3;
// A batch: this many nodes on the bus, each with one or two operations, all through one
// BusSchedule; about half of the nodes get faults, at this many times the single operations'
// share, so that most batches mix nodes with faults and nodes without.
constexpr uint8_t kBatchNodes = 4;
constexpr unsigned kMostBatchOperations = 2;
constexpr double kBatchFaultFactor = 4;
constexpr uint64_t kRoundBatches = 10;

const sim::Fault kFaults[] = {
    sim::Fault::NoAnswer,        sim::Fault::BadStartByte, sim::Fault::LengthTooLarge,
    sim::Fault::BadCrc,          sim::Fault::BadEndByte,   sim::Fault::ShortSecondRead,
    sim::Fault::NotOk,           sim::Fault::WrongLength,  sim::Fault::RawPayload,
    sim::Fault::RawReply,        sim::Fault::RefuseWrite,  sim::Fault::ShortWrite,
};

size_t openRealDescriptors() {
    using std::filesystem::directory_iterator;
    return static_cast<size_t>(
        std::distance(directory_iterator("/proc/self/fd"), directory_iterator()));
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

sim::Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return sim::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const sim::Bytes& content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
}

using Random = std::mt19937_64;

uint32_t below(Random& random, uint32_t bound) {
    return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random);
}

bool chance(Random& random, double share) {
    return std::bernoulli_distribution(share)(random);
}

std::string text(Random& random, size_t maxLength) {
    std::string result(below(random, static_cast<uint32_t>(maxLength) + 1), ' ');
    for (char& c : result) {
        c = static_cast<char>('a' + below(random, 26));
    }
    return result;
}

sim::Bytes bytes(Random& random, size_t count) {
    sim::Bytes result(count);
    for (uint8_t& b : result) {
        b = static_cast<uint8_t>(below(random, 256));
    }
    return result;
}

sim::SimBus& freshBus() {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    simBoard.clock().useFake();
    simBoard.setRecording(false);
    return simBoard.addBus(kBus);
}

// One node under test: the simulated node, the product's object for it, its own local files and
// its own generator, so that a batch draws the same choices in whatever order the schedule
// runs its nodes.
struct Target {
    sim::SimNode* sim = nullptr;
    std::optional<NorvaneI2CNode> node;
    Random random;
    std::string folder;
    // In a batch: whether faults were placed on its exchanges.
    bool inBatch = false;
    bool faulty = false;
    // Of its last operation.
    int32_t status = 0;

    sim::NodeState& state() { return sim->state(); }
    std::string local(const char* name) const { return folder + "/" + name; }
};

class Chaos {
  public:
    Chaos(const ChaosSettings& settings, ChaosReport& report)
        : settings_(settings), report_(report), random_(settings.seed) {}

    void round(uint64_t operations) {
        const size_t descriptorsBefore = openRealDescriptors();
        Target target;
        open(target, freshBus(), kAddr, "");
        for (uint64_t i = 0; i < operations; ++i) {
            runOne(target);
        }
        target.node.reset();
        endRound(descriptorsBefore);
    }

    void batchRound(uint64_t batches) {
        const size_t descriptorsBefore = openRealDescriptors();
        std::vector<Target> targets(kBatchNodes);
        sim::SimBus& bus = freshBus();
        for (uint8_t i = 0; i < kBatchNodes; ++i) {
            open(targets[i], bus, static_cast<uint8_t>(kAddr + i), "/node-" + std::to_string(i));
        }
        for (uint64_t i = 0; i < batches; ++i) {
            batch(targets);
        }
        targets.clear();
        endRound(descriptorsBefore);
    }

  private:
    using Operation = std::pair<const char*, std::function<void()>>;

    void open(Target& target, sim::SimBus& bus, uint8_t address, const std::string& folder) {
        target.sim = &bus.addNode(address);
        target.random.seed(random_());
        target.folder = settings_.folder + folder;
        std::filesystem::create_directories(target.folder);
        fillNodeState(target);
        target.node.emplace(address, kBus);
    }

    void endRound(size_t descriptorsBefore) {
        sim::SimBoard& simBoard = sim::SimBoard::instance();
        report_.descriptorsLeftOpen += simBoard.openDescriptors();
        simBoard.reset();
        const size_t descriptorsAfter = openRealDescriptors();
        report_.descriptorsLeftOpen +=
            descriptorsAfter > descriptorsBefore ? descriptorsAfter - descriptorsBefore : 0;
    }

    // Every node's operations at once; those of a node without faults must all succeed.
    void batch(std::vector<Target>& targets) {
        BusSchedule schedule;
        unsigned injected = 0;
        for (Target& target : targets) {
            target.inBatch = true;
            const bool withFaults = chance(random_, 0.5);
            target.sim->clearFaults();
            const unsigned placed = withFaults ? injectFaults(target, batchFaultShare()) : 0;
            target.faulty = placed > 0;
            if (!target.faulty) {
                forgetPartialFetch(target);
            }
            injected += placed;
            const unsigned operations = 1 + below(random_, kMostBatchOperations);
            for (unsigned i = 0; i < operations; ++i) {
                schedule.add(*target.node, [this, &target](NorvaneI2CNode&) {
                    pickOperation(target, false);
                    return target.status;
                });
            }
        }
        schedule.run();
        ++report_.batches;
        for (Target& target : targets) {
            injected -= target.sim->pendingFaults();
        }
        report_.faultsMet += injected;
    }

    // A partial copy that an earlier fault left behind would be resumed, and found wrong when
    // the node's file has changed since: the node's own past, which a batch does not judge.
    static void forgetPartialFetch(const Target& target) {
        std::filesystem::remove(target.local("copy.bin") + ".part");
    }

    double batchFaultShare() const {
        return std::min(1.0, settings_.faultShare * kBatchFaultFactor);
    }

    void fillNodeState(Target& t) {
        Random& r = t.random;
        t.state().identity = {text(r, 8), text(r, 8), text(r, 8), "dev-" + text(r, 6)};
        t.state().textE1 = text(r, 30);
        t.state().textMap = {{below(r, 1000), text(r, 12)}, {below(r, 1000), text(r, 12)}};
        t.state().records[0xA1] = {sim::Record{below(r, 256), bytes(r, below(r, 40))},
                                   sim::Record{below(r, 256), bytes(r, below(r, 40))}};
        t.state().lines["log"] = text(r, 10) + "\n" + text(r, 10) + "\n" + text(r, 5);
        t.sim->putFile("get.bin", bytes(r, below(r, kMaxFileSize)));
    }

    // Rules for the exchanges ahead; the node counts a rule's skip only over the requests
    // that earlier rules left alone.
    unsigned injectFaults(Target& t, double share) {
        t.sim->clearFaults();
        unsigned injected = 0;
        for (unsigned exchange = 0; exchange < kExchangesAhead; ++exchange) {
            if (!chance(t.random, share)) {
                continue;
            }
            sim::FaultRule rule{.fault = kFaults[below(t.random, std::size(kFaults))],
                                .skip = exchange - injected};
            if (rule.fault == sim::Fault::RawPayload) {
                rule.bytes = bytes(t.random, 2 + below(t.random, 20));
                rule.bytes[0] = 'N';
                rule.bytes[1] = 'O';
            } else if (rule.fault == sim::Fault::RawReply) {
                // Never a start byte: a reply that cannot pass for a frame.
                rule.bytes = bytes(t.random, below(t.random, 20));
                if (!rule.bytes.empty() && rule.bytes[0] == 0x02) {
                    rule.bytes[0] = 0x03;
                }
            }
            t.sim->inject(rule);
            ++injected;
        }
        return injected;
    }

    void record(Target& t, const char* kind, int32_t status, bool wrong) {
        ++report_.operations;
        ++report_.byKind[kind];
        ++report_.byStatus[status];
        report_.wrongSuccesses += wrong ? 1 : 0;
        if (wrong) {
            ++report_.wrongByKind[kind];
        }
        t.status = status;
        if (t.inBatch) {
            ++report_.batchOperations;
            report_.faultFreeBatchOperations += t.faulty ? 0 : 1;
            report_.disturbed += !t.faulty && (status != NODE_SUCCESS || wrong) ? 1 : 0;
        }
    }

    void runOne(Target& t) {
        const unsigned injected = injectFaults(t, settings_.faultShare);
        pickOperation(t, true);
        report_.faultsMet += injected - t.sim->pendingFaults();
    }

    // Reopening a node is left out of batches: a node is opened and closed only between runs
    // of its schedule.
    void pickOperation(Target& t, bool mayReopen) {
        const std::vector<Operation> operations = {
            {"command", [&] { commandWithReply(t); }},
            {"command", [&] { commandWithReply(t); }},
            {"command", [&] { setter(t); }},
            {"send", [&] { send(t); }},
            {"fetch", [&] { fetch(t); }},
            {"reopen", [&] { reopen(t); }},
        };
        const size_t choices = operations.size() - (mayReopen ? 0 : 1);
        operations[below(t.random, static_cast<uint32_t>(choices))].second();
    }

    void commandWithReply(Target& t) {
        NorvaneI2CNode& node = *t.node;
        switch (below(t.random, 7)) {
            case 0: {
                uint64_t value = 0;
                const int32_t status = node.getTime(value);
                record(t, "command", status, status == 0 && value != t.state().clockMs);
                break;
            }
            case 1: {
                std::string t1, t2, t3, t4;
                const int32_t status = node.getIdentity(t1, t2, t3, t4);
                const std::array<std::string, 4> got{t1, t2, t3, t4};
                record(t, "command", status, status == 0 && got != t.state().identity);
                break;
            }
            case 2: {
                std::string value;
                const int32_t status = node.getTextE1(value);
                record(t, "command", status, status == 0 && value != t.state().textE1);
                break;
            }
            case 3: {
                uint32_t v[5] = {};
                const int32_t status = node.getValuesA0(v[0], v[1], v[2], v[3], v[4]);
                bool wrong = false;
                for (int i = 0; i < 5; ++i) {
                    wrong = wrong || v[i] != t.state().valuesA0[i];
                }
                record(t, "command", status, status == 0 && wrong);
                break;
            }
            case 4: {
                std::map<uint32_t, std::string> map;
                const int32_t status = node.getTextMap(map);
                record(t, "command", status, status == 0 && map != t.state().textMap);
                break;
            }
            case 5:
                records(t);
                break;
            default:
                lines(t);
                break;
        }
    }

    void records(Target& t) {
        std::list<NodeRecord> got;
        const int32_t status = t.node->getRecordsA1(0, got);
        const std::vector<sim::Record>& expected = t.state().records[0xA1];
        bool wrong = got.size() != expected.size();
        auto want = expected.begin();
        for (const NodeRecord& record : got) {
            if (!wrong) {
                wrong = record.tag != want->tag ||
                        sim::Bytes(record.data, record.data + record.length) != want->data;
                ++want;
            }
            std::free(record.data);
        }
        record(t, "command", status, status == 0 && wrong);
    }

    void lines(Target& t) {
        std::list<std::string> lines;
        const int32_t status = t.node->getLines("log", lines);
        const std::string& all = t.state().lines["log"];
        std::list<std::string> expected;
        for (size_t from = 0, at; (at = all.find('\n', from)) != std::string::npos;
             from = at + 1) {
            expected.push_back(all.substr(from, at - from));
        }
        record(t, "command", status, status == 0 && lines != expected);
    }

    void setter(Target& t) {
        NorvaneI2CNode& node = *t.node;
        switch (below(t.random, 3)) {
            case 0: {
                const uint64_t value = t.random();
                const int32_t status = node.setTime(value);
                record(t, "command", status, status == 0 && t.state().clockMs != value);
                break;
            }
            case 1: {
                const std::string value = text(t.random, 40);
                const int32_t status = node.setTextF3(value);
                record(t, "command", status, status == 0 && t.state().textE3 != value);
                break;
            }
            default: {
                std::array<uint32_t, 5> v{};
                for (uint32_t& value : v) {
                    value = t.random() & 0xFFFFFFFF;
                }
                const int32_t status = node.setValuesB0(v[0], v[1], v[2], v[3], v[4]);
                record(t, "command", status, status == 0 && t.state().valuesA0 != v);
                break;
            }
        }
    }

    TransferOptions someOptions(Target& t, bool mayResume) {
        TransferOptions options;
        options.retries = chance(t.random, 0.5) ? kRetries : 0;
        options.resume = mayResume && chance(t.random, 0.5);
        return options;
    }

    void send(Target& t) {
        const sim::Bytes content = bytes(t.random, below(t.random, kMaxFileSize));
        writeFile(t.local("send.bin"), content);
        const std::string name = chance(t.random, 0.5) ? "a.bin" : "b.bin";
        const int32_t status = t.node->sendFile(t.local("send.bin"), name, someOptions(t, false));
        const sim::StoredFile* stored = t.sim->file(name);
        record(t, "send", status,
               status == 0 && (stored == nullptr || stored->content != content));
    }

    // A fetch that fails must leave the destination as it was.
    void fetch(Target& t) {
        if (chance(t.random, 0.5)) {
            t.sim->putFile("get.bin", bytes(t.random, below(t.random, kMaxFileSize)));
        }
        const std::string destination = t.local("copy.bin");
        const bool existed = std::filesystem::exists(destination);
        const sim::Bytes before = readFile(destination);
        const int32_t status = t.node->getFile("get.bin", destination, someOptions(t, true));
        const sim::Bytes after = readFile(destination);
        const bool wrong = status == 0 ? after != t.sim->file("get.bin")->content
                                       : after != before ||
                                             existed != std::filesystem::exists(destination);
        record(t, "fetch", status, wrong);
    }

    void reopen(Target& t) {
        const uint8_t address = t.node->addr;
        t.node.reset();
        t.node.emplace(address, kBus);
        record(t, "reopen", t.node->master.getError(), false);
    }

    const ChaosSettings& settings_;
    ChaosReport& report_;
    Random random_;
};

}  // namespace

ChaosReport runChaos(const ChaosSettings& settings) {
    ChaosReport report;
    Chaos chaos(settings, report);
    QuietConsole quiet;
    // The allocator settles in the first tenth of the run; growth is measured after it.
    const uint64_t warmUp = std::max(kRoundOperations, settings.operations / 10);
    for (uint64_t done = 0; done < settings.operations; done += kRoundOperations) {
        chaos.round(std::min(kRoundOperations, settings.operations - done));
        if (done < warmUp && done + kRoundOperations >= warmUp) {
            report.rssAfterWarmUpKiB = residentKiB();
        }
    }
    for (uint64_t done = 0; done < settings.batches; done += kRoundBatches) {
        chaos.batchRound(std::min(kRoundBatches, settings.batches - done));
    }
    report.rssAtEndKiB = residentKiB();
    return report;
}
