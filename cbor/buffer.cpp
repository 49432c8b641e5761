// The output buffer and the head writers. The block is kept at exactly the
// bytes written: each append reallocates it to the new total.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "veldspray_codec.h"

namespace veldspray::cbor {

cbor_buffer *buffer_new() noexcept
{
    return static_cast<cbor_buffer *>(std::calloc(1, sizeof(cbor_buffer)));
}

void buffer_free(cbor_buffer *buffer) noexcept
{
    if (buffer == nullptr)
        return;
    std::free(buffer->data);
    std::free(buffer);
}

namespace {

// Resizes the block to hold `length` more bytes and returns where they go, or
// null with the buffer untouched when the total would not fit or realloc
// fails. No object may be larger than PTRDIFF_MAX bytes, so no block is.
// `length` must not be 0: realloc of 0 bytes may free the block.
std::uint8_t *buffer_extend(cbor_buffer *buffer, std::uint64_t length) noexcept
{
    if (length > static_cast<std::uint64_t>(PTRDIFF_MAX) - buffer->size)
        return nullptr;
    const auto new_size = static_cast<std::size_t>(buffer->size + length);
    auto *data = static_cast<std::uint8_t *>(std::realloc(buffer->data, new_size));
    if (data == nullptr)
        return nullptr;
    buffer->data = data;
    return data + buffer->size;
}

std::int32_t write_indefinite_start(cbor_buffer *buffer, int major_type) noexcept
{
    return buffer_put_byte(buffer, major_type << major_shift | static_cast<int>(ai_indefinite));
}

std::int32_t write_string(cbor_buffer *buffer, int major_type, const void *source, std::uint64_t length) noexcept
{
    if (length == UNSIZED)
        return write_indefinite_start(buffer, major_type);
    if (write_head(buffer, major_type, length) < 0)
        return -1;
    return buffer_put_bytes(buffer, source, length);
}

std::int32_t write_container(cbor_buffer *buffer, int major_type, std::uint64_t count) noexcept
{
    if (count == UNSIZED)
        return write_indefinite_start(buffer, major_type);
    return write_head(buffer, major_type, count);
}

} // namespace

std::int32_t buffer_put_byte(cbor_buffer *buffer, int byte) noexcept
{
    std::uint8_t *slot;

    if (buffer == nullptr || (slot = buffer_extend(buffer, 1)) == nullptr)
        return -1;
    *slot = static_cast<std::uint8_t>(byte);
    buffer->size += 1;
    return 0;
}

std::int32_t buffer_put_bytes(cbor_buffer *buffer, const void *source, std::uint64_t length) noexcept
{
    if (buffer == nullptr)
        return -1;
    if (length == 0)
        return 0;
    std::uint8_t *slot = buffer_extend(buffer, length);
    if (slot == nullptr)
        return -1;
    std::memcpy(slot, source, static_cast<std::size_t>(length));
    buffer->size += length;
    return 0;
}

std::int32_t write_initial(cbor_buffer *buffer, std::uint8_t initial_byte, std::uint64_t argument) noexcept
{
    const unsigned additional_info = initial_byte & ai_mask;

    if (additional_info < ai_arg8 || additional_info > ai_arg64)
        return buffer_put_byte(buffer, initial_byte | static_cast<std::uint8_t>(argument));

    // ai_arg8..ai_arg64 are consecutive and carry 1, 2, 4 and 8 argument bytes.
    unsigned count = 1u << (additional_info - ai_arg8);
    if (buffer_put_byte(buffer, initial_byte) < 0)
        return -1;
    while (count-- > 0)
        if (buffer_put_byte(buffer, static_cast<std::uint8_t>(argument >> (8 * count))) < 0)
            return -1;
    return 0;
}

std::int32_t write_head(cbor_buffer *buffer, int major_type, std::uint64_t argument) noexcept
{
    unsigned additional_info;

    if (argument <= ai_immediate_max)
        additional_info = static_cast<unsigned>(argument);
    else if (argument <= UINT8_MAX)
        additional_info = ai_arg8;
    else if (argument <= UINT16_MAX)
        additional_info = ai_arg16;
    else if (argument <= UINT32_MAX)
        additional_info = ai_arg32;
    else
        additional_info = ai_arg64;
    return write_initial(
        buffer, static_cast<std::uint8_t>(major_type << major_shift | static_cast<int>(additional_info)), argument);
}

std::int32_t write_uint(cbor_buffer *buffer, std::uint64_t value) noexcept
{
    return write_head(buffer, major_uint, value);
}

std::int32_t write_negint(cbor_buffer *buffer, std::int64_t value) noexcept
{
    return write_head(buffer, major_negint, ~static_cast<std::uint64_t>(value));
}

std::int32_t write_bytes(cbor_buffer *buffer, const void *source, std::uint64_t length) noexcept
{
    return write_string(buffer, major_bytes, source, length);
}

std::int32_t write_text(cbor_buffer *buffer, const char *source, std::uint64_t length) noexcept
{
    return write_string(buffer, major_text, source, length);
}

std::int32_t write_array_header(cbor_buffer *buffer, std::uint64_t count) noexcept
{
    return write_container(buffer, major_array, count);
}

std::int32_t write_map_header(cbor_buffer *buffer, std::uint64_t count) noexcept
{
    return write_container(buffer, major_map, count);
}

std::int32_t write_false(cbor_buffer *buffer) noexcept
{
    return buffer_put_byte(buffer, byte_false);
}

std::int32_t write_true(cbor_buffer *buffer) noexcept
{
    return buffer_put_byte(buffer, byte_true);
}

std::int32_t write_null(cbor_buffer *buffer) noexcept
{
    return buffer_put_byte(buffer, byte_null);
}

std::int32_t write_break(cbor_buffer *buffer) noexcept
{
    return buffer_put_byte(buffer, byte_break);
}

} // namespace veldspray::cbor
