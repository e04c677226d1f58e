// File transfers on the simulated bus, one 8000-byte file each way.
//
// Real time: the one-second waits really pass, and the figure is how close the transfer
// comes to the rate the waits alone allow (800 bytes per chunk wait, plus the start and end
// waits and, when fetching, the information query's 100 ms). These take about 25 s, so they
// run only when KESTRO_BENCH_REAL_TIME=1 is set.
//
// Faked waits: the CPU time of the product and the simulated node for one chunk exchange
// (request, wait, reply, local file read or write), and for whole transfers, whose start, end
// and digest work is then spread over their ten chunks.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "SimBoard.h"
#include "NorvaneI2CNode.h"
#include "BenchSupport.h"

namespace {

constexpr uint8_t kAddr = 0x10;
const char* const kBus = "/dev/i2c-3";
constexpr size_t kFileSize = 8000;
constexpr double kChunks = static_cast<double>(kFileSize) / NorvaneI2CNode::kTransferChunkSize;
const char* const kRemoteName = "bench.bin";

sim::Bytes fileContent() {
    sim::Bytes content(kFileSize);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    return content;
}

// A local file of the benchmark's content, removed at the end.
class ScratchFile {
  public:
    ScratchFile()
        : path_((std::filesystem::temp_directory_path() /
                 ("transfer-bench-" + std::to_string(getpid()) + ".bin"))
                    .string()) {
        sim::Bytes content = fileContent();
        std::ofstream(path_, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
    }
    ~ScratchFile() { std::filesystem::remove(path_); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

enum class Way { Send, Get };

// A fresh simulated board with one node that already holds the file to fetch.
sim::SimNode& freshNode(bool fakeWaits) {
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    simBoard.reset();
    if (fakeWaits) {
        simBoard.clock().useFake();
    }
    sim::SimNode& sim = simBoard.addBus(kBus).addNode(kAddr);
    sim.putFile(kRemoteName, fileContent());
    return sim;
}

int32_t transfer(NorvaneI2CNode& node, Way way, const std::string& localPath) {
    return way == Way::Send ? node.sendFile(localPath, kRemoteName)
                            : node.getFile(kRemoteName, localPath);
}


void realTime(benchmark::State& state, Way way) {
    ScratchFile local;
    double wallSeconds = 0;
    double waitSeconds = 0;
    for (auto _ : state) {
        freshNode(false);
        QuietConsole quiet;
        NorvaneI2CNode node(kAddr, kBus);
        auto start = std::chrono::steady_clock::now();
        int32_t status = transfer(node, way, local.path());
        wallSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        waitSeconds = static_cast<double>(sim::SimBoard::instance().clock().totalSleptUs()) / 1e6;
        if (status != 0) {
            state.SkipWithError("the transfer failed");
        }
    }
    state.counters["bytes_per_s"] = kFileSize / wallSeconds;
    state.counters["ceiling_bytes_per_s"] = kFileSize / waitSeconds;
    state.counters["pct_of_ceiling"] = 100.0 * waitSeconds / wallSeconds;
    state.counters["overhead_ms"] = (wallSeconds - waitSeconds) * 1e3;
    sim::SimBoard::instance().reset();
}

// The simulated board keeps every transfer it saw; a fixed count bounds that record.
constexpr int64_t kFakedTransfers = 400;

void fakedWaits(benchmark::State& state, Way way) {
    ScratchFile local;
    sim::SimNode& sim = freshNode(true);
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    double cpuMicros = 0;
    int64_t transfers = 0;
    {
        QuietConsole quiet;
        NorvaneI2CNode node(kAddr, kBus);
        double start = processCpuMicros();
        for (auto _ : state) {
            if (transfer(node, way, local.path()) != 0) {
                state.SkipWithError("the transfer failed");
                break;
            }
            ++transfers;
            simBoard.clearEvents();
            simBoard.clock().clearSleeps();
            sim.clearRequests();
        }
        cpuMicros = processCpuMicros() - start;
    }
    state.counters["cpu_us_per_chunk"] = cpuMicros / (static_cast<double>(transfers) * kChunks);
    state.counters["cpu_us_per_transfer"] = cpuMicros / static_cast<double>(transfers);
    simBoard.reset();
}

// Runs `exchange` once per iteration on a node with an open transfer and reports its CPU time.
template <typename Exchange>
void chunkExchanges(benchmark::State& state, Exchange exchange) {
    sim::SimNode& sim = freshNode(true);
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    double cpuMicros = 0;
    int64_t chunks = 0;
    {
        QuietConsole quiet;
        NorvaneI2CNode node(kAddr, kBus);
        double start = processCpuMicros();
        for (auto _ : state) {
            if (exchange(node) != 0) {
                state.SkipWithError("the chunk exchange failed");
                break;
            }
            // Keep the simulated board's logs from growing without bound.
            if (++chunks % 1024 == 0) {
                simBoard.clearEvents();
                simBoard.clock().clearSleeps();
                sim.clearRequests();
            }
        }
        cpuMicros = processCpuMicros() - start;
    }
    state.counters["cpu_us_per_chunk"] = cpuMicros / static_cast<double>(chunks);
    simBoard.reset();
}

// A stdio stream on the scratch file, closed at the end.
struct OpenStream {
    explicit OpenStream(const std::string& path, const char* mode)
        : stream(std::fopen(path.c_str(), mode)) {}
    ~OpenStream() { std::fclose(stream); }
    OpenStream(const OpenStream&) = delete;
    OpenStream& operator=(const OpenStream&) = delete;
    FILE* stream;
};

void BM_FileTransferSendChunkFakedWait(benchmark::State& state) {
    ScratchFile local;
    OpenStream file(local.path(), "r");
    uint32_t handle = 0;
    chunkExchanges(state, [&](NorvaneI2CNode& node) {
        if (handle == 0) {
            uint32_t size = 0;
            node.sendFileStart(local.path(), kRemoteName, size);
            node.readHandleReply(handle);
        }
        std::rewind(file.stream);
        node.sendFileChunk(file.stream, handle, 0, NorvaneI2CNode::kTransferChunkSize);
        ::usleep(NorvaneI2CNode::kTransferWaitUs);
        return node.readOkReply();
    });
}
BENCHMARK(BM_FileTransferSendChunkFakedWait);

void BM_FileTransferGetChunkFakedWait(benchmark::State& state) {
    ScratchFile local;
    OpenStream file(local.path(), "w+");
    uint32_t handle = 0;
    chunkExchanges(state, [&](NorvaneI2CNode& node) {
        if (handle == 0) {
            node.getFileStart(kRemoteName);
            node.readHandleReply(handle);
        }
        std::rewind(file.stream);
        uint32_t received = 0;
        node.getFileChunk(handle, 0, NorvaneI2CNode::kTransferChunkSize);
        ::usleep(NorvaneI2CNode::kTransferWaitUs);
        return node.readChunkReply(file.stream, received);
    });
}
BENCHMARK(BM_FileTransferGetChunkFakedWait);

void BM_FileTransferSend8000FakedWaits(benchmark::State& state) {
    fakedWaits(state, Way::Send);
}
BENCHMARK(BM_FileTransferSend8000FakedWaits)->Iterations(kFakedTransfers);

void BM_FileTransferGet8000FakedWaits(benchmark::State& state) {
    fakedWaits(state, Way::Get);
}
BENCHMARK(BM_FileTransferGet8000FakedWaits)->Iterations(kFakedTransfers);

// Registered only on request: each takes about twelve seconds of real waiting.
const bool kRealTimeRegistered = [] {
    const char* wanted = std::getenv("KESTRO_BENCH_REAL_TIME");
    if (wanted == nullptr || std::string(wanted) != "1") {
        return false;
    }
    for (auto [name, way] : {std::pair{"BM_FileTransferSend8000RealTime", Way::Send},
                             std::pair{"BM_FileTransferGet8000RealTime", Way::Get}}) {
        benchmark::RegisterBenchmark(name, realTime, way)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kSecond);
    }
    return true;
}();

}  // namespace
