// Buffer, head writers and the float writers: each call on a fresh buffer
// must append exactly the expected bytes and return the expected status; and
// the blocks behind the buffer, resized as the allocator of the build keeps
// them.
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include <malloc.h>
#include <sys/wait.h>

#include "check.h"
#include "ieee754.h"

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
    for (const auto &[value, expected] : read_table("integer_heads.txt")) {
        if (value[0] == '-')
            rows.push_back({"write_negint " + value,
                            [v = std::stoll(value)](cbor_buffer *b) { return write_negint(b, v); }, expected, 0});
        else
            rows.push_back({"write_uint " + value,
                            [v = std::stoull(value)](cbor_buffer *b) { return write_uint(b, v); }, expected, 0});
    }
    // clang-format off
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
        {"write_head tag 6", [](cbor_buffer *b) { return write_head(b, major_tag, 300); }, "D9 01 2C", 0},
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
    // clang-format on
    return rows;
}

// A float as the shared table writes it: decimal, hex-float, inf or nan as
// strtod reads them, or bits:HEX for an exact bit pattern.
double parse_float(const std::string &text)
{
    if (text.rfind("bits:", 0) != 0)
        return std::strtod(text.c_str(), nullptr);
    return bits_to_double(std::stoull(text.substr(5), nullptr, 16));
}

// The float table: every width and both non-finite forms.
std::vector<write_row> float_rows()
{
    std::vector<write_row> rows;
    for (const auto &[text, expected] : read_table("float_widths.txt")) {
        const double x = parse_float(text);
        rows.push_back({"write_float " + text, [x](cbor_buffer *b) { return write_float(b, x); }, expected,
                        std::isfinite(x) ? 1 : 0});
    }

    // The width writers on their own: the half conversion truncates and
    // re-biases blindly, the single conversion rounds to nearest-even and
    // overflows to infinity from the midpoint above FLT_MAX.
    const double overflow_midpoint = 0x1.ffffffp127;
    // clang-format off
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
    // clang-format on
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
        write_false,
        write_true,
        write_null,
        write_break,
        [](cbor_buffer *b) { return write_half(b, 1.0); },
        [](cbor_buffer *b) { return write_single(b, 1.0); },
        [](cbor_buffer *b) { return write_double(b, 1.0); },
        [](cbor_buffer *b) { return write_float(b, 1.0); },
        [](cbor_buffer *b) { return write_float(b, 0.1); },
        [](cbor_buffer *b) { return write_float(b, NAN); },
        // NOLINTNEXTLINE(bugprone-narrowing-conversions): -INFINITY widens to double exactly
        [](cbor_buffer *b) { return write_float(b, -INFINITY); },
    };
    int index = 0;
    for (auto &call : calls)
        check(call(nullptr) == -1, "null buffer call #" + std::to_string(index++) + " returns -1");
}

// The bundled allocator of the Linux builds keeps blocks below 512 KiB in
// mimalloc and gives larger ones a mapping of their own; elsewhere these run
// on the C library's allocator. Each step reallocates the block and must keep
// the bytes it held (checked every few KiB and at the end) and offer the size
// asked; a size above PTRDIFF_MAX, which no object has, is refused with
// ENOMEM and leaves the block as it was.
constexpr size_t KiB = 1024, MiB = 1024 * KiB, stamp_stride = 4093, beyond_objects = size_t{PTRDIFF_MAX} + 1,
                 wraps_with_an_eighth = 0xe38e38e38e38e38f;

uint8_t stamp(size_t offset)
{
    return static_cast<uint8_t>(offset ^ offset >> 12 ^ 0x5a);
}

bool resize_through(void *&block, size_t held, const std::vector<size_t> &sizes)
{
    bool kept = true;
    for (size_t size : sizes) {
        errno = 0;
        auto *data = static_cast<uint8_t *>(std::realloc(block, size));
        if (size >= beyond_objects) {
            kept = kept && data == nullptr && errno == ENOMEM;
            data = static_cast<uint8_t *>(block);
            size = held;
        } else if (data == nullptr && size != 0) { // realloc to 0 may free the block and give null
            return false;
        }
        block = data;
        const size_t common = std::min(held, size);
        for (size_t i = 0; i < common; i += stamp_stride)
            kept = kept && data[i] == stamp(i);
        kept = kept && (common == 0 || data[common - 1] == stamp(common - 1));
        for (size_t i = held; i < size; ++i)
            data[i] = stamp(i);
        kept = kept && (size == 0 || malloc_usable_size(block) >= size);
        held = size;
    }
    return kept;
}

void check_block_resizing()
{
    const struct {
        const char *name;
        size_t alignment; // 0: a block that realloc starts
        std::vector<size_t> sizes;
    } rows[] = {
        {"grows across 512 KiB and shrinks back", 0, {1, 300 * KiB, 600 * KiB, 5 * MiB, 700 * KiB, 100, 2 * MiB}},
        {"large block reallocated to 0", 0, {2 * MiB, 0, 10}},
        {"small block reallocated to 0", 0, {40, 0}},
        {"small block grows a byte at a time, shrinks and grows again", 0, {1, 2, 3, 17, 32, 5, 2, 33, 64, 1, 70}},
        {"sizes beyond any object refused",
         0,
         {SIZE_MAX, 100 * KiB, wraps_with_an_eighth, beyond_objects, 2 * MiB, wraps_with_an_eighth, SIZE_MAX}},
        {"aligned small block grows", 4096, {100, 3 * MiB, 9 * MiB}},
        {"aligned large block grows", 64, {MiB, 6 * MiB}},
    };
    for (const auto &row : rows) {
        void *block = nullptr;
        if (row.alignment != 0) {
            check(posix_memalign(&block, row.alignment, row.sizes[0]) == 0 &&
                      reinterpret_cast<uintptr_t>(block) % row.alignment == 0,
                  std::string(row.name) + ": aligned as asked");
        }
        check(resize_through(block, 0, row.sizes), row.name);
        std::free(block);
    }

    // A freed large block may be kept for reuse; calloc must still give zeros.
    void *dirty = nullptr;
    resize_through(dirty, 0, {2 * MiB});
    std::free(dirty);
    // Read through volatile: the compiler knows what calloc gives.
    auto *zeroed = static_cast<volatile uint8_t *>(std::calloc(1, MiB));
    bool zero = zeroed != nullptr;
    for (size_t i = 0; zero && i < MiB; i += stamp_stride)
        zero = zeroed[i] == 0;
    check(zero, "calloc after a large block was freed gives zeros");
    std::free(const_cast<uint8_t *>(zeroed));

    // Given and sized through volatile: the compiler knows what malloc gives,
    // and that no object is that large.
    const auto refused = [](void *volatile block) { return block == nullptr && std::exchange(errno, 0) == ENOMEM; };
    for (const volatile size_t size : {beyond_objects, SIZE_MAX}) {
        check(refused(std::malloc(size)) && refused(std::calloc(1, size)) && refused(std::calloc(size, 2)) &&
                  refused(memalign(64, size)),
              "malloc, calloc and memalign refuse " + std::to_string(size) + " bytes");
    }

    // Small blocks that start 16 bytes into a page, where a large block starts
    // after its header: each block ends with what that header would hold for
    // a mapping of one page, and free and realloc must still take the block
    // after it for a small one. Only the bundled allocator is sure to place
    // such blocks (musl's own may place none); with another, the row checks
    // the ones it finds.
    std::vector<void *> small, at_page_16;
    while (at_page_16.size() < 2 && small.size() < 8192) {
        auto *block = static_cast<size_t *>(std::malloc(5 * sizeof(size_t)));
        block[3] = 4096;
        block[4] = 40;
        ((reinterpret_cast<uintptr_t>(block) & 4095) == 16 ? at_page_16 : small).push_back(block);
    }
    const bool found = at_page_16.size() == 2;
#ifdef VELDSPRAY_TEST_BUNDLED_ALLOCATOR
    check(found, "the bundled allocator places small blocks 16 bytes into a page");
#endif
    if (found)
        std::free(at_page_16[0]);
    check(!found || resize_through(at_page_16[1], 0, {40, 20, 3 * MiB}), "small blocks 16 bytes into a page");
    for (void *block : small)
        std::free(block);
    if (found)
        std::free(at_page_16[1]);

    std::atomic<int> failed_threads{0};
    std::thread threads[8];
    for (auto &thread : threads)
        thread = std::thread([&failed_threads] {
            for (int round = 0; round < 10; ++round) {
                void *block = nullptr;
                if (!resize_through(block, 0, {1, 700 * KiB, 4 * MiB, 600 * KiB, 3 * MiB}))
                    ++failed_threads;
                std::free(block);
            }
        });
    for (auto &thread : threads)
        thread.join();
    check(failed_threads == 0, "8 threads grow and free large blocks at once");

    // After fork, the child grows and frees the parent's large block and one of
    // its own.
    void *inherited = nullptr;
    resize_through(inherited, 0, {3 * MiB});
    const pid_t child = fork();
    if (child == 0) {
        void *own = nullptr;
        const bool ok = resize_through(inherited, 3 * MiB, {9 * MiB, MiB}) && resize_through(own, 0, {1, 2 * MiB});
        std::free(inherited);
        std::free(own);
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    check(child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0,
          "a child after fork grows and frees large blocks");
    std::free(inherited);
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
    check_block_resizing();
    return finish();
}
