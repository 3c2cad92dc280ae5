// Fuzz target: any byte stream on standard input becomes the file list that a
// small independent model of the name rule predicts. The model: names are the
// maximal runs of bytes between NULs (or the ends of the input); a run of more
// than 1023 bytes is no name, and draws one line on standard error that gives
// its length and its first 40 bytes; empty runs are skipped. Every stored
// name must equal its run, in input order, with work_list and name_index
// holding the same names, every entry its own copy, and every mark 0; the
// spool must hold exactly the stored names, each with its NUL; and standard
// error must hold the skip lines in order, plus the hint about lines when the
// input holds newlines but no NUL.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/intake.h"
#include "state/run_state.h"

namespace {

constexpr size_t longest_name = 1023;

struct model {
    std::vector<std::string> names;
    std::vector<std::string> skipped;  // the runs too long to be names
    bool newline_hint = false;
};

model expected(const uint8_t *data, size_t size) {
    model m;
    const bool any_nul = std::memchr(data, 0, size) != nullptr;
    const bool any_newline = std::memchr(data, '\n', size) != nullptr;
    m.newline_hint = any_newline && !any_nul;
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != 0) ++end;
        std::string run(reinterpret_cast<const char *>(data + start), end - start);
        if (run.size() > longest_name)
            m.skipped.push_back(run);
        else if (!run.empty())
            m.names.push_back(run);
        start = end + 1;
    }
    return m;
}

[[noreturn]] void fail(const char *what, size_t index) {
    std::fprintf(stderr, "intake fuzz: %s (name %zu)\n", what, index);
    std::abort();
}

// Undoes the escapes of a skip line's shown bytes; false for text that is
// not plain printable ASCII with well-formed escapes.
bool unescape(const std::string &shown, std::string &bytes) {
    bytes.clear();
    for (size_t i = 0; i < shown.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(shown[i]);
        if (c < 0x20 || c > 0x7e) return false;
        if (c != '\\') {
            bytes += static_cast<char>(c);
            continue;
        }
        if (++i == shown.size()) return false;
        switch (shown[i]) {
            case '\\': bytes += '\\'; break;
            case 'n': bytes += '\n'; break;
            case 't': bytes += '\t'; break;
            default: {
                if (i + 2 >= shown.size()) return false;
                int value = 0;
                for (int k = 0; k < 3; ++k, ++i) {
                    if (shown[i] < '0' || shown[i] > '7') return false;
                    value = value * 8 + (shown[i] - '0');
                }
                --i;
                if (value > 255) return false;
                bytes += static_cast<char>(value);
            }
        }
    }
    return true;
}

// Standard error as the model predicts it, read line by line.
void check_messages(const model &m, const std::string &err) {
    size_t at = 0;
    for (size_t k = 0; k < m.skipped.size(); ++k) {
        const std::string head = "stdin: name of " + std::to_string(m.skipped[k].size()) +
                                 " bytes skipped (longer than 1023): ";
        const size_t end = err.find('\n', at);
        if (end == std::string::npos) fail("skip line missing", k);
        const std::string line = err.substr(at, end - at);
        at = end + 1;
        if (line.compare(0, head.size(), head) != 0) fail("skip line starts wrong", k);
        if (line.size() < head.size() + 3 || line.compare(line.size() - 3, 3, "...") != 0)
            fail("skip line does not end with ...", k);
        std::string shown;
        if (!unescape(line.substr(head.size(), line.size() - head.size() - 3), shown))
            fail("skip line holds a byte that is not plain text", k);
        if (shown != m.skipped[k].substr(0, 40)) fail("skip line shows other bytes", k);
    }
    const std::string hint =
        m.newline_hint
            ? "stdin: newlines but no NUL byte: names end with a NUL byte (use find -print0)\n"
            : "";
    if (err.substr(at) != hint) fail("standard error holds other lines", 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    run_options.quiet = 1;  // no "Input:" line for every input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const model want = expected(data, size);
    // Without a single name the intake ends the process, as a run must; that
    // path is shown by the intake's own tests.
    if (want.names.empty()) return 0;

    std::vector<char> input_bytes(data, data + size);
    FILE *input = fmemopen(input_bytes.data(), input_bytes.size(), "r");
    // The spool holds every name with its NUL: never more than the input and
    // one NUL for a last name without one.
    std::vector<char> spool_bytes(size + 2, '\x7f');
    FILE *spool = fmemopen(spool_bytes.data(), spool_bytes.size(), "w+");
    if (!input || !spool) fail("fmemopen failed", 0);

    // The intake's lines go to a buffer through the stream stderr (the
    // sanitizers still write to descriptor 2, so their reports are seen).
    char *message_text = nullptr;
    size_t message_length = 0;
    FILE *messages = open_memstream(&message_text, &message_length);
    if (!messages) fail("open_memstream failed", 0);
    FILE *const saved_stderr = stderr;
    stderr = messages;

    int final_status = 0;
    read_name_list(input, spool, final_status, "twinfold");
    std::fclose(input);

    stderr = saved_stderr;
    std::fclose(messages);
    const std::string err(message_text, message_length);
    std::free(message_text);
    check_messages(want, err);

    if (final_status != 0) fail("final_status set without a read error", 0);
    if (file_count < 0 || static_cast<size_t>(file_count) != want.names.size())
        fail("name count differs from the model", static_cast<size_t>(file_count));
    std::string spooled;
    for (size_t i = 0; i < want.names.size(); ++i) {
        const char *work = work_list[i];
        const char *index = name_index[i];
        if (!work || !index) fail("missing copy", i);
        if (want.names[i] != work) fail("work_list name differs from the model", i);
        if (want.names[i] != index) fail("name_index name differs from the model", i);
        if (delete_marks[i] != 0) fail("mark not 0", i);
        spooled += want.names[i];
        spooled += '\0';
    }
    // The spool held the names that fit and nothing else.
    if (std::string(spool_bytes.data(), spooled.size()) != spooled)
        fail("spool differs from the names", 0);
    if (spool_bytes[spooled.size()] != '\0' && spool_bytes[spooled.size()] != '\x7f')
        fail("spool holds more than the names", 0);
    // Overwriting every entry's name must leave every other name whole.
    for (size_t i = 0; i < want.names.size(); ++i)
        std::memset(work_list[i], '#', want.names[i].size());
    for (size_t i = 0; i < want.names.size(); ++i)
        if (std::string(work_list[i]) != std::string(want.names[i].size(), '#'))
            fail("names overlap", i);

    discard_name_list();
    return 0;
}
