#include "run/intake.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "run/memory.h"
#include "run/output.h"
#include "run/run_state.h"

namespace {

constexpr int name_buffer_size = 1024;

// The names are stored one after the other, each preceded by its 4-byte
// position in input order. Nothing changes a name once it is read, so
// work_list and name_index point to the same copy: the name list is most of
// what a run holds in memory.
char *work_arena = nullptr;
size_t work_arena_size = 0;

// Reads one name into buffer: up to and including a NUL, up to the end of the
// stream, or 1024 bytes, whichever comes first. A failed read ends the name
// like the end of input; it is reported and recorded in final_status, and the
// result is false so that a stream that keeps failing is not read forever.
bool read_one_name(FILE *stream, char *buffer, const char *label, int &final_status) {
    buffer[0] = '\0';
    for (int i = 0; i < name_buffer_size; ++i) {
        int c = getc_unlocked(stream);
        if (c == EOF) {
            buffer[i] = '\0';
            if (int error = std::ferror(stream)) {
                std::fprintf(stderr, "%s: error %d.\n", label, error);
                final_status = -1;
                return false;
            }
            return true;
        }
        buffer[i] = static_cast<char>(c);
        if (c == '\0') break;
    }
    // A name of 1024 bytes or more keeps its first 1023; the 1024th is lost.
    buffer[name_buffer_size - 1] = '\0';
    return true;
}

[[noreturn]] void spool_write_failed() {
    std::fputs("could not write to temporary file, exiting\n", stderr);
    std::exit(-1);
}

[[noreturn]] void out_of_memory(const char *program_name, int status) {
    std::fprintf(stderr, "%s: Out of memory\n", program_name);
    std::exit(status);
}

}  // namespace

void read_name_list(FILE *input, FILE *spool, int &final_status, const char *program_name) {
    char buffer[name_buffer_size];
    size_t name_bytes = 0;  // all names with their NULs

    // First phase: standard input into the spool.
    while (!std::feof(input)) {
        bool ok = read_one_name(input, buffer, "stdin", final_status);
        size_t length = std::strlen(buffer);
        if (length > 0) {
            ++file_count;
            name_bytes += length + 1;
            if (std::fwrite(buffer, 1, length + 1, spool) != length + 1) spool_write_failed();
        }
        if (!ok) break;
    }
    // The stream buffers its writes: a failure may only show when they reach the file.
    if (std::fflush(spool) != 0) spool_write_failed();

    // Second phase: the spool into the arrays.
    report("Input: %d files, processing ...\n", file_count);
    // An input that could not be read is not an empty list: the error stands.
    if (file_count == 0) std::exit(final_status);
    std::rewind(spool);

    const size_t count = static_cast<size_t>(file_count);
    work_list = static_cast<char **>(allocate_zeroed(count, sizeof(char *)));
    name_index = static_cast<char **>(allocate_zeroed(count, sizeof(char *)));
    delete_marks = static_cast<unsigned char *>(allocate_zeroed(count, 1));
    if (!work_list || !name_index || !delete_marks) out_of_memory(program_name, -1);

    // Room for one empty name per entry beyond what was counted, so that a
    // spool whose reads fail and split names can never overrun the copies.
    work_arena_size = name_bytes + count + count * sizeof(uint32_t);
    work_arena = static_cast<char *>(allocate_zeroed(work_arena_size, 1));
    if (!work_arena) out_of_memory(program_name, 1);

    char *work_next = work_arena;
    size_t copied = 0;  // name bytes with their NULs
    for (size_t i = 0; i < count; ++i) {
        read_one_name(spool, buffer, "tmpfile", final_status);
        size_t length = std::strlen(buffer) + 1;
        if (copied + length > name_bytes) {
            length = 1;
            buffer[0] = '\0';
        }
        copied += length;
        uint32_t position = static_cast<uint32_t>(i);
        std::memcpy(work_next, &position, sizeof position);
        work_next += sizeof position;
        std::memcpy(work_next, buffer, length);
        work_list[i] = work_next;
        name_index[i] = work_next;
        work_next += length;
    }
    std::fclose(spool);
}

long work_entry_number(const char *name) {
    if (!work_arena || name < work_arena + sizeof(uint32_t) || name >= work_arena + work_arena_size)
        return -1;
    uint32_t position;
    std::memcpy(&position, name - sizeof position, sizeof position);
    if (position >= static_cast<uint32_t>(file_count) || work_list == nullptr) return -1;
    return static_cast<long>(position);
}

void discard_name_list() {
    std::free(work_list);
    std::free(name_index);
    std::free(delete_marks);
    std::free(work_arena);
    work_list = name_index = nullptr;
    delete_marks = nullptr;
    work_arena = nullptr;
    work_arena_size = 0;
    file_count = 0;
}
