// Fuzz target: any byte stream on standard input becomes the file list that a
// small independent model of the name rule predicts. The model: names are the
// maximal runs of bytes between NULs (or the ends of the input); a run is cut
// into pieces of at most 1023 bytes, the byte after each full piece being
// lost; empty names are skipped. Every stored name must equal its piece, in
// input order, at most 1023 bytes long, with work_list and name_index holding
// the same names, every entry its own copy, and every mark 0.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "run/intake.h"
#include "run/run_state.h"

namespace {

constexpr size_t longest_name = 1023;

std::vector<std::string> expected_names(const uint8_t *data, size_t size) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && data[end] != 0) ++end;
        // The run [start, end): a piece, a lost byte, a piece, ...
        for (size_t at = start; at < end; at += longest_name + 1) {
            size_t length = end - at < longest_name ? end - at : longest_name;
            names.emplace_back(reinterpret_cast<const char *>(data + at), length);
        }
        start = end + 1;
    }
    return names;
}

[[noreturn]] void fail(const char *what, size_t index) {
    std::fprintf(stderr, "intake fuzz: %s (name %zu)\n", what, index);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    run_options.quiet = 1;  // no "Input:" line for every input
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::vector<std::string> want = expected_names(data, size);
    // Without a single name the intake ends the process, as a run must; that
    // path is shown by the intake's own tests.
    if (want.empty()) return 0;

    std::vector<char> input_bytes(data, data + size);
    FILE *input = fmemopen(input_bytes.data(), input_bytes.size(), "r");
    // The spool holds every name with its NUL: never more than the input and
    // one NUL for a last name without one.
    std::vector<char> spool_bytes(size + 2);
    FILE *spool = fmemopen(spool_bytes.data(), spool_bytes.size(), "w+");
    if (!input || !spool) fail("fmemopen failed", 0);

    int final_status = 0;
    read_name_list(input, spool, final_status, "twinfold");
    std::fclose(input);

    if (final_status != 0) fail("final_status set without a read error", 0);
    if (file_count < 0 || static_cast<size_t>(file_count) != want.size())
        fail("name count differs from the model", static_cast<size_t>(file_count));
    for (size_t i = 0; i < want.size(); ++i) {
        const char *work = work_list[i];
        const char *index = name_index[i];
        if (!work || !index) fail("missing copy", i);
        if (std::strlen(work) > longest_name || std::strlen(index) > longest_name)
            fail("name longer than 1023 bytes", i);
        if (want[i] != work) fail("work_list name differs from the model", i);
        if (want[i] != index) fail("name_index name differs from the model", i);
        if (delete_marks[i] != 0) fail("mark not 0", i);
    }
    // Overwriting every entry's name must leave every other name whole.
    for (size_t i = 0; i < want.size(); ++i)
        std::memset(work_list[i], '#', want[i].size());
    for (size_t i = 0; i < want.size(); ++i)
        if (std::string(work_list[i]) != std::string(want[i].size(), '#')) fail("names overlap", i);

    discard_name_list();
    return 0;
}
