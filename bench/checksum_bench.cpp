// How fast check_sum32 adds up, and the marker search scans, a small config
// and a large image, in bytes per second: both should run at memory speed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "stamp.h"

// XML-like text: tags, attributes and line ends, with no marker.
static std::vector<unsigned char> config_bytes(size_t size)
{
    static const char line[] = "  <channel id=\"1\" name=\"inlet temperature\" unit=\"degC\"/>\r\n";
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<unsigned char>(line[i % (sizeof line - 1)]);
    return data;
}

static void BM_CheckSum32(benchmark::State& state)
{
    const std::vector<unsigned char> data = config_bytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.data());
        benchmark::DoNotOptimize(check_sum32(data.data(), static_cast<int64_t>(data.size())));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CheckSum32)->Arg(4 << 10)->Arg(64 << 20);

static void BM_FindCrcMarker(benchmark::State& state)
{
    const std::vector<unsigned char> data = config_bytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(data.data());
        benchmark::DoNotOptimize(find_crc_marker(data.data(), data.size()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FindCrcMarker)->Arg(4 << 10)->Arg(64 << 20);

BENCHMARK_MAIN();
