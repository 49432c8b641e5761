// The shared object of the dlopen test: the codec's document writer
// (bench/codec/documents.h) and the native stack guard behind two C
// functions, built and linked as the module is, with the bundled allocator
// where the build has it.
#include <cstdint>
#include <cstring>

#include "documents.h"
#include "stack_bounds.h"
#include "veldspray_codec.h"

namespace {

// About what a level of the encoder's recursion takes of the stack.
constexpr std::size_t level_bytes = 96;

// Goes `depth` levels down, checking each against `floor` as the encoder
// checks each container; -1 once the floor is reached.
std::int64_t nest(std::uint64_t depth, std::uintptr_t floor) noexcept
{
    if (veldspray::current_stack_address() < floor) {
        return -1;
    }
    if (depth == 0) {
        return 0;
    }
    volatile std::uint8_t level[level_bytes] = {};
    const std::int64_t below = nest(depth - 1, floor);
    // level[0] is 0: reading it after the call keeps the level's frame.
    return below < 0 ? below : below + 1 + level[0];
}

} // namespace

// Writes the document of `records` records from `seed` and copies it to `out`
// when it fits in `capacity` bytes; returns its size, or -1 when a write
// failed. Every block it allocates it frees itself.
extern "C" __attribute__((visibility("default"))) std::int64_t
veldspray_document(std::uint32_t records, std::uint64_t seed, void *out, std::uint64_t capacity)
{
    veldspray::cbor::cbor_buffer *buffer = veldspray::cbor::buffer_new();
    std::int64_t size = -1;
    if (buffer != nullptr && veldspray::bench::write_records(buffer, records, seed) == 0) {
        size = static_cast<std::int64_t>(buffer->size);
        if (buffer->size <= capacity)
            std::memcpy(out, buffer->data, buffer->size);
    }
    veldspray::cbor::buffer_free(buffer);
    return size;
}

// Nests `depth` levels under the guard that dumps runs under, from the
// calling thread's stack; returns `depth`, or -1 when the guard stopped it
// before the stack ran out.
extern "C" __attribute__((visibility("default"))) std::int64_t veldspray_nest(std::uint64_t depth)
{
    const veldspray::stack_entry entry = veldspray::enter_stack();
    return nest(depth, entry.on_thread_stack ? entry.floor : veldspray::unmeasured_floor(entry.address));
}
