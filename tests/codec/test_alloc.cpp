// Allocation failure: this executable is linked with malloc, calloc and
// realloc wrapped, so that the k-th allocation from the codec can be made to
// fail. Every failure must surface as -1 or NULL with the buffer consistent.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "check.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
}

namespace {

// Allocations counted since arm(); the one numbered fail_at fails (0: none).
int allocations = 0;
int fail_at = 0;
bool failed = false;

bool should_fail()
{
    if (++allocations != fail_at)
        return false;
    failed = true;
    return true;
}

void arm(int k)
{
    allocations = 0;
    fail_at = k;
    failed = false;
}

void disarm()
{
    fail_at = 0;
}

} // namespace

extern "C" {
void *__wrap_malloc(size_t size)
{
    return should_fail() ? nullptr : __real_malloc(size);
}
void *__wrap_calloc(size_t count, size_t size)
{
    return should_fail() ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *block, size_t size)
{
    return should_fail() ? nullptr : __real_realloc(block, size);
}
}

namespace {

using writer = std::function<int32_t(cbor_buffer *)>;

// Fails each allocation of `write` in turn on a buffer that already holds one
// byte. Appends are byte-at-a-time, so a failure at the k-th allocation keeps
// exactly the k - 1 bytes appended before it; a later append still works.
void check_writer_failures(const std::string &name, const writer &write, const std::string &full)
{
    for (int k = 1;; ++k) {
        cbor_buffer *buffer = buffer_new();
        buffer_put_byte(buffer, 0xee);
        arm(k);
        int32_t status = write(buffer);
        disarm();
        if (!failed) {
            check(status == 0 && hex(buffer) == "EE " + full, name + ": completes once allocations succeed");
            buffer_free(buffer);
            return;
        }
        bytes expected = from_hex("EE " + full);
        expected.resize(static_cast<size_t>(k));
        check(status == -1 && hex(buffer) == hex(expected),
              name + " failing allocation " + std::to_string(k) + ": kept " + hex(buffer));
        check(write_null(buffer) == 0 && buffer->size == expected.size() + 1, name + ": buffer usable afterwards");
        buffer_free(buffer);
    }
}

// Every allocation of the proof fails the call without writing; of the two
// appends to the caller's buffer, a failed payload keeps the initial byte.
void check_float_failures(double x, const std::string &full)
{
    cbor_buffer *buffer = buffer_new();
    arm(0);
    write_float(buffer, x);
    int total = allocations;
    buffer_free(buffer);

    for (int k = 1; k <= total; ++k) {
        buffer = buffer_new();
        buffer_put_byte(buffer, 0xee);
        arm(k);
        int32_t status = write_float(buffer, x);
        disarm();
        std::string kept = k == total ? "EE " + full.substr(0, 2) : "EE";
        check(failed && status == -1 && hex(buffer) == kept,
              "write_float " + full + " failing allocation " + std::to_string(k) + " of " + std::to_string(total) +
                  ": status " + std::to_string(status) + ", kept " + hex(buffer));
        buffer_free(buffer);
    }
}

void check_reader_failures()
{
    arm(1);
    check(buffer_new() == nullptr, "buffer_new fails to NULL");
    arm(1);
    check(reader_new("", 0) == nullptr, "reader_new fails to NULL");
    disarm();

    bytes text = from_hex("63 61 62 63");
    cbor_reader *reader = reader_new(text.data(), text.size());
    arm(1);
    check(read_item(reader) == nullptr && reader_remaining(reader) == 4, "item allocation fails, cursor kept");
    arm(2);
    check(read_item(reader) == nullptr && failed && reader_remaining(reader) == 3, "copy allocation fails to NULL");
    disarm();
    reader_free(reader);

    // A length beyond the run is refused before its copy is allocated.
    bytes oversized = from_hex("5B FF FF FF FF FF FF FF FF");
    reader = reader_new(oversized.data(), oversized.size());
    arm(0);
    check(read_item(reader) == nullptr && allocations == 1, "oversized length allocates no copy");
    disarm();
    reader_free(reader);
}

} // namespace

int main()
{
    static const uint8_t payload[3] = {1, 2, 3};
    struct {
        const char *name;
        writer write;
        const char *full;
    } writers[] = {
        {"buffer_put_byte", [](cbor_buffer *b) { return buffer_put_byte(b, 7); }, "07"},
        {"buffer_put_bytes", [](cbor_buffer *b) { return buffer_put_bytes(b, payload, 3); }, "01 02 03"},
        {"write_uint 2^32", [](cbor_buffer *b) { return write_uint(b, 4294967296u); }, "1B 00 00 00 01 00 00 00 00"},
        {"write_negint -257", [](cbor_buffer *b) { return write_negint(b, -257); }, "39 01 00"},
        {"write_array_header UNSIZED", [](cbor_buffer *b) { return write_array_header(b, UNSIZED); }, "9F"},
        {"write_map_header 1000", [](cbor_buffer *b) { return write_map_header(b, 1000); }, "B9 03 E8"},
        {"write_true", write_true, "F5"},
    };
    for (auto &w : writers)
        check_writer_failures(w.name, w.write, w.full);

    // A string's data is one append after its head: a failed head leaves the
    // data out, a failed data append keeps the head.
    for (int k = 1; k <= 2; ++k) {
        cbor_buffer *buffer = buffer_new();
        arm(k);
        int32_t status = write_text(buffer, "abc", 3);
        disarm();
        check(status == -1 && buffer->size == static_cast<uint64_t>(k - 1),
              "write_text failing allocation " + std::to_string(k));
        buffer_free(buffer);
    }

    check_float_failures(1.0, "F9 3C 00");
    check_float_failures(100000.0, "FA 47 C3 50 00");
    check_float_failures(0.1, "FB 3F B9 99 99 99 99 99 9A");
    check_reader_failures();
    return finish();
}
