// Wall time of node discovery on the simulated bus in real time, set against its floor: the
// 100 ms wait of the one identity query per device. Everything above the floor is the product's
// own cost (nodes, masters, frames, console lines) plus the simulated board's and the kernel's overshoot of
// each sleep. And one whole bus scan, which has no waits at all.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "BenchSupport.h"
#include "SimBoard.h"
#include "SBC.h"

namespace {

const char* const kBus = "/dev/i2c-3";
constexpr uint8_t kFirstAddress = 0x08;
constexpr double kProbeWaitMs = 100.0;
constexpr double kBusHz = 400000.0;


std::string deviceId(int index) {
    return "device-" + std::to_string(index);
}

json_object* deviceDocument(const std::string& id, int address) {
    json_object* config = json_object_new_object();
    json_object_object_add(config, "addr", json_object_new_int(address));
    json_object* document = json_object_new_object();
    json_object_object_add(document, "id", json_object_new_string(id.c_str()));
    json_object_object_add(document, "config", config);
    return document;
}

// A board that did not start (no configuration file), so nothing but the call under test runs.
SBC* idleBoard() {
    SBC* board = new SBC("/nonexistent/kestro/config.json");
    board->_error = OKEY;
    return board;
}

void BM_DiscoverNodes(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    sim::SimBus& bus = simBoard.addBus(kBus);
    for (int i = 0; i < devices; ++i) {
        bus.addNode(static_cast<uint8_t>(kFirstAddress + i)).state().identity[3] = deviceId(i);
    }
    double wallMs = 0;
    double cpuMs = 0;
    double waitedMs = 0;
    {
        QuietConsole quiet;
        SBC* board = idleBoard();
        for (auto _ : state) {
            for (int i = 0; i < devices; ++i) {
                board->_devices[deviceId(i)] = deviceDocument(deviceId(i), kFirstAddress + i);
            }
            simBoard.clock().clearSleeps();
            const double cpuStart = processCpuMicros() / 1e3;
            const auto start = std::chrono::steady_clock::now();
            board->discoverNodes();
            const std::chrono::duration<double, std::milli> took =
                std::chrono::steady_clock::now() - start;
            cpuMs += processCpuMicros() / 1e3 - cpuStart;
            state.SetIterationTime(took.count() / 1000.0);
            wallMs += took.count();
            waitedMs += static_cast<double>(simBoard.clock().totalSleptUs()) / 1000.0;
            if (board->_nodes[kBus].size() != static_cast<size_t>(devices)) {
                state.SkipWithError("not every device was found");
            }
            board->releaseResources();
            for (auto& [id, document] : board->_devices) {
                json_object_put(document);
            }
            board->_devices.clear();
            simBoard.clearEvents();
            for (int i = 0; i < devices; ++i) {
                bus.nodeAt(static_cast<uint8_t>(kFirstAddress + i)).clearRequests();
            }
        }
        delete board;
    }
    const double runs = static_cast<double>(state.iterations());
    const double floorMs = kProbeWaitMs * devices;
    state.counters["floor_ms"] = floorMs;
    state.counters["waits_ms"] = waitedMs / runs;
    state.counters["overhead_ms"] = wallMs / runs - floorMs;
    state.counters["overhead_pct"] = 100.0 * (wallMs / runs - floorMs) / floorMs;
    state.counters["cpu_pct"] = 100.0 * (cpuMs / runs) / floorMs;
    simBoard.reset();
}
// A few runs each: one run of 32 devices already waits 3.2 s.
BENCHMARK(BM_DiscoverNodes)->Arg(1)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoverNodes)->Arg(8)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DiscoverNodes)->Arg(32)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

// The fixed wait alone, as the simulated board passes it to the kernel: how far a 100 ms sleep overshoots
// on this machine, the share of the overhead that no code of ours can remove.
void BM_ProbeWaitAlone(benchmark::State& state) {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    double wallMs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        usleep(static_cast<useconds_t>(kProbeWaitMs * 1000));
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count() / 1000.0);
        wallMs += took.count();
    }
    state.counters["overshoot_ms"] =
        wallMs / static_cast<double>(state.iterations()) - kProbeWaitMs;
    simBoard.reset();
}
BENCHMARK(BM_ProbeWaitAlone)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// One transaction: start, address byte, data bytes, stop; 9 clocks a byte (8 bits and the
// acknowledge), one each for start and stop. A probe nobody acknowledges ends after its address.
double probeWireMicros(bool acknowledged) {
    const double bits = 2.0 + 9.0 * (acknowledged ? 2.0 : 1.0);
    return bits / kBusHz * 1e6;
}

void BM_ScanI2cBuses(benchmark::State& state) {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    sim::SimBus& bus = simBoard.addBus(kBus);
    const uint8_t answering[] = {0x10, 0x11, 0x30, 0x48, 0x7C};
    for (uint8_t address : answering) {
        bus.addDevice(address);
    }
    {
        QuietConsole quiet;
        SBC* board = idleBoard();
        for (auto _ : state) {
            benchmark::DoNotOptimize(board->scanI2cBuses());
            simBoard.clearEvents();
        }
        delete board;
    }
    const double acked = static_cast<double>(std::size(answering));
    state.counters["wire_400kHz_us"] =
        acked * probeWireMicros(true) + (128.0 - acked) * probeWireMicros(false);
    simBoard.reset();
}
BENCHMARK(BM_ScanI2cBuses)->Unit(benchmark::kMicrosecond);

}  // namespace
