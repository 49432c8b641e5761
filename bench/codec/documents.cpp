// The records of documents.h, from a fixed pseudo-random sequence.
#include "documents.h"

#include <cstring>

namespace veldspray::bench {

namespace {

// xorshift64*: the same sequence on every platform and C library.
class sequence {
public:
    explicit sequence(std::uint64_t seed) noexcept : state(seed * 0x9e3779b97f4a7c15ULL + 1) {}

    std::uint64_t next() noexcept
    {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545f4914f6cdd1dULL;
    }

private:
    std::uint64_t state;
};

// Text values are runs of this one, from 5 to 140 bytes long.
constexpr char prose[] = "Records like these come from message queues, caches and logs: names, comments, counters "
                         "and flags, in maps of a few short keys, written one after another by services that "
                         "send them millions of times a day.";
constexpr std::uint64_t prose_length = sizeof prose - 1;
constexpr std::uint64_t text_min = 5;
constexpr std::uint64_t text_max = 140;
static_assert(prose_length >= text_max);

std::int32_t write_key(cbor::cbor_buffer *buffer, const char *key) noexcept
{
    return cbor::write_text(buffer, key, std::strlen(key));
}

std::int32_t write_prose(cbor::cbor_buffer *buffer, sequence &random) noexcept
{
    const std::uint64_t length = text_min + random.next() % (text_max - text_min + 1);
    const std::uint64_t start = random.next() % (prose_length - length + 1);
    return cbor::write_text(buffer, prose + start, length);
}

std::int32_t write_record(cbor::cbor_buffer *buffer, std::uint32_t index, sequence &random) noexcept
{
    // Hundredths: most need a double; whole numbers and halves fit a half.
    const double ratio = static_cast<double>(random.next() % 100000) / 100.0;
    const bool active = (random.next() & 1) != 0;
    const std::uint64_t size = random.next() >> (random.next() % 40);

    if (cbor::write_map_header(buffer, 6) < 0 || write_key(buffer, "id") < 0 || cbor::write_uint(buffer, index) < 0 ||
        write_key(buffer, "name") < 0 || write_prose(buffer, random) < 0 || write_key(buffer, "comment") < 0 ||
        write_prose(buffer, random) < 0 || write_key(buffer, "size") < 0 || cbor::write_uint(buffer, size) < 0 ||
        write_key(buffer, "ratio") < 0 || cbor::write_float(buffer, ratio) < 0 || write_key(buffer, "active") < 0)
        return -1;
    return active ? cbor::write_true(buffer) : cbor::write_false(buffer);
}

} // namespace

std::int32_t write_records(cbor::cbor_buffer *buffer, std::uint32_t records, std::uint64_t seed) noexcept
{
    sequence random(seed);

    if (cbor::write_array_header(buffer, records) < 0)
        return -1;
    for (std::uint32_t index = 0; index < records; ++index)
        if (write_record(buffer, index, random) < 0)
            return -1;
    return 0;
}

} // namespace veldspray::bench
