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

#include "SimBoard.h"
#include "BenchSupport.h"
#include "NorvaneI2CNode.h"

namespace {

constexpr uint8_t kAddr = 0x10;
const char* const kBus = "/dev/i2c-3";
// Each round starts from a fresh simulated node, so that its transfer log cannot grow.
constexpr uint64_t kRoundOperations = 100;
// Faults are placed among this many exchanges after the start of an operation.
constexpr unsigned kExchangesAhead = 48;
constexpr size_t kMaxFileSize = 4000;
constexpr uint32_t kRetries = 3;

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

class Chaos {
  public:
    Chaos(const ChaosSettings& settings, ChaosReport& report)
        : settings_(settings), report_(report), random_(settings.seed) {}

    void round(uint64_t operations) {
        const size_t descriptorsBefore = openRealDescriptors();
        sim::SimBoard& simBoard = sim::SimBoard::instance();
        simBoard.reset();
        simBoard.clock().useFake();
        simBoard.setRecording(false);
        sim_ = &simBoard.addBus(kBus).addNode(kAddr);
        fillNodeState();
        node_.emplace(kAddr, kBus);
        for (uint64_t i = 0; i < operations; ++i) {
            runOne();
        }
        node_.reset();
        report_.descriptorsLeftOpen += simBoard.openDescriptors();
        simBoard.reset();
        const size_t descriptorsAfter = openRealDescriptors();
        report_.descriptorsLeftOpen +=
            descriptorsAfter > descriptorsBefore ? descriptorsAfter - descriptorsBefore : 0;
    }

  private:
    using Operation = std::pair<const char*, std::function<void()>>;

    uint32_t below(uint32_t bound) {
        return std::uniform_int_distribution<uint32_t>(0, bound - 1)(random_);
    }
    bool chance(double share) { return std::bernoulli_distribution(share)(random_); }

    std::string text(size_t maxLength) {
        std::string result(below(static_cast<uint32_t>(maxLength) + 1), ' ');
        for (char& c : result) {
            c = static_cast<char>('a' + below(26));
        }
        return result;
    }

    sim::Bytes bytes(size_t count) {
        sim::Bytes result(count);
        for (uint8_t& b : result) {
            b = static_cast<uint8_t>(below(256));
        }
        return result;
    }

    sim::NodeState& state() { return sim_->state(); }
    NorvaneI2CNode& node() { return *node_; }
    std::string local(const char* name) const { return settings_.folder + "/" + name; }

    void fillNodeState() {
        state().identity = {text(8), text(8), text(8), "dev-" + text(6)};
        state().textE1 = text(30);
        state().textMap = {{below(1000), text(12)}, {below(1000), text(12)}};
        state().records[0xA1] = {sim::Record{below(256), bytes(below(40))},
                                 sim::Record{below(256), bytes(below(40))}};
        state().lines["log"] = text(10) + "\n" + text(10) + "\n" + text(5);
        sim_->putFile("get.bin", bytes(below(kMaxFileSize)));
    }

    // Rules for the exchanges ahead; the node counts a rule's skip only over the requests
    // that earlier rules left alone.
    unsigned injectFaults() {
        sim_->clearFaults();
        unsigned injected = 0;
        for (unsigned exchange = 0; exchange < kExchangesAhead; ++exchange) {
            if (!chance(settings_.faultShare)) {
                continue;
            }
            sim::FaultRule rule{.fault = kFaults[below(std::size(kFaults))],
                                .skip = exchange - injected};
            if (rule.fault == sim::Fault::RawPayload) {
                rule.bytes = bytes(2 + below(20));
                rule.bytes[0] = 'N';
                rule.bytes[1] = 'O';
            } else if (rule.fault == sim::Fault::RawReply) {
                // Never a start byte: a reply that cannot pass for a frame.
                rule.bytes = bytes(below(20));
                if (!rule.bytes.empty() && rule.bytes[0] == 0x02) {
                    rule.bytes[0] = 0x03;
                }
            }
            sim_->inject(rule);
            ++injected;
        }
        return injected;
    }

    void record(const char* kind, int32_t status, bool wrong) {
        ++report_.operations;
        ++report_.byKind[kind];
        ++report_.byStatus[status];
        report_.wrongSuccesses += wrong ? 1 : 0;
        if (wrong) {
            ++report_.wrongByKind[kind];
        }
    }

    void runOne() {
        const std::vector<Operation> operations = {
            {"command", [this] { commandWithReply(); }},
            {"command", [this] { commandWithReply(); }},
            {"command", [this] { setter(); }},
            {"send", [this] { send(); }},
            {"fetch", [this] { fetch(); }},
            {"reopen", [this] { reopen(); }},
        };
        const unsigned injected = injectFaults();
        const size_t pick = below(static_cast<uint32_t>(operations.size()));
        operations[pick].second();
        report_.faultsMet += injected - sim_->pendingFaults();
    }

    void commandWithReply() {
        switch (below(7)) {
            case 0: {
                uint64_t value = 0;
                const int32_t status = node().getTime(value);
                record("command", status, status == 0 && value != state().clockMs);
                break;
            }
            case 1: {
                std::string t1, t2, t3, t4;
                const int32_t status = node().getIdentity(t1, t2, t3, t4);
                const std::array<std::string, 4> got{t1, t2, t3, t4};
                record("command", status, status == 0 && got != state().identity);
                break;
            }
            case 2: {
                std::string value;
                const int32_t status = node().getTextE1(value);
                record("command", status, status == 0 && value != state().textE1);
                break;
            }
            case 3: {
                uint32_t v[5] = {};
                const int32_t status = node().getValuesA0(v[0], v[1], v[2], v[3], v[4]);
                bool wrong = false;
                for (int i = 0; i < 5; ++i) {
                    wrong = wrong || v[i] != state().valuesA0[i];
                }
                record("command", status, status == 0 && wrong);
                break;
            }
            case 4: {
                std::map<uint32_t, std::string> map;
                const int32_t status = node().getTextMap(map);
                record("command", status, status == 0 && map != state().textMap);
                break;
            }
            case 5:
                records();
                break;
            default: {
                std::list<std::string> lines;
                const int32_t status = node().getLines("log", lines);
                const std::string& all = state().lines["log"];
                std::list<std::string> expected;
                for (size_t from = 0, at; (at = all.find('\n', from)) != std::string::npos;
                     from = at + 1) {
                    expected.push_back(all.substr(from, at - from));
                }
                record("command", status, status == 0 && lines != expected);
                break;
            }
        }
    }

    void records() {
        std::list<NodeRecord> got;
        const int32_t status = node().getRecordsA1(0, got);
        const std::vector<sim::Record>& expected = state().records[0xA1];
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
        record("command", status, status == 0 && wrong);
    }

    void setter() {
        switch (below(3)) {
            case 0: {
                const uint64_t value = random_();
                const int32_t status = node().setTime(value);
                record("command", status, status == 0 && state().clockMs != value);
                break;
            }
            case 1: {
                const std::string value = text(40);
                const int32_t status = node().setTextF3(value);
                record("command", status, status == 0 && state().textE3 != value);
                break;
            }
            default: {
                std::array<uint32_t, 5> v{};
                for (uint32_t& value : v) {
                    value = random_() & 0xFFFFFFFF;
                }
                const int32_t status = node().setValuesB0(v[0], v[1], v[2], v[3], v[4]);
                record("command", status, status == 0 && state().valuesA0 != v);
                break;
            }
        }
    }

    TransferOptions someOptions(bool mayResume) {
        TransferOptions options;
        options.retries = chance(0.5) ? kRetries : 0;
        options.resume = mayResume && chance(0.5);
        return options;
    }

    void send() {
        const sim::Bytes content = bytes(below(kMaxFileSize));
        writeFile(local("send.bin"), content);
        const std::string name = chance(0.5) ? "a.bin" : "b.bin";
        const int32_t status = node().sendFile(local("send.bin"), name, someOptions(false));
        const sim::StoredFile* stored = sim_->file(name);
        record("send", status, status == 0 && (stored == nullptr || stored->content != content));
    }

    // A fetch that fails must leave the destination as it was.
    void fetch() {
        if (chance(0.5)) {
            sim_->putFile("get.bin", bytes(below(kMaxFileSize)));
        }
        const std::string destination = local("copy.bin");
        const bool existed = std::filesystem::exists(destination);
        const sim::Bytes before = readFile(destination);
        const int32_t status = node().getFile("get.bin", destination, someOptions(true));
        const sim::Bytes after = readFile(destination);
        const bool wrong = status == 0 ? after != sim_->file("get.bin")->content
                                       : after != before ||
                                             existed != std::filesystem::exists(destination);
        record("fetch", status, wrong);
    }

    void reopen() {
        node_.reset();
        node_.emplace(kAddr, kBus);
        record("reopen", node().master.getError(), false);
    }

    const ChaosSettings& settings_;
    ChaosReport& report_;
    std::mt19937_64 random_;
    sim::SimNode* sim_ = nullptr;
    std::optional<NorvaneI2CNode> node_;
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
    report.rssAtEndKiB = residentKiB();
    return report;
}
