#include "run/driver.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "compare/content_compare.h"
#include "compare/file_knowledge.h"
#include "compare/list_knowledge.h"
#include "compare/pass_context.h"
#include "compare/read_ahead.h"
#include "fs/dedupe_call.h"
#include "fs/file_picture.h"
#include "fs/settled_counts.h"
#include "fs/stamp_trust.h"
#include "merge/compare_and_link.h"
#include "merge/delete_mode.h"
#include "merge/name_index.h"
#include "merge/share_blocks.h"
#include "rewrite/expand_hard_link.h"
#include "rewrite/parked_copies.h"
#include "rewrite/resparse_file.h"
#include "run/entry_sort.h"
#include "run/intake.h"
#include "run/memory.h"
#include "run/pass_table.h"
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

// What the run keeps from pass to pass: what it knows of the listed files,
// the record of its own changes, and the blocks its comparisons read into.
struct run_records {
    list_knowledge known;
    own_change_log changes;
    std::unique_ptr<comparison_buffers> buffers{new comparison_buffers};
};

// The context of one pass. nodo: the pass acts on nothing (a read-only run,
// or an ordering for a later pass); picture: what a read-only pass acts on
// instead of the files (null: it sees the files as they are).
pass_context pass_over(run_records &records, bool nodo, file_picture *picture) {
    pass_context pass;
    pass.options = run_options;
    pass.options.nodo = nodo ? 1 : 0;
    pass.view.picture = picture;
    pass.stats = &run_stats;
    pass.known = file_knowledge_enabled ? &records.known : nullptr;
    pass.changes = &records.changes;
    pass.buffers = records.buffers.get();
    return pass;
}

void sort_work_list(pass_context &pass, pass_compare compare, compared_files which) {
    begin_comparison_pass(pass);
    read_ahead(pass, which);
    sort_entries(work_list, static_cast<size_t>(file_count), compare, pass);
}

// The link comparator acts on the pairs it finds equal, so the order is found
// first by comparisons that act on nothing and print nothing; the comparator
// that acts then meets equal files only as neighbours in that order, so each
// name of a set is linked once, to a file that already holds the others.
// A name replaced by a symbolic link takes the link's own size and leaves its
// place in the order, which would break such a chain at every replaced name:
// with soft links the sort acts while it compares, meeting more pairs.
void sort_for_linking(pass_context &pass) {
    if (pass.options.soft) {
        sort_work_list(pass, compare_and_link_in, compared_files::on_one_device);
        return;
    }
    {
        muted_output ordering_only;
        sort_work_list(pass, order_as_linked_in, compared_files::on_one_device);  // begins the pass
    }
    sort_nearly_sorted(work_list, static_cast<size_t>(file_count), compare_and_link_in, pass);
}

// Calls a comparator once more on every pair of neighbours, for the equal
// pairs that the sort never compared directly.
void scan_neighbours(pass_context &pass, pass_compare compare) {
    progress_step_begins(false, static_cast<uint64_t>(file_count));
    run_progress.done = 1;  // the first name, examined with the second
    for (int k = 0; k + 1 < file_count && !stop_requested(); ++k) {
        compare(pass, &work_list[k], &work_list[k + 1]);
        progress_name();
    }
}

// A step that takes each name once, in order.
void begin_walk() {
    progress_step_begins(false, static_cast<uint64_t>(file_count));
}

// A read-only pass acts on a picture of the files that starts as they are.
pass_context pass_as_asked(run_records &records, file_picture &picture) {
    return pass_over(records, run_options.nodo != 0, run_options.nodo ? &picture : nullptr);
}

void delete_pass(run_records &records) {
    file_picture picture;
    pass_context pass = pass_as_asked(records, picture);
    sort_work_list(pass, compare_and_mark_in, compared_files::on_any_device);
    scan_neighbours(pass, compare_and_mark_in);
    begin_walk();
    delete_marked_in(pass, file_count);
    if (stop_requested()) return;
    print_delete_summary();
    print_link_extremes();
    report_flush();
}

// The sparse pass takes the order that the link comparator finds while
// nothing is changed on disk, so that the names of one inode lie next to each
// other. As the link report of a read-only combined run, its lines are
// printed, also under -q, told of the files as they are: only then does it
// act on a picture. Otherwise its lines are not shown (its error lines are).
void order_as_linked_read_only(run_records &records, bool reporting) {
    file_picture picture;
    pass_context pass = pass_over(records, true, reporting ? &picture : nullptr);
    quiet_lines lines(!reporting);
    sort_for_linking(pass);
}

void link_pass(run_records &records) {
    reset_stats();
    file_picture picture;
    pass_context pass = pass_as_asked(records, picture);
    sort_for_linking(pass);
    if (stop_requested()) return;
    report("Scanning for more dups ...\n");
    scan_neighbours(pass, compare_and_link_in);
    if (stop_requested()) return;
    print_link_summary();
    print_link_extremes();
    report_flush();
}

void expansion_pass(run_records &records) {
    reset_stats();
    file_picture picture;
    pass_context pass = pass_as_asked(records, picture);
    report("Scanning for hard links ...\n");
    begin_walk();
    for (int k = 0; k < file_count && !stop_requested(); ++k) {
        expand_hard_link_in(pass, &work_list[k]);
        progress_name();
    }
    if (stop_requested()) return;
    print_link_summary();
    print_link_extremes();
    report_flush();
}

// Block sharing: the order the link pass finds, silently; then every pair of
// neighbours once more (and any pair a merge of runs meets), noting the equal
// ones; then each set of equal files shares the blocks of one of them. No
// name changes: a read-only run needs no picture of names.
void share_pass(run_records &records) {
    reset_stats();
    pass_context pass = pass_over(records, run_options.nodo != 0, nullptr);
    begin_noting_shares();
    {
        muted_output ordering_only;
        sort_work_list(pass, order_as_linked_in, compared_files::on_one_device);
    }
    sort_nearly_sorted(work_list, static_cast<size_t>(file_count), compare_and_share_in, pass);
    if (stop_requested()) return;
    const share_totals totals = share_noted_sets(pass);
    if (stop_requested()) return;
    print_share_summary(totals);
    report_flush();
}

// Of a run of neighbours that lie on one inode only the last is rewritten.
// The sparse pass always sees the files as they are.
void sparse_pass(run_records &records, unsigned char sparsing) {
    reset_stats();
    pass_context pass = pass_over(records, run_options.nodo != 0, nullptr);
    begin_walk();
    for (int k = 0; k < file_count && !stop_requested(); ++k) {
        if (k == file_count - 1 || differs_in_inode(&work_list[k], &work_list[k + 1]))
            resparse_file_in(pass, &work_list[k], sparsing);
        progress_name();
    }
    // Copies still waiting for their counts to settle are finished, or
    // removed when the run was asked to stop.
    settle_parked_copies();
    if (stop_requested()) return;
    print_sparse_summary();
    report_flush();
}

// A signal asked the run to stop: the routine that met the request returned
// without doing anything, and the run ends here, before any further line.
void end_if_interrupted() {
    if (stop_requested()) std::exit(0);
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

void run_pass(run_records &records, pass_kind pass) {
    switch (pass) {
        case pass_kind::sparse_ordering: order_as_linked_read_only(records, false); break;
        case pass_kind::link_report: order_as_linked_read_only(records, true); break;
        case pass_kind::link: link_pass(records); break;
        case pass_kind::expansion: expansion_pass(records); break;
        case pass_kind::sparse: sparse_pass(records, 1); break;
        case pass_kind::desparse: sparse_pass(records, 0); break;
        case pass_kind::deletion: delete_pass(records); break;
        case pass_kind::share: share_pass(records); break;
    }
}

[[noreturn]] void run_passes(bool delete_mode, int final_status) {
    const pass_plan plan = plan_passes(run_options, delete_mode);
    run_records records;
    for (const pass_kind pass : plan.passes) {
        progress_pass_begins(pass_label(pass), copies_bytes(pass));
        begin_settling_pass();
        run_pass(records, pass);
        progress_pass_ends();
        end_if_interrupted();
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

// Ctrl-T sends SIGINFO where the system has it, and the base tools answer it
// with a status line; elsewhere SIGUSR1 asks for one, as GNU dd takes it.
#ifdef SIGINFO
constexpr int status_signal = SIGINFO;
#else
constexpr int status_signal = SIGUSR1;
#endif

void catch_signal(int signal_number, siginfo_t *info, void *) {
    if (signal_number == status_signal) {
        request_status_line();
        return;
    }
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
    // The complaint about an unknown option is the run's own, in the same
    // words whichever C library parses: getopt stays silent.
    opterr = 0;
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
                // A mistyped option may be one letter away from another mode
                // (--verbose holds an s), so the run ends before it reads or
                // changes anything.
                error_line("twinfold: invalid option -- '%c'\n", optopt);
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
    // Only the delete pass looks names up in the index: the other passes
    // never read it, and its sort would only cost their time.
    if (delete_mode) sort_entries(name_index, static_cast<size_t>(file_count), compare_names);
    end_if_interrupted();
    run_passes(delete_mode != 0, final_status);
}
