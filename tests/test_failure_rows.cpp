// Every way a run can fail, made to happen for real through the fault
// shim, in one table across all modes: the lines on standard error, the exit
// status, whether the run went on to the files after the failure, and what
// every run must leave: each listed name with its bytes (in delete mode each
// set of equal files with one name that holds them) and no temporary file,
// except the one that a failed removal of it names on standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "rewrite_fixtures.h"
#include "scratch_tree.h"
#include "tool_run.h"

namespace {

// A pattern that matches text exactly.
std::string lit(const std::string &text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// One or more copies of text: a comparison made more than once by the sort
// prints its lines each time.
std::string many(const std::string &text) {
    return "(?:" + lit(text) + ")+";
}

std::string zeros_between(size_t zeros, unsigned seed) {
    return dense_bytes(4096, seed) + std::string(zeros, '\0') + dense_bytes(4096, seed + 1);
}

// The tree of every row. The files under d/ are the ones the faults aim at;
// those under e/ are processed after them and show that the run went on.
struct fixture {
    scratch_dir dir;
    std::map<std::string, std::string> bytes;  // every file, by name

    fixture() {
        add("d/alpha", std::string(5000, 't'));
        add("d/beta", std::string(5000, 't'));
        add("e/gamma", std::string(3000, 'g'));
        add("e/delta", std::string(3000, 'g'));
        // beta older, so alpha is the name replaced by a link to beta.
        set_times(dir / "d/alpha", {2000000000, 0}, {2000000000, 0});
        set_times(dir / "d/beta", {1000000000, 0}, {1000000000, 0});
        add("d/victim", dense_bytes(70000, 3));
        add("e/bystander", dense_bytes(20000, 5));
        EXPECT_EQ(link((dir / "d/victim").c_str(), (dir / "d/twin").c_str()), 0);
        EXPECT_EQ(link((dir / "e/bystander").c_str(), (dir / "e/bytwin").c_str()), 0);
        add("d/holey", zeros_between(1 << 20, 7));
        add("e/spare", zeros_between(2 << 20, 9));
        add("d/dense", dense_bytes(8192, 11));
        write_holed_file(dir / "d/holed", 1 << 20);
        bytes["d/holed"] = read_file(dir / "d/holed");
    }
    void add(const std::string &name, const std::string &content) {
        write_file(dir / name, content);
        bytes[name] = content;
    }
};

enum class mode { link, remove, expand, sparse };

struct failure_row {
    const char *label;
    mode kind;
    std::vector<std::string> args;
    std::vector<std::string> listed;  // empty: the mode's usual names
    std::string faults;
    std::string err;  // pattern for the whole of standard error (normalised: TEMP)
    int status;
    bool went_on;     // the files under e/ were processed
    bool temp_named;  // the failed removal leaves one temporary file, named on standard error
    bool input_is_directory = false;  // standard input is a directory: its first read fails
};

std::vector<std::string> usual_names(mode kind) {
    switch (kind) {
        case mode::link:
        case mode::remove: return {"d/alpha", "d/beta", "e/gamma", "e/delta"};
        case mode::expand: return {"d/victim", "e/bystander"};
        case mode::sparse: return {"d/holey", "e/spare"};
    }
    return {};
}

// Whether two names reach one inode, through a symbolic link too.
bool one_inode(const fixture &f, const std::string &a, const std::string &b) {
    struct stat x {
    }, y{};
    return stat((f.dir / a).c_str(), &x) == 0 && stat((f.dir / b).c_str(), &y) == 0 &&
           same_file(x, y);
}

// Whether the files under e/ went through the mode's change.
bool bystanders_processed(const fixture &f, mode kind, blkcnt_t spare_blocks) {
    switch (kind) {
        case mode::link: return one_inode(f, "e/gamma", "e/delta");
        case mode::remove: return !exists(f.dir / "e/delta") && exists(f.dir / "e/gamma");
        case mode::expand: return !one_inode(f, "e/bystander", "e/bytwin");
        case mode::sparse: return status_of(f.dir / "e/spare").st_blocks < spare_blocks;
    }
    return false;
}

const std::string link_lines = "link(d/beta,d/alpha) failed\nlink: Too many links\n";

}  // namespace

TEST(FailureRows, EveryFailureKeepsEveryNameAndLeavesNoLitter) {
    const std::string eio = "Input/output error";
    const std::string out_of_memory = "twinfold: Out of memory\n";
    // Bytes of the four names' copies: the names with their NULs, one spare
    // byte each, and for the work list a 4-byte position each.
    const std::string name_copies = "calloc:" + std::to_string(31 + 4 + 16) + ",1:ENOMEM";
    const failure_row rows[] = {
        // The run's own steps and the intake.
        {"spool not created",
         mode::link,
         {},
         {},
         "tmpfile:*:EIO",
         lit("could not open temporary file, exiting\n"),
         255,
         false,
         false},
        {"spool not written",
         mode::link,
         {},
         {},
         "tmpfile:*:FULL",
         lit("could not write to temporary file, exiting\n"),
         255,
         false,
         false},
        {"spool not read back",
         mode::link,
         {},
         {},
         "tmpfile:*:WRONLY",
         many("tmpfile: error 1.\n") + many("lstat() failed\nlstat: No such file or directory\n"),
         255,
         false,
         false},
        {"standard input cannot be read",
         mode::link,
         {},
         {},
         "",
         lit("stdin: error 1.\n"),
         255,
         false,
         false,
         true},
        {"arrays not allocated",
         mode::link,
         {},
         {},
         "calloc:4,8:ENOMEM",
         lit(out_of_memory),
         255,
         false,
         false},
        {"copies of the names not allocated",
         mode::link,
         {},
         {},
         name_copies,
         lit(out_of_memory),
         1,
         false,
         false},
        // The sorts' scratch arrays: the name index's sort (which only the
        // delete pass reads), then the link pass's first sort, whose
        // comparisons print nothing; its failure line is printed all the same.
        {"no memory to sort the name index",
         mode::remove,
         {"-d"},
         {},
         "calloc:4,8:ENOMEM:2",
         lit("sort: Cannot allocate memory\n"),
         255,
         false,
         false},
        {"no memory for the silent sort of the list",
         mode::link,
         {},
         {},
         "calloc:4,8:ENOMEM:2",
         lit("sort: Cannot allocate memory\n"),
         255,
         false,
         false},
        {"unknown option: the run ends before the list is read",
         mode::link,
         {"-x"},
         {},
         "",
         lit("twinfold: invalid option -- 'x'\nTry 'twinfold -h' for help.\n"),
         1,
         false,
         false},
        {"memory not locked", mode::link, {}, {}, "mlockall:*:EPERM", "", 0, true, false},
        // Link mode.
        {"link: lstat",
         mode::link,
         {},
         {},
         "lstat:d/alpha:EIO",
         many("lstat(d/alpha) failed\nlstat: " + eio + "\n"),
         0,
         true,
         false},
        {"link: open", mode::link, {}, {}, "open:d/beta:EACCES", "", 0, true, false},
        {"link: read",
         mode::link,
         {},
         {},
         "read:d/alpha:EIO",
         many("file d/alpha: error 1.\n"),
         0,
         true,
         false},
        {"link: link", mode::link, {}, {}, "link:d/dup__:EMLINK", many(link_lines), 0, true, false},
        {"link: symlink",
         mode::link,
         {"-s"},
         {},
         "symlink:d/dup__:EACCES",
         many("symlink(d/beta,d/alpha) failed\nsymlink: Permission denied\n"),
         0,
         true,
         false},
        {"link: replacing the name",
         mode::link,
         {},
         {},
         "rename:d/alpha:EIO",
         many("unlink(d/alpha) failed\nunlink: " + eio + "\n"),
         0,
         true,
         false},
        // Delete mode.
        {"delete: lstat while comparing",
         mode::remove,
         {"-d"},
         {},
         "lstat:d/beta:EIO",
         many("lstat(d/beta) failed\nlstat: " + eio + "\n"),
         0,
         true,
         false},
        {"delete: open", mode::remove, {"-d"}, {}, "open:d/beta:EACCES", "", 0, true, false},
        {"delete: read",
         mode::remove,
         {"-d"},
         {},
         "read:d/beta:EIO",
         many("file d/beta: error 1.\n"),
         0,
         true,
         false},
        // Only the removal pass looks at a name by its whole path; its failure
        // ends the pass.
        {"delete: lstat before the removal",
         mode::remove,
         {"-d"},
         {},
         "lstat:/d/alpha:EIO",
         lit("lstat(d/alpha) failed\nlstat: " + eio + "\n"),
         0,
         false,
         false},
        {"delete: unlink",
         mode::remove,
         {"-d"},
         {},
         "unlink:d/alpha:EBUSY",
         lit("unlink(d/alpha) failed\nunlink: Device or resource busy\n"),
         0,
         true,
         false},
        // Hard-link expansion.
        {"expand: lstat",
         mode::expand,
         {"-i"},
         {},
         "lstat:d/victim:EIO",
         lit("lstat(d/victim) failed\nlstat: " + eio + "\n"),
         0,
         true,
         false},
        {"expand: temporary file",
         mode::expand,
         {"-i"},
         {},
         "mkstemp:d/dup__:EACCES",
         lit("Could not create temporary file.\nfile_create: Permission denied\n"),
         0,
         true,
         false},
        {"expand: open",
         mode::expand,
         {"-i"},
         {},
         "open:d/victim:EACCES",
         lit("Expanding the hard link(d/victim) failed.\nexpand: Permission denied\n"),
         0,
         true,
         false},
        {"expand: read",
         mode::expand,
         {"-i"},
         {},
         "read:d/victim:EIO",
         lit("file d/victim: error 1.\n"),
         0,
         true,
         false},
        {"expand: write",
         mode::expand,
         {"-i"},
         {},
         "write:d/dup__:ENOSPC",
         lit("file d/TEMP: error 1.\n"),
         0,
         true,
         false},
        {"expand: rename",
         mode::expand,
         {"-i"},
         {},
         "rename:d/victim:EBUSY",
         lit("rename(d/TEMP, d/victim) failed\nunlink: Device or resource busy\n"),
         0,
         true,
         false},
        // Sparse rewriting; d/holey is rewritten first, being the smaller.
        {"sparse: lstat",
         mode::sparse,
         {"-S"},
         {},
         "lstat:d/holey:EIO",
         many("lstat(d/holey) failed\nlstat: " + eio + "\n"),
         0,
         true,
         false},
        {"sparse: temporary file",
         mode::sparse,
         {"-S"},
         {},
         "mkstemp:d/dup__:EIO",
         lit("Could not create temporary file.\nmkstemp: " + eio + "\n"),
         0,
         true,
         false},
        {"sparse: open",
         mode::sparse,
         {"-S"},
         {},
         "open:d/holey:EACCES",
         lit("open(d/holey) failed\nopen: Permission denied\n"),
         0,
         true,
         false},
        {"sparse: read",
         mode::sparse,
         {"-S"},
         {},
         "read:d/holey:EIO",
         lit("read(d/holey) failed\nread: " + eio + "\n"),
         0,
         true,
         false},
        {"sparse: write",
         mode::sparse,
         {"-S"},
         {},
         "write:d/dup__:ENOSPC",
         lit("write(d/TEMP) failed\nwrite: No space left on device\n"),
         0,
         true,
         false},
        {"sparse: measuring the copy",
         mode::sparse,
         {"-S"},
         {},
         "fstat@twinfold:d/dup__:EIO:1",
         lit("lstat(d/TEMP) failed\nlstat: " + eio + "\n"),
         0,
         true,
         false},
        {"sparse: removing a copy without gain",
         mode::sparse,
         {"-S"},
         {"d/dense", "e/spare"},
         "unlink:d/dup__:EIO",
         lit("unlink(d/TEMP) failed\nunlink: " + eio + "\n"),
         0,
         true,
         true},
        {"sparse: removing a measured copy under -n",
         mode::sparse,
         {"-S", "-n"},
         {},
         "unlink:d/dup__:EIO",
         lit("unlink(d/TEMP) failed\nunlink: " + eio + "\n"),
         0,
         false,
         true},
        {"sparse: rename",
         mode::sparse,
         {"-S"},
         {},
         "rename:d/holey:EBUSY",
         lit("rename(d/TEMP, d/holey) failed\nunlink: Device or resource busy\n"),
         0,
         true,
         false},
        {"desparse: rename",
         mode::sparse,
         {"-S", "-i"},
         {"d/holed"},
         "rename:d/holed:EBUSY",
         lit("rename(d/TEMP, d/holed) failed\nunlink: Device or resource busy\n"),
         0,
         false,
         false},
    };
    for (const failure_row &row : rows) {
        SCOPED_TRACE(row.label);
        fixture f;
        const blkcnt_t spare_blocks = status_of(f.dir / "e/spare").st_blocks;
        const std::vector<std::string> names =
            row.listed.empty() ? usual_names(row.kind) : row.listed;
        tool_result result = run_tool(row.args, nul_list(names),
                                      {.cwd = f.dir.path,
                                       .faults = row.faults,
                                       .stdin_path = row.input_is_directory ? f.dir.path : "",
                                       .timeout_seconds = 60});
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(result.signal, 0);
        EXPECT_EQ(result.status, row.status);
        const std::string err = normalised(result.err);
        EXPECT_TRUE(std::regex_match(err, std::regex(row.err))) << err;
        EXPECT_EQ(bystanders_processed(f, row.kind, spare_blocks), row.went_on);

        // Every name keeps its bytes; in delete mode a removed name's bytes
        // are still held by another listed name.
        for (const auto &[name, content] : f.bytes) {
            if (exists(f.dir / name)) {
                EXPECT_EQ(read_file(f.dir / name), content) << name;
                continue;
            }
            ASSERT_EQ(row.kind, mode::remove) << name << " is gone";
            bool held = false;
            for (const std::string &other : names)
                held = held || (exists(f.dir / other) && read_file(f.dir / other) == content);
            EXPECT_TRUE(held) << "the bytes of " << name << " are gone";
        }
        const auto temps = temporary_files_under(f.dir.path);
        ASSERT_EQ(temps.size(), row.temp_named ? 1u : 0u);
        if (row.temp_named) {
            const std::string temp = temps[0].substr(f.dir.path.size() + 1);
            EXPECT_NE(result.err.find(temp), std::string::npos) << temp;
        }
    }
}
