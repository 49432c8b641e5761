// Times whole calls of the codec: a new buffer, one item or a document of N
// records written into it (documents.h), and the buffer freed, as dumps does
// around the encoder. For each size, in the order given, it prints "RECORDS
// BYTES NANOSECONDS PEAK_KIB": the best time of one call, over the first call
// and ROUNDS rounds that each repeat the call for about 20 ms (at least once),
// and the process's peak resident memory so far. RECORDS 0 stands for the
// one-item call (a small integer).
//
//     codec_bench ROUNDS RECORDS...
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "documents.h"
#include "veldspray_codec.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr std::uint64_t seed = 31;
constexpr double round_seconds = 0.02;

// One whole call; returns the bytes written, or 0 when a write failed.
std::uint64_t call(std::uint32_t records)
{
    veldspray::cbor::cbor_buffer *buffer = veldspray::cbor::buffer_new();
    if (buffer == nullptr)
        return 0;
    const std::int32_t status =
        records == 0 ? veldspray::cbor::write_uint(buffer, 5) : veldspray::bench::write_records(buffer, records, seed);
    const std::uint64_t size = status < 0 ? 0 : buffer->size;
    veldspray::cbor::buffer_free(buffer);
    return size;
}

double seconds_of(std::uint32_t records, std::uint64_t calls)
{
    const auto start = clock_type::now();
    for (std::uint64_t i = 0; i < calls; ++i)
        if (call(records) == 0)
            std::abort();
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The peak resident memory of this process so far, in KiB (VmHWM), or 0
// where /proc cannot tell it.
unsigned long peak_kib()
{
    std::FILE *status = std::fopen("/proc/self/status", "r");
    char line[128];
    unsigned long kib = 0;

    if (status == nullptr)
        return 0;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::strtoul(line + 6, nullptr, 10);
    std::fclose(status);
    return kib;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fputs("usage: codec_bench ROUNDS RECORDS...\n", stderr);
        return 2;
    }
    const long rounds = std::strtol(argv[1], nullptr, 10);
    for (int arg = 2; arg < argc; ++arg) {
        const auto records = static_cast<std::uint32_t>(std::strtoul(argv[arg], nullptr, 10));
        const std::uint64_t bytes = call(records);
        if (bytes == 0) {
            std::fputs("codec_bench: a write failed\n", stderr);
            return 1;
        }
        const double once = seconds_of(records, 1);
        const auto calls = static_cast<std::uint64_t>(round_seconds / (once > 1e-9 ? once : 1e-9)) + 1;
        double best = once;
        for (long round = 0; round < rounds; ++round) {
            const double each = seconds_of(records, calls) / static_cast<double>(calls);
            best = each < best ? each : best;
        }
        std::printf("%" PRIu32 " %" PRIu64 " %.1f %lu\n", records, bytes, best * 1e9, peak_kib());
        std::fflush(stdout);
    }
    return 0;
}
