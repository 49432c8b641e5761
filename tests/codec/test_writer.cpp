// Buffer, head writers and the float writers: each call on a fresh buffer
// must append exactly the expected bytes and return the expected status.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "check.h"

namespace {

struct write_row {
    std::string call;
    std::function<int32_t(cbor_buffer *)> write;
    std::string expected;
    int32_t status;
};

void check_row(const write_row &row)
{
    cbor_buffer *buffer = buffer_new();
    int32_t status = row.write(buffer);
    std::string got = hex(buffer);
    check(status == row.status && got == row.expected,
          row.call + ": got " + got + " status " + std::to_string(status) + ", want " + row.expected);
    buffer_free(buffer);
}

std::string repeat(const std::string &byte, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += " " + byte;
    return out;
}

const uint8_t three_hundred[300] = {7};

std::vector<write_row> head_rows()
{
    std::vector<write_row> rows;
    struct { uint64_t value; const char *expected; } uints[] = {
        {0, "00"}, {23, "17"}, {24, "18 18"}, {255, "18 FF"}, {256, "19 01 00"},
        {65535, "19 FF FF"}, {65536, "1A 00 01 00 00"}, {4294967295u, "1A FF FF FF FF"},
        {4294967296u, "1B 00 00 00 01 00 00 00 00"}, {UINT64_MAX, "1B FF FF FF FF FF FF FF FF"},
    };
    for (auto &u : uints)
        rows.push_back({"write_uint " + std::to_string(u.value),
                        [v = u.value](cbor_buffer *b) { return write_uint(b, v); }, u.expected, 0});
    struct { int64_t value; const char *expected; } negints[] = {
        {-1, "20"}, {-24, "37"}, {-25, "38 18"}, {-256, "38 FF"}, {-257, "39 01 00"},
        {-65537, "3A 00 01 00 00"}, {-4294967297, "3B 00 00 00 01 00 00 00 00"},
        {INT64_MIN, "3B 7F FF FF FF FF FF FF FF"},
    };
    for (auto &n : negints)
        rows.push_back({"write_negint " + std::to_string(n.value),
                        [v = n.value](cbor_buffer *b) { return write_negint(b, v); }, n.expected, 0});
    rows.insert(rows.end(), {
        {"write_text a", [](cbor_buffer *b) { return write_text(b, "a", 1); }, "61 61", 0},
        {"write_text empty", [](cbor_buffer *b) { return write_text(b, "", 0); }, "60", 0},
        {"write_text 24 bytes", [](cbor_buffer *b) { return write_text(b, "xxxxxxxxxxxxxxxxxxxxxxxx", 24); },
         "78 18" + repeat("78", 24), 0},
        {"write_bytes empty", [](cbor_buffer *b) { return write_bytes(b, nullptr, 0); }, "40", 0},
        {"write_bytes 300", [](cbor_buffer *b) { return write_bytes(b, three_hundred, 300); },
         "59 01 2C 07" + repeat("00", 299), 0},
        {"write_bytes UNSIZED", [](cbor_buffer *b) { return write_bytes(b, "zz", UNSIZED); }, "5F", 0},
        {"write_text UNSIZED", [](cbor_buffer *b) { return write_text(b, "zz", UNSIZED); }, "7F", 0},
        {"write_array_header 0", [](cbor_buffer *b) { return write_array_header(b, 0); }, "80", 0},
        {"write_array_header UNSIZED", [](cbor_buffer *b) { return write_array_header(b, UNSIZED); }, "9F", 0},
        {"write_array_header UNSIZED-1", [](cbor_buffer *b) { return write_array_header(b, UNSIZED - 1); },
         "9B FF FF FF FF FF FF FF FE", 0},
        {"write_map_header 0", [](cbor_buffer *b) { return write_map_header(b, 0); }, "A0", 0},
        {"write_map_header 1", [](cbor_buffer *b) { return write_map_header(b, 1); }, "A1", 0},
        {"write_map_header 1000", [](cbor_buffer *b) { return write_map_header(b, 1000); }, "B9 03 E8", 0},
        {"write_map_header UNSIZED", [](cbor_buffer *b) { return write_map_header(b, UNSIZED); }, "BF", 0},
        {"write_head tag 6", [](cbor_buffer *b) { return write_head(b, CBOR_MAJOR_TAG, 300); }, "D9 01 2C", 0},
        {"write_initial ai 0", [](cbor_buffer *b) { return write_initial(b, 0x40, 0x1234); }, "74", 0},
        {"write_initial ai 26", [](cbor_buffer *b) { return write_initial(b, 0x9a, 0x0102030405); },
         "9A 02 03 04 05", 0},
        {"write_false", write_false, "F4", 0},
        {"write_true", write_true, "F5", 0},
        {"write_null", write_null, "F6", 0},
        {"write_break", write_break, "FF", 0},
        {"buffer_put_byte 0x1234", [](cbor_buffer *b) { return buffer_put_byte(b, 0x1234); }, "34", 0},
        {"buffer_put_byte -1", [](cbor_buffer *b) { return buffer_put_byte(b, -1); }, "FF", 0},
        // The head goes out; the length that cannot fit in memory is refused
        // before any allocation and the source is never read.
        {"write_bytes too long", [](cbor_buffer *b) { return write_bytes(b, "", UNSIZED - 1); },
         "5B FF FF FF FF FF FF FF FE", -1},
    });
    return rows;
}

// The float table: every width and both non-finite forms.
std::vector<write_row> float_rows()
{
    struct { const char *text; double x; const char *expected; } table[] = {
        {"0.0", 0.0, "F9 00 00"},
        {"-0.0", -0.0, "F9 80 00"},
        {"1.0", 1.0, "F9 3C 00"},
        {"1.5", 1.5, "F9 3E 00"},
        {"-2.0", -2.0, "F9 C0 00"},
        {"65504.0", 65504.0, "F9 7B FF"},
        {"-65504.0", -65504.0, "F9 FB FF"},
        {"65505.0", 65505.0, "FA 47 7F E1 00"},
        {"65536.0", 65536.0, "FA 47 80 00 00"},
        {"100000.0", 100000.0, "FA 47 C3 50 00"},
        {"2^-14", 0x1p-14, "F9 04 00"},
        {"2^-24", 0x1p-24, "FA 33 80 00 00"},
        {"1023*2^-24", 1023 * 0x1p-24, "FA 38 7F C0 00"},
        {"2^-149", 0x1p-149, "FA 00 00 00 01"},
        {"1024.5", 1024.5, "FA 44 80 10 00"},
        {"16777216.0", 16777216.0, "FA 4B 80 00 00"},
        {"16777217.0", 16777217.0, "FB 41 70 00 00 10 00 00 00"},
        {"FLT_MAX", 3.4028234663852886e38, "FA 7F 7F FF FF"},
        {"1e300", 1e300, "FB 7E 37 E4 3C 88 00 75 9C"},
        {"1e-05", 1e-05, "FB 3E E4 F8 B5 88 E3 68 F1"},
        {"0.1", 0.1, "FB 3F B9 99 99 99 99 99 9A"},
        {"1.0000000000000002", 1.0000000000000002, "FB 3F F0 00 00 00 00 00 01"},
        {"5e-324", 5e-324, "FB 00 00 00 00 00 00 00 01"},
        {"+inf", INFINITY, "F9 7C 00"},
        {"-inf", -INFINITY, "F9 FC 00"},
        {"NaN", std::numeric_limits<double>::quiet_NaN(), "F9 7E 00"},
        {"-NaN", -std::numeric_limits<double>::quiet_NaN(), "F9 7E 00"},
        {"signalling NaN", std::numeric_limits<double>::signaling_NaN(), "F9 7E 00"},
    };
    std::vector<write_row> rows;
    for (auto &t : table)
        rows.push_back({std::string("write_float ") + t.text, [x = t.x](cbor_buffer *b) { return write_float(b, x); },
                        t.expected, std::isfinite(t.x) ? 1 : 0});
    double payload_nan;
    uint64_t payload_bits = 0xfff0000000000123u;
    std::memcpy(&payload_nan, &payload_bits, sizeof payload_nan);
    rows.push_back({"write_float NaN with payload", [payload_nan](cbor_buffer *b) { return write_float(b, payload_nan); },
                    "F9 7E 00", 0});

    // The width writers on their own: the half conversion truncates and
    // re-biases blindly, the single conversion rounds to nearest-even and
    // overflows to infinity from the midpoint above FLT_MAX.
    const double overflow_midpoint = 0x1.ffffffp127;
    rows.insert(rows.end(), {
        {"write_half 1e300", [](cbor_buffer *b) { return write_half(b, 1e300); }, "F9 7C 00", 1},
        {"write_half -1e300", [](cbor_buffer *b) { return write_half(b, -1e300); }, "F9 FC 00", 1},
        {"write_half 65536", [](cbor_buffer *b) { return write_half(b, 65536.0); }, "F9 7C 00", 1},
        {"write_half 2^-24", [](cbor_buffer *b) { return write_half(b, 0x1p-24); }, "F9 DC 00", 1},
        {"write_half 1+2^-11", [](cbor_buffer *b) { return write_half(b, 1 + 0x1p-11); }, "F9 3C 00", 1},
        {"write_single midpoint", [=](cbor_buffer *b) { return write_single(b, overflow_midpoint); },
         "FA 7F 80 00 00", 1},
        {"write_single -midpoint", [=](cbor_buffer *b) { return write_single(b, -overflow_midpoint); },
         "FA FF 80 00 00", 1},
        {"write_single below midpoint",
         [=](cbor_buffer *b) { return write_single(b, std::nextafter(overflow_midpoint, 0.0)); }, "FA 7F 7F FF FF", 1},
        {"write_single 1e300", [](cbor_buffer *b) { return write_single(b, 1e300); }, "FA 7F 80 00 00", 1},
        {"write_single 1+2^-24", [](cbor_buffer *b) { return write_single(b, 1 + 0x1p-24); }, "FA 3F 80 00 00", 1},
        {"write_single 1+3*2^-24", [](cbor_buffer *b) { return write_single(b, 1 + 3 * 0x1p-24); },
         "FA 3F 80 00 02", 1},
        {"write_double -0.0", [](cbor_buffer *b) { return write_double(b, -0.0); }, "FB 80 00 00 00 00 00 00 00", 1},
    });
    return rows;
}

void check_buffer_lifecycle()
{
    cbor_buffer *buffer = buffer_new();
    check(buffer && buffer->data == nullptr && buffer->size == 0, "new buffer is empty");
    check(buffer_put_bytes(buffer, nullptr, 0) == 0 && buffer->data == nullptr && buffer->size == 0,
          "empty run on empty buffer appends nothing");
    buffer_put_byte(buffer, 0xa1);
    check(buffer_put_bytes(buffer, nullptr, 0) == 0 && buffer->size == 1, "empty run keeps the content");
    check(buffer_put_bytes(buffer, "x", UINT64_MAX) == -1 && buffer->size == 1 && buffer->data[0] == 0xa1,
          "a length that wraps the size is refused");
    // The typical call dumps({"a": [1, 2.5]}) in both configurations.
    write_text(buffer, "a", 1);
    write_array_header(buffer, 2);
    write_uint(buffer, 1);
    write_float(buffer, 2.5);
    check(hex(buffer) == "A1 61 61 82 01 F9 41 00", "writes append in order: " + hex(buffer));
    buffer_free(buffer);
    buffer_free(nullptr);
}

void check_null_buffer()
{
    std::function<int32_t(cbor_buffer *)> calls[] = {
        [](cbor_buffer *b) { return buffer_put_byte(b, 1); },
        [](cbor_buffer *b) { return buffer_put_bytes(b, "a", 1); },
        [](cbor_buffer *b) { return buffer_put_bytes(b, "", 0); },
        [](cbor_buffer *b) { return write_initial(b, 0x18, 1); },
        [](cbor_buffer *b) { return write_head(b, 0, 1); },
        [](cbor_buffer *b) { return write_uint(b, 70000); },
        [](cbor_buffer *b) { return write_negint(b, -1); },
        [](cbor_buffer *b) { return write_bytes(b, "a", 1); },
        [](cbor_buffer *b) { return write_bytes(b, "", UNSIZED); },
        [](cbor_buffer *b) { return write_text(b, "a", 1); },
        [](cbor_buffer *b) { return write_text(b, "", UNSIZED); },
        [](cbor_buffer *b) { return write_array_header(b, 3); },
        [](cbor_buffer *b) { return write_array_header(b, UNSIZED); },
        [](cbor_buffer *b) { return write_map_header(b, 3); },
        [](cbor_buffer *b) { return write_map_header(b, UNSIZED); },
        write_false, write_true, write_null, write_break,
        [](cbor_buffer *b) { return write_half(b, 1.0); },
        [](cbor_buffer *b) { return write_single(b, 1.0); },
        [](cbor_buffer *b) { return write_double(b, 1.0); },
        [](cbor_buffer *b) { return write_float(b, 1.0); },
        [](cbor_buffer *b) { return write_float(b, 0.1); },
        [](cbor_buffer *b) { return write_float(b, NAN); },
        [](cbor_buffer *b) { return write_float(b, -INFINITY); },
    };
    int index = 0;
    for (auto &call : calls)
        check(call(nullptr) == -1, "null buffer call #" + std::to_string(index++) + " returns -1");
}

} // namespace

int main()
{
    for (const auto &row : head_rows())
        check_row(row);
    for (const auto &row : float_rows())
        check_row(row);
    check_buffer_lifecycle();
    check_null_buffer();
    return finish();
}
