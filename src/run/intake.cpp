#include "run/intake.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/memory.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

// The longest name that fits the buffer with its NUL.
constexpr size_t longest_name = 1023;
// How much of a skipped name its line shows.
constexpr size_t shown_head = 40;

constexpr char terminal_hint[] =
    "twinfold reads NUL-separated file names from standard input, "
    "as in: find . -type f -print0 | twinfold\n";
constexpr char newline_hint[] =
    "stdin: newlines but no NUL byte: names end with a NUL byte (use find -print0)\n";

struct name_read {
    size_t length = 0;          // bytes of the whole name, its NUL not counted
    bool ended_by_nul = false;  // a NUL ended it (not the end of input or a failed read)
    bool newline = false;       // it holds a newline byte
    bool failed = false;        // a read failed; reported, final_status set
};

// Reads one name: every byte up to its NUL, the end of the stream or a failed
// read. buffer (longest_name + 1 bytes) receives the name, or of a name too
// long to fit its first longest_name bytes; the length tells which. A name is
// never split: its bytes after the buffer is full are read and dropped, so
// the next name starts after its NUL. A failed read ends the name like the
// end of input; it is reported and recorded in final_status, so that a
// stream that keeps failing is not read forever.
name_read read_one_name(FILE *stream, char *buffer, const char *label, int &final_status) {
    name_read name;
    for (;;) {
        const int c = getc_unlocked(stream);
        if (c == EOF) {
            if (const int error = std::ferror(stream)) {
                error_line("%s: error %d.\n", label, error);
                final_status = -1;
                name.failed = true;
            }
            break;
        }
        if (c == '\0') {
            name.ended_by_nul = true;
            break;
        }
        if (c == '\n') name.newline = true;
        if (name.length < longest_name) buffer[name.length] = static_cast<char>(c);
        ++name.length;
    }
    buffer[name.length < longest_name ? name.length : longest_name] = '\0';
    return name;
}

// The first bytes of a name as one line of plain text: newlines, control
// bytes, bytes above 126 and the backslash are written as C escapes.
std::string printable_head(const char *name) {
    std::string shown;
    for (size_t i = 0; i < shown_head && name[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c == '\\') {
            shown += "\\\\";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\t') {
            shown += "\\t";
        } else if (c < 0x20 || c > 0x7e) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", c);
            shown += octal;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

void report_skipped(const char *head, size_t length) {
    error_line("stdin: name of %zu bytes skipped (longer than %zu): %s...\n", length, longest_name,
               printable_head(head).c_str());
}

[[noreturn]] void spool_write_failed() {
    error_line("could not write to temporary file, exiting\n");
    std::exit(-1);
}

[[noreturn]] void out_of_memory(const char *program_name, int status) {
    error_line("%s: Out of memory\n", program_name);
    std::exit(status);
}

}  // namespace

void read_name_list(FILE *input, FILE *spool, int &final_status, const char *program_name) {
    char buffer[longest_name + 1];
    size_t name_bytes = 0;  // all names with their NULs

    // Someone at a terminal may not know what the run waits for.
    if (isatty(fileno(input))) error_line("%s", terminal_hint);

    // First phase: standard input into the spool, which holds only names
    // that fit.
    bool any_nul = false, any_newline = false;
    while (!std::feof(input)) {
        const name_read name = read_one_name(input, buffer, "stdin", final_status);
        any_nul = any_nul || name.ended_by_nul;
        any_newline = any_newline || name.newline;
        if (name.length > longest_name) {
            report_skipped(buffer, name.length);
        } else if (name.length > 0) {
            ++file_count;
            name_bytes += name.length + 1;
            // The spool holds data, not lines for the user.
            if (std::fwrite(buffer, 1, name.length + 1, spool) != name.length + 1)
                spool_write_failed();
        }
        if (name.failed) break;
    }
    // The stream buffers its writes: a failure may only show when they reach the file.
    if (std::fflush(spool) != 0) spool_write_failed();
    // A list of lines, as find writes it without -print0, is one long name.
    if (any_newline && !any_nul) error_line("%s", newline_hint);

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
        const name_read name = read_one_name(spool, buffer, "tmpfile", final_status);
        size_t length = name.length + 1;
        // The spool holds only names that fit; one read back otherwise (after
        // a failed read, or a spool changed by someone else) becomes empty.
        if (name.length > longest_name || copied + length > name_bytes) {
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
