// The simulator's own cost per node command round trip (write the request, wait, read the
// reply in two parts), with bare system calls and nothing recorded, as i2c-kestro-sim runs a
// program: CPU time with the waits faked (--fast), and the wall time a command takes beyond
// its wait in real time; and the CPU time with the bus's wire time modelled (speed_hz).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>

#include "BenchSupport.h"
#include "SimBoard.h"

namespace {

constexpr uint32_t kWaitUs = 100000;

// Runs getIdentity round trips against a simulated node; reports `per_command_us` of the
// time `clock` measures, less the wait when the wait really elapses.
template <typename Clock>
void roundTrips(benchmark::State& state, bool fast, Clock clock, uint32_t speedHz = 0) {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    if (fast) simBoard.clock().useFake();
    simBoard.setRecording(false);
    sim::SimBus& bus = simBoard.addBus("/dev/i2c-3");
    bus.setSpeedHz(speedHz);
    bus.addNode(0x10);
    const int fd = open("/dev/i2c-3", O_RDWR);
    ioctl(fd, I2C_SLAVE, 0x10UL);
    const sim::Bytes frame = sim::encodeFrame({0xE2});
    uint8_t reply[8192];
    int64_t commands = 0;
    const double start = clock();
    for (auto _ : state) {
        benchmark::DoNotOptimize(write(fd, frame.data(), frame.size()));
        usleep(kWaitUs);
        benchmark::DoNotOptimize(read(fd, reply, 3));
        benchmark::DoNotOptimize(read(fd, reply, ((size_t{reply[1]} << 8) | reply[2]) + 3));
        ++commands;
    }
    const double perCommand = (clock() - start) / static_cast<double>(commands);
    state.counters["per_command_us"] = fast ? perCommand : perCommand - kWaitUs;
    close(fd);
    simBoard.reset();
}

double wallMicros() {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void BM_SimulatorCpuPerRoundTripFast(benchmark::State& state) {
    roundTrips(state, true, processCpuMicros);
}
BENCHMARK(BM_SimulatorCpuPerRoundTripFast);

// The same with each transaction's bits timed at 400 kHz: the fast clock moves by them.
void BM_SimulatorCpuPerRoundTripFastAt400kHz(benchmark::State& state) {
    roundTrips(state, true, processCpuMicros, 400'000);
}
BENCHMARK(BM_SimulatorCpuPerRoundTripFastAt400kHz);

void BM_SimulatorOverheadPerRoundTripRealTime(benchmark::State& state) {
    roundTrips(state, false, wallMicros);
}
BENCHMARK(BM_SimulatorOverheadPerRoundTripRealTime)->Iterations(20)->Unit(benchmark::kMillisecond);

}  // namespace
