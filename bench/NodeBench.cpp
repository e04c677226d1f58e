// CPU cost of one complete node command (build, send, receive, parse) on the simulated bus
// with the waits faked, set against the time the same frames take on a 400 kHz I2C wire.
// The simulated node's own work is part of each round trip; the SimulatedBusOnly cases replay
// the same transactions with bare system calls, so the difference is the product's share.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>

#include "BenchSupport.h"
#include "SimBoard.h"
#include "NorvaneI2CNode.h"

namespace {

constexpr double kBusHz = 400000.0;
constexpr uint8_t kAddr = 0x10;
const char* const kBus = "/dev/i2c-3";

// One transaction: start, address byte, data bytes, stop. Every byte takes 9 clocks (8 bits
// and the acknowledge); start and stop count one clock each.
double transactionBits(size_t dataBytes) {
    return 2.0 + 9.0 * (1.0 + dataBytes);
}

// A command is one write of the request frame and two reads of the reply frame (3 bytes,
// then the rest).
double wireMicros(size_t requestFrame, size_t replyFrame) {
    double bits =
        transactionBits(requestFrame) + transactionBits(3) + transactionBits(replyFrame - 3);
    return bits / kBusHz * 1e6;
}

// Runs `command` against a simulated node with the clock faked and reports CPU and wire time.
template <typename Command>
void measure(benchmark::State& state, Command command) {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    simBoard.clock().useFake();
    sim::SimNode& sim = simBoard.addBus(kBus).addNode(kAddr);
    double cpuMicros = 0;
    int64_t commands = 0;
    {
        QuietConsole quiet;
        auto run = command();
        double start = processCpuMicros();
        for (auto _ : state) {
            benchmark::DoNotOptimize(run());
            // Keep the simulated board's logs from growing without bound.
            if (++commands % 1024 == 0) {
                simBoard.clearEvents();
                simBoard.clock().clearSleeps();
                sim.clearRequests();
            }
        }
        cpuMicros = processCpuMicros() - start;
    }
    const sim::Request& last = sim.lastRequest();
    double wire = wireMicros(last.raw.size(), last.reply.size());
    double cpuPerCommand = cpuMicros / static_cast<double>(commands);
    state.counters["wire_us"] = wire;
    state.counters["cpu_us"] = cpuPerCommand;
    state.counters["cpu_pct_of_wire"] = 100.0 * cpuPerCommand / wire;
    state.counters["request_bytes"] = static_cast<double>(last.raw.size());
    state.counters["reply_bytes"] = static_cast<double>(last.reply.size());
    simBoard.reset();
}

// The node's own command method, from request frame to decoded reply.
template <typename Command>
void roundTrips(benchmark::State& state, Command command) {
    measure(state, [&] {
        auto node = std::make_shared<NorvaneI2CNode>(kAddr, kBus);
        return [node, command] { return command(*node); };
    });
}

// The same transactions as the command without the product: a prepared frame written, the
// wait, and the reply read in two parts.
void busOnly(benchmark::State& state, const sim::Bytes& requestPayload) {
    measure(state, [&] {
        auto fd = std::shared_ptr<int>(new int(open(kBus, O_RDWR)), [](int* descriptor) {
            close(*descriptor);
            delete descriptor;
        });
        ioctl(*fd, I2C_SLAVE, static_cast<unsigned long>(kAddr));
        sim::Bytes frame = sim::encodeFrame(requestPayload);
        return [fd, frame] {
            uint8_t reply[8192];
            ssize_t result = write(*fd, frame.data(), frame.size());
            usleep(NorvaneI2CNode::kCommandWaitUs);
            result += read(*fd, reply, 3);
            result += read(*fd, reply, ((size_t{reply[1]} << 8) | reply[2]) + 3);
            return result;
        };
    });
}

void BM_NodeGetIdentityRoundTrip(benchmark::State& state) {
    std::string t1, t2, t3, t4;
    roundTrips(state, [&](NorvaneI2CNode& node) { return node.getIdentity(t1, t2, t3, t4); });
}
BENCHMARK(BM_NodeGetIdentityRoundTrip);

void BM_NodeSetTimeRoundTrip(benchmark::State& state) {
    uint64_t now = 1'700'000'000'000ULL;
    roundTrips(state, [&](NorvaneI2CNode& node) { return node.setTime(++now); });
}
BENCHMARK(BM_NodeSetTimeRoundTrip);

void BM_SimulatedBusOnlyGetIdentity(benchmark::State& state) {
    busOnly(state, {0xE2});
}
BENCHMARK(BM_SimulatedBusOnlyGetIdentity);

void BM_SimulatedBusOnlySetTime(benchmark::State& state) {
    sim::Bytes payload{0xF0};
    sim::putLe64(payload, 1'700'000'000'000ULL);
    busOnly(state, payload);
}
BENCHMARK(BM_SimulatedBusOnlySetTime);

}  // namespace
