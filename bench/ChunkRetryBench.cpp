// Chunk retries on a noisy bus: an 80 KiB file each way, with 2% of the chunk exchanges failing
// on the bus (no answer, a broken reply frame, a refused write, a short read; chosen by a seeded
// generator) and TransferOptions::retries = 3, waits faked.
//
// Figures: chunk_ratio is the chunk requests of all transfers over those the same transfers
// need without faults (at most 1.05 is the target); failed_transfers counts transfers that did
// not end with status 0 (0 is the target); faulted_exchanges the faults the node met.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "BenchSupport.h"
#include "SimBoard.h"
#include "NorvaneI2CNode.h"

namespace {

constexpr uint8_t kAddr = 0x10;
const char* const kBus = "/dev/i2c-3";
constexpr size_t kFileSize = 80 * 1024;
constexpr uint32_t kChunksPerFile =
    (kFileSize + NorvaneI2CNode::kTransferChunkSize - 1) / NorvaneI2CNode::kTransferChunkSize;
constexpr double kFailingShare = 0.02;
constexpr uint32_t kRetries = 3;
const char* const kRemoteName = "noisy.bin";

const sim::Fault kBusFaults[] = {sim::Fault::NoAnswer, sim::Fault::BadCrc,
                                 sim::Fault::RefuseWrite, sim::Fault::ShortSecondRead};

sim::Bytes fileContent() {
    sim::Bytes content(kFileSize);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(i * 131 + 17);
    }
    return content;
}

// Faults for the chunk exchanges of one transfer, at indices drawn with the failing share.
// The node counts a rule's skip only over the requests that earlier rules left alone.
unsigned injectChunkFaults(sim::SimNode& node, uint8_t opcode, std::mt19937& random) {
    std::bernoulli_distribution fails(kFailingShare);
    std::uniform_int_distribution<size_t> kind(0, std::size(kBusFaults) - 1);
    unsigned injected = 0;
    // Room for the repeats the faults themselves cause.
    for (unsigned exchange = 0; exchange < 2 * kChunksPerFile; ++exchange) {
        if (fails(random)) {
            node.inject({.fault = kBusFaults[kind(random)],
                         .opcode = opcode,
                         .subop = 0xCC,
                         .skip = exchange - injected});
            ++injected;
        }
    }
    return injected;
}

size_t chunkRequests(const sim::SimNode& node, uint8_t opcode) {
    size_t count = 0;
    for (const sim::Request& request : node.requestsFor(opcode)) {
        count += request.subop() == 0xCC ? 1 : 0;
    }
    return count;
}

void noisyTransfers(benchmark::State& state, bool send) {
    const std::string local =
        (std::filesystem::temp_directory_path() / ("noisy-bench-" + std::to_string(getpid())))
            .string();
    const sim::Bytes content = fileContent();
    std::ofstream(local, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    const uint8_t opcode = send ? 0x94 : 0x95;
    std::mt19937 random(20240613);
    TransferOptions options;
    options.retries = kRetries;
    size_t requests = 0;
    size_t transfers = 0;
    size_t failed = 0;
    size_t faults = 0;
    sim::SimBoard& simBoard = sim::SimBoard::instance();
    for (auto _ : state) {
        simBoard.reset();
        simBoard.clock().useFake();
        sim::SimNode& node = simBoard.addBus(kBus).addNode(kAddr);
        node.putFile(kRemoteName, content);
        faults += injectChunkFaults(node, opcode, random);
        {
            QuietConsole quiet;
            NorvaneI2CNode product(kAddr, kBus);
            const int32_t status = send ? product.sendFile(local, kRemoteName, options)
                                        : product.getFile(kRemoteName, local, options);
            failed += status != 0 ? 1 : 0;
        }
        requests += chunkRequests(node, opcode);
        faults -= node.pendingFaults();
        ++transfers;
    }
    simBoard.reset();
    std::filesystem::remove(local);
    state.counters["chunk_ratio"] =
        static_cast<double>(requests) / static_cast<double>(transfers * kChunksPerFile);
    state.counters["failed_transfers"] = static_cast<double>(failed);
    state.counters["faulted_exchanges"] = static_cast<double>(faults);
    state.counters["transfers"] = static_cast<double>(transfers);
}

void BM_NoisyBusFetch80KiBWithThreeRetries(benchmark::State& state) {
    noisyTransfers(state, false);
}
BENCHMARK(BM_NoisyBusFetch80KiBWithThreeRetries)->Iterations(50);

void BM_NoisyBusSend80KiBWithThreeRetries(benchmark::State& state) {
    noisyTransfers(state, true);
}
BENCHMARK(BM_NoisyBusSend80KiBWithThreeRetries)->Iterations(50);

}  // namespace
