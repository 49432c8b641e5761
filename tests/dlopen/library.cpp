// The shared object of the dlopen test: the codec's document writer
// (bench/codec/documents.h) behind one C function, built and linked as the
// module is, with the bundled allocator where the build has it.
#include <cstdint>
#include <cstring>

#include "cbor.h"
#include "documents.h"

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
