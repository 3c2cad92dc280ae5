#include "run/driver.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "compare/file_knowledge.h"
#include "fs/dedupe_call.h"
#include "fs/file_picture.h"
#include "merge/compare_and_link.h"
#include "merge/delete_mode.h"
#include "merge/name_index.h"
#include "rewrite/expand_hard_link.h"
#include "rewrite/resparse_file.h"
#include "run/entry_sort.h"
#include "run/intake.h"
#include "run/memory.h"
#include "run/pass_table.h"
#include "run/share_pass.h"
#include "run/summaries.h"
#include "state/output.h"
#include "state/run_state.h"

namespace {

constexpr double version = 1.73;

const char *const help_texts[] = {
    "This program can reclaim disk space by linking identical files together.\n",
    "It can also expand all hard links and reads the list of files from standard input.\n",
    "Example usage: find ./ -type f -print0 | twinfold 2>&1 | tee ../twinfold_log.txt\n",
    "Options:\n-h \t Show this help and exit.\n-V \t Show version number and exit.\n",
    "-d \t delete multiple files and hard links. Default: Preserve the alphabetically first file "
    "name.\n",
    "-q \t Quiet mode.\n-n \t Nodo mode / read-only mode.\n",
    "-i \t Inverse switch: Expand all hard links in normal mode, replace files by their desparsed "
    "version if it is bigger.\n",
    "-s \t Flag for soft linking (default is hard linking). This option is beta because for "
    "linking "
    "of all ",
    "equal files more than one run of twinfold is necessary and the inverse (expanding of soft "
    "links) "
    "is untested.\n",
    "-S \t Flag for Sparse mode: Replace files by their sparse version if it is smaller.\n",
    "-c \t Combo mode: Default mode +sparse mode. With -i it means inverse mode with unlinking and "
    "desparsing.\n",
    "-B \t Block sharing: equal files share their disk blocks instead of being linked (Linux "
    "FIDEDUPERANGE); each keeps its own inode, owner, mode and times.\n",
};

void sort_work_list(entry_compare compare) {
    begin_comparison_pass();
    examine_listed_names();
    sort_entries(work_list, static_cast<size_t>(file_count), compare);
}

// The link comparator acts on the pairs it finds equal, so the order is found
// first by comparisons that act on nothing and print nothing; the comparator
// that acts then meets equal files only as neighbours in that order, so each
// name of a set is linked once, to a file that already holds the others.
// A name replaced by a symbolic link takes the link's own size and leaves its
// place in the order, which would break such a chain at every replaced name:
// with soft links the sort acts while it compares, meeting more pairs.
void sort_for_linking() {
    if (run_options.soft) {
        sort_work_list(compare_and_link);
        return;
    }
    {
        muted_output ordering_only;
        sort_work_list(order_as_linked);  // begins the pass
    }
    sort_nearly_sorted(work_list, static_cast<size_t>(file_count), compare_and_link);
}

// Calls a comparator once more on every pair of neighbours, for the equal
// pairs that the sort never compared directly.
void scan_neighbours(entry_compare compare) {
    progress_step_begins(false, static_cast<uint64_t>(file_count));
    run_progress.done = 1;  // the first name, examined with the second
    for (int k = 0; k + 1 < file_count; ++k) {
        compare(&work_list[k], &work_list[k + 1]);
        progress_name();
    }
}

// A step that takes each name once, in order.
void begin_walk() {
    progress_step_begins(false, static_cast<uint64_t>(file_count));
}

// A read-only pass acts on a picture of the files that starts as they are.
void begin_pass_picture() {
    if (run_options.nodo)
        begin_picture();
    else
        end_picture();
}

void delete_pass() {
    begin_pass_picture();
    sort_work_list(compare_and_mark);
    scan_neighbours(compare_and_mark);
    begin_walk();
    delete_marked(file_count);
    print_delete_summary();
    print_link_extremes();
    report_flush();
}

// The sparse pass takes the order that the link comparator finds while
// nothing is changed on disk, so that the names of one inode lie next to each
// other. As the link report of a read-only combined run, its lines are
// printed, told of the files as they are: only then does it act on a picture.
void order_as_linked_read_only(bool reporting) {
    const int saved_nodo = run_options.nodo;
    const int saved_quiet = run_options.quiet;
    if (reporting)
        begin_picture();
    else
        end_picture();
    run_options.nodo = 1;
    run_options.quiet = reporting ? 0 : 1;
    sort_for_linking();
    run_options.nodo = saved_nodo;
    run_options.quiet = saved_quiet;
    end_picture();
}

void link_pass() {
    reset_stats();
    begin_pass_picture();
    sort_for_linking();
    report("Scanning for more dups ...\n");
    scan_neighbours(compare_and_link);
    print_link_summary();
    print_link_extremes();
    report_flush();
    end_picture();
}

void expansion_pass() {
    reset_stats();
    begin_pass_picture();
    report("Scanning for hard links ...\n");
    begin_walk();
    for (int k = 0; k < file_count; ++k) {
        expand_hard_link(&work_list[k]);
        progress_name();
    }
    print_link_summary();
    print_link_extremes();
    report_flush();
    end_picture();
}

// Of a run of neighbours that lie on one inode only the last is rewritten.
void sparse_pass(unsigned char sparsing) {
    reset_stats();
    begin_walk();
    for (int k = 0; k < file_count; ++k) {
        if (k == file_count - 1 || differs_in_inode(&work_list[k], &work_list[k + 1]))
            resparse_file(&work_list[k], sparsing);
        progress_name();
    }
    print_sparse_summary();
    report_flush();
}

// The pass as the progress line names it, and whether it copies its bytes.
const char *pass_label(pass_kind pass) {
    switch (pass) {
        case pass_kind::sparse_ordering: return "sparse pass (ordering)";
        case pass_kind::link_report: return "link report";
        case pass_kind::link: return "link pass";
        case pass_kind::expansion: return "expansion pass";
        case pass_kind::sparse: return "sparse pass";
        case pass_kind::desparse: return "desparse pass";
        case pass_kind::deletion: return "delete pass";
        case pass_kind::share: return "share pass";
    }
    return "pass";
}

bool copies_bytes(pass_kind pass) {
    return pass == pass_kind::expansion || pass == pass_kind::sparse || pass == pass_kind::desparse;
}

void run_pass(pass_kind pass) {
    switch (pass) {
        case pass_kind::sparse_ordering: order_as_linked_read_only(false); break;
        case pass_kind::link_report: order_as_linked_read_only(true); break;
        case pass_kind::link: link_pass(); break;
        case pass_kind::expansion: expansion_pass(); break;
        case pass_kind::sparse: sparse_pass(1); break;
        case pass_kind::desparse: sparse_pass(0); break;
        case pass_kind::deletion: delete_pass(); break;
        case pass_kind::share: share_pass(); break;
    }
}

[[noreturn]] void run_passes(bool delete_mode, int final_status) {
    const pass_plan plan = plan_passes(run_options, delete_mode);
    for (const pass_kind pass : plan.passes) {
        progress_pass_begins(pass_label(pass), copies_bytes(pass));
        run_pass(pass);
        progress_pass_ends();
    }
    std::exit(plan.exit == exit_rule::final_status ? final_status : 0);
}

// Whether a signal came from kill, sigqueue or a kill aimed at one thread,
// rather than from the kernel on a fault of the process itself.
bool sent_by_a_process(const siginfo_t *info) {
    if (!info) return true;
#ifdef SI_TKILL
    if (info->si_code == SI_TKILL) return true;
#endif
#ifdef SI_LWP
    if (info->si_code == SI_LWP) return true;
#endif
    return info->si_code == SI_USER || info->si_code == SI_QUEUE;
}

bool is_fault_signal(int signal_number) {
    return signal_number == SIGSEGV || signal_number == SIGILL || signal_number == SIGBUS ||
           signal_number == SIGFPE;
}

void catch_signal(int signal_number, siginfo_t *info, void *) {
    // A fault raised by the process itself cannot be stepped over: returning
    // would run the faulting instruction again, forever. With the default
    // action restored, that repeated fault ends the process.
    if (is_fault_signal(signal_number) && !sent_by_a_process(info)) {
        signal(signal_number, SIG_DFL);
        return;
    }
    signal_catcher(signal_number);
}

// glibc's getopt moves options found after other arguments to the front
// unless the option string starts with '+'; BSD's stops at the first
// non-option by itself and would take the '+' for an option letter.
#ifdef __GLIBC__
constexpr char option_letters[] = "+BcdhinqsSV";
#else
constexpr char option_letters[] = "BcdhinqsSV";
#endif

// Block sharing gives every name its own inode, which -s and -i would
// undo or contradict; and it runs only where the kernel compares the bytes
// before sharing them.
void refuse_sharing_where_it_cannot_run() {
    const char *other = run_options.soft ? "-s" : run_options.inverse ? "-i" : nullptr;
    if (other)
        error_line(
            "twinfold: -B shares blocks between files that keep their own names and "
            "inodes; it cannot be combined with %s\n",
            other);
    else if (!block_sharing_available)
        error_line(
            "twinfold: -B needs Linux's compare-and-share call (FIDEDUPERANGE), which this "
            "system does not have\n");
    else
        return;
    error_line("Try 'twinfold -h' for help.\n");
    std::exit(1);
}

}  // namespace

void start_banner(const char *program_name, const struct tm &when) {
    char stamp[64];
    if (std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &when) == 0) stamp[0] = '\0';
    report("%s started at %s\n", program_name, stamp);
}

void signal_catcher(int signal_number) {
    if (signal_number >= 0 && signal_number <= 15 && ((0x8a14 >> signal_number) & 1))
        interrupted = 1;
}

void install_signal_catcher() {
    struct sigaction action {};
    action.sa_sigaction = catch_signal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal_number = 0; signal_number < 256; ++signal_number)
        sigaction(signal_number, &action, nullptr);  // numbers that cannot be caught just fail
}

int parse_options(int argc, char **argv) {
    int delete_mode = 0;
    int option;
    while ((option = getopt(argc, argv, option_letters)) != -1) {
        switch (option) {
            case 'B': run_options.share = true; break;
            case 'c': run_options.combo = true; break;
            case 'd': delete_mode = 1; break;
            case 'h':
                for (const char *text : help_texts) report_always("%s", text);
                report_flush();
                std::exit(0);
            case 'i': run_options.inverse = true; break;
            case 'n': run_options.nodo = 1; break;
            case 'q': run_options.quiet = 1; break;
            case 's': run_options.soft = 1; break;
            case 'S': run_options.sparse = true; break;
            case 'V':
                report_always("twinfold version %1.2f\n", version);
                report_flush();
                std::exit(0);
            default:
                // getopt has complained on standard error: that line is the C
                // library's own, written by getopt itself, the one line that
                // does not go through the output module. A mistyped option may
                // be one letter away from another mode (--verbose holds an s),
                // so the run ends before it reads or changes anything.
                error_line("Try 'twinfold -h' for help.\n");
                std::exit(1);
        }
    }
    // Parsing stops at the first argument that is not an option; the names
    // come from standard input, so arguments are ignored. An option after
    // one (as in "twinfold . -n") would be ignored too, and the run would act
    // where the user asked for a report: it ends the run instead.
    for (int i = optind; i < argc; ++i) {
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            error_line("twinfold: option '%s' after an argument is not read\n", argv[i]);
            error_line("Try 'twinfold -h' for help.\n");
            std::exit(1);
        }
    }
    // -d takes precedence over every other mode; without it, -B is checked
    // before anything is read.
    if (run_options.share && !delete_mode) refuse_sharing_where_it_cannot_run();
    return delete_mode;
}

void run_twinfold(int argc, char **argv) {
    std::time_t now = std::time(nullptr);
    struct tm when {};
    localtime_r(&now, &when);

    // Compared over 8 bytes so that the terminating NUL takes part.
    if (argc >= 2 && std::strncmp(argv[1], "-advice", 8) == 0) {
        report_always("Don't Panic!\n");
        std::exit(42);
    }

    const int delete_mode = parse_options(argc, argv);
    progress_setup();
    start_banner(argv[0], when);
    lock_memory();

    FILE *spool = std::tmpfile();
    if (!spool) {
        error_line("could not open temporary file, exiting\n");
        std::exit(-1);
    }
    report("tmpfile (pointer %p) created, processing ...\n", static_cast<void *>(spool));

    int final_status = 0;
    read_name_list(stdin, spool, final_status, argv[0]);
    install_signal_catcher();
    sort_entries(name_index, static_cast<size_t>(file_count), compare_names);
    run_passes(delete_mode != 0, final_status);
}
