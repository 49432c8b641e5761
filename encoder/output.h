// Where an encoder writes: the call's output buffer, and the check that turns
// a writer's failure into MemoryError.
#pragma once

#include "errors.h"
#include "veldspray_codec.h"

#include <cstdint>
#include <memory>

namespace veldspray {

struct buffer_release {
    void operator()(cbor::cbor_buffer *buffer) const noexcept { cbor::buffer_free(buffer); }
};
using buffer_handle = std::unique_ptr<cbor::cbor_buffer, buffer_release>;

// What every encoder configuration holds: the output buffer.
struct encoder_output {
    buffer_handle buffer;
};

// The writers report a buffer that could not grow by a negative status; the
// call then fails with MemoryError rather than return damaged output.
inline void check_written(std::int32_t status)
{
    if (status < 0) {
        throw_memory_error();
    }
}

// A signed 64-bit value: negative ones as CBOR negative integers.
inline std::int32_t write_int64(cbor::cbor_buffer *buffer, std::int64_t value)
{
    return value < 0 ? cbor::write_negint(buffer, value) : cbor::write_uint(buffer, static_cast<std::uint64_t>(value));
}

} // namespace veldspray
