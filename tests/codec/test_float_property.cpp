// write_float against an independent statement of the width rule
// (float_width.h); the payload must decode back to x.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>

#include "check.h"
#include "float_width.h"
#include "ieee754.h"

namespace {

// Decodes the written item without the codec: half by assembling the double's
// fields, single through a float, double as is.
double decode(const cbor_buffer *buffer)
{
    uint64_t payload = 0;
    for (uint64_t i = 1; i < buffer->size; ++i)
        payload = payload << 8 | buffer->data[i];
    if (buffer->data[0] == byte_single) {
        float single;
        uint32_t single_bits = static_cast<uint32_t>(payload);
        std::memcpy(&single, &single_bits, sizeof single);
        return single;
    }
    if (buffer->data[0] == byte_double)
        return bits_to_double(payload);
    uint64_t sign = (payload >> 15) << 63, exponent = (payload >> 10) & 0x1f, fraction = payload & 0x3ff;
    if (exponent == 0 && fraction == 0)
        return bits_to_double(sign);
    return bits_to_double(sign | (exponent - 15 + 1023) << 52 | fraction << 42);
}

int mismatches = 0;

// Non-finite numbers have fixed forms, checked by the writer table.
void check_one(double x)
{
    if (!std::isfinite(x))
        return;
    cbor_buffer *buffer = buffer_new();
    int32_t status = write_float(buffer, x);
    size_t want = 1 + narrowest_width(x);
    uint8_t head = want == 3 ? byte_half : want == 5 ? byte_single : byte_double;
    bool ok = status == 1 && buffer->size == want && buffer->data[0] == head &&
              double_to_bits(decode(buffer)) == double_to_bits(x);
    // Only the first few mismatches are printed; each region is one check.
    if (!ok && mismatches++ < 20)
        std::printf("  %a (%016llx): wrote %s, expected %zu bytes\n", x,
                    static_cast<unsigned long long>(double_to_bits(x)), hex(buffer).c_str(), want);
    buffer_free(buffer);
}

// The first and last `count` doubles of [low, high], stepping by one ulp.
void sweep_edges(double low, double high, int count)
{
    double up = low, down = high;
    for (int i = 0; i < count; ++i, up = std::nextafter(up, INFINITY), down = std::nextafter(down, -INFINITY)) {
        check_one(up);
        check_one(-up);
        check_one(down);
        check_one(-down);
    }
}

template <typename Region>
void check_region(const std::string &name, Region region)
{
    int before = mismatches;
    region();
    check(mismatches == before, name + ": " + std::to_string(mismatches - before) + " mismatches");
}

} // namespace

int main()
{
    const double overflow_midpoint = 0x1.ffffffp127;
    check_region("boundary points", [=] {
        // clang-format off
        double points[] = {0.0, -0.0, 0x1p-24, 0x1p-14, 0x1p-14 - 0x1p-24, 65504.0, 65505.0, 65520.0, 0x1p24,
                           0x1p24 + 1, 0x1p-126, 0x1p-149, FLT_MAX, std::nextafter(double{FLT_MAX}, INFINITY),
                           overflow_midpoint, std::nextafter(overflow_midpoint, 0.0), 0x1p128, DBL_MAX, DBL_MIN,
                           DBL_TRUE_MIN};
        // clang-format on
        for (double p : points)
            sweep_edges(p, p, 40);
    });
    check_region("half subnormals", [] { sweep_edges(0x1p-24, 0x1p-14, 2000); });
    check_region("normal halves", [] { sweep_edges(0x1p-14, 65504.0, 2000); });
    check_region("single subnormals", [] { sweep_edges(0x1p-149, 0x1p-126, 2000); });
    check_region("single integer precision", [] { sweep_edges(0x1p23, 0x1p25, 2000); });

    std::mt19937_64 random(20240611); // NOLINT(bugprone-random-generator-seed): the same patterns every run
    std::vector<uint64_t> patterns(2000000);
    for (auto &bits : patterns)
        bits = random();
    check_region("random doubles", [&] {
        for (uint64_t bits : patterns)
            check_one(bits_to_double(bits));
    });
    // Floats and halves in disguise reach the narrower widths far more often
    // than raw double bit patterns do.
    check_region("random singles", [&] {
        for (uint64_t bits : patterns) {
            float single;
            uint32_t single_bits = static_cast<uint32_t>(bits >> 32);
            std::memcpy(&single, &single_bits, sizeof single);
            check_one(single);
        }
    });
    check_region("random 11-bit significands", [&] {
        for (uint64_t bits : patterns)
            check_one(std::ldexp(static_cast<double>(1024 + (bits & 0x3ff)), static_cast<int>((bits >> 10) % 40) - 34));
    });
    return finish();
}
