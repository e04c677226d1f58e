#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Crc16.h"
#include "FrameBuilder.h"
#include "FrameParser.h"

namespace {

std::vector<uint8_t> benchBytes(size_t size) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 12345;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

// Arguments: 8188 is the span a largest frame's CRC covers, 65535 the longest count.
void BM_Crc16(benchmark::State& state) {
    const auto data = benchBytes(static_cast<size_t>(state.range(0)));
    const auto count = static_cast<uint16_t>(data.size());
    uint16_t crc = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(crc16(crc, data.data(), count));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_Crc16)->Arg(8188)->Arg(65535);

// One outgoing frame as a sender makes it: fresh builder, payload, finish, take, free.
void BM_FrameBuildAndTake(benchmark::State& state) {
    const auto payload = benchBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        FrameBuilder builder;
        builder.putBytes(payload.data(), payload.size());
        builder.finish();
        uint8_t* frame = nullptr;
        uint16_t length = 0;
        if (builder.take(frame, length) != 0) {
            state.SkipWithError("take failed");
            break;
        }
        benchmark::DoNotOptimize(frame);
        std::free(frame);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FrameBuildAndTake)->Arg(9)->Arg(8186);

// One incoming frame as a receiver checks it: fresh parser, feedBytes, takePayload, free.
void BM_FrameFeedAndTakePayload(benchmark::State& state) {
    const auto payload = benchBytes(static_cast<size_t>(state.range(0)));
    FrameBuilder builder;
    builder.putBytes(payload.data(), payload.size());
    builder.finish();
    uint8_t* frame = nullptr;
    uint16_t frameLength = 0;
    if (builder.take(frame, frameLength) != 0) {
        state.SkipWithError("take failed");
        return;
    }
    for (auto _ : state) {
        FrameParser parser;
        parser.feedBytes(frame, frameLength);
        uint8_t* out = nullptr;
        uint16_t length = 0;
        if (parser.takePayload(out, length) != 0) {
            state.SkipWithError("frame did not parse");
            break;
        }
        benchmark::DoNotOptimize(out);
        std::free(out);
    }
    std::free(frame);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_FrameFeedAndTakePayload)->Arg(9)->Arg(8186);

}  // namespace
