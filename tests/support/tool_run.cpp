#include "tool_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace {

void set_nonblocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// The file that a command name leads to through the test's own PATH.
std::string found_in_path(const std::string &command) {
    if (command.find('/') != std::string::npos) return command;
    const char *path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos) end = directories.size();
        std::string candidate = directories.substr(start, end - start) + "/" + command;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return command;
}

}  // namespace

std::string tool_binary(const std::string &built) {
    const char *directory = std::getenv("TWINFOLD_TOOL_DIR");
    if (!directory || !*directory) return built;
    // Only the programs this build makes have a twin in that directory.
    if (built != TWINFOLD_BINARY && built != TWINFOLD_PLAIN_BINARY) return built;
    return std::string(directory) + built.substr(built.rfind('/'));
}

std::vector<std::string> tool_wrapper() {
    std::vector<std::string> words;
    const char *text = std::getenv("TWINFOLD_TOOL_WRAPPER");
    if (!text) return words;
    std::string word;
    for (const char *c = text;; ++c) {
        if (*c == '\0' || *c == ' ' || *c == '\t') {
            if (!word.empty()) words.push_back(word);
            word.clear();
            if (*c == '\0') break;
        } else {
            word += *c;
        }
    }
    return words;
}

std::vector<std::string> inherited_environment() {
    std::vector<std::string> env_strings;
    for (char **e = environ; *e; ++e) {
        if (std::strncmp(*e, "TWINFOLD_", 9) == 0 || std::strncmp(*e, "LD_PRELOAD=", 11) == 0 ||
            std::strncmp(*e, "ASAN_OPTIONS=", 13) == 0)
            continue;
        env_strings.emplace_back(*e);
    }
    return env_strings;
}

tool_result run_tool(const std::vector<std::string> &args, const std::string &input,
                     const tool_options &options) {
    std::vector<std::string> env_strings = inherited_environment();
    std::string asan = "ASAN_OPTIONS=detect_leaks=0";
    if (!options.faults.empty() || !options.hooks.empty() || options.whole_second_stamps ||
        !options.child_log.empty() || options.late_blocks_seconds > 0) {
        env_strings.push_back(std::string("LD_PRELOAD=") + FAULT_SHIM);
        asan += ":verify_asan_link_order=0";
        if (!options.faults.empty()) env_strings.push_back("TWINFOLD_FAULTS=" + options.faults);
        if (!options.hooks.empty()) env_strings.push_back("TWINFOLD_HOOKS=" + options.hooks);
        if (options.whole_second_stamps) env_strings.push_back("TWINFOLD_STAMPS=seconds");
        if (options.late_blocks_seconds > 0)
            env_strings.push_back("TWINFOLD_LATE_BLOCKS=" +
                                  std::to_string(options.late_blocks_seconds));
        if (!options.child_log.empty())
            env_strings.push_back("TWINFOLD_CHILD_LOG=" + options.child_log);
    }
    env_strings.push_back(asan);
    for (const auto &e : options.env) env_strings.push_back(e);

    // Under a wrapper the binary is found through PATH, from its own directory.
    const std::vector<std::string> wrapper =
        options.unwrapped ? std::vector<std::string>() : tool_wrapper();
    const std::string tool = tool_binary(options.binary.empty() ? TWINFOLD_BINARY : options.binary);
    std::string program = tool;
    std::vector<std::string> arg_strings{options.program_name.empty() ? std::string("twinfold")
                                                                      : options.program_name};
    if (!wrapper.empty()) {
        std::string binary = tool;
        std::string directory = binary.substr(0, binary.rfind('/'));
        bool path_set = false;
        for (auto &e : env_strings) {
            if (e.rfind("PATH=", 0) == 0) {
                e = "PATH=" + directory + ":" + e.substr(5);
                path_set = true;
            }
        }
        if (!path_set) env_strings.push_back("PATH=" + directory + ":/usr/bin:/bin");
        program = found_in_path(wrapper[0]);
        arg_strings = wrapper;
        arg_strings.push_back(binary.substr(binary.rfind('/') + 1));
    }
    arg_strings.insert(arg_strings.end(), args.begin(), args.end());
    const int timeout_seconds =
        options.timeout_seconds * (wrapper.empty() ? 1 : tool_wrapper_slowdown);

    std::vector<char *> envp;
    for (auto &e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char *> argv;
    for (auto &a : arg_strings) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Looked up before the fork: the child only makes system calls.
    uid_t user_id = 0;
    gid_t group_id = 0;
    if (!options.user.empty()) {
        const passwd *entry = getpwnam(options.user.c_str());
        if (!entry) {
            tool_result unknown;
            unknown.err = "no user " + options.user;
            return unknown;
        }
        user_id = entry->pw_uid;
        group_id = entry->pw_gid;
    }

    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        return {};
    pid_t child = fork();
    if (child == 0) {
        if (!options.stdin_path.empty()) {
            int fd = open(options.stdin_path.c_str(), O_RDONLY);
            dup2(fd, 0);
        } else {
            dup2(in_pipe[0], 0);
        }
        dup2(out_pipe[1], 1);
        dup2(options.shared_pipe ? out_pipe[1] : err_pipe[1], 2);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        if (options.memlock_limit >= 0) {
            const rlimit limit{static_cast<rlim_t>(options.memlock_limit),
                               static_cast<rlim_t>(options.memlock_limit)};
            if (setrlimit(RLIMIT_MEMLOCK, &limit) != 0) _exit(125);
        }
        if (options.files_limit >= 0) {
            const rlimit limit{static_cast<rlim_t>(options.files_limit),
                               static_cast<rlim_t>(options.files_limit)};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
        }
        if (!options.user.empty() &&
            (setgroups(0, nullptr) != 0 || setgid(group_id) != 0 || setuid(user_id) != 0))
            _exit(125);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (!options.stdin_path.empty()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
    }
    set_nonblocking(out_pipe[0]);
    set_nonblocking(err_pipe[0]);
    if (in_pipe[1] >= 0) set_nonblocking(in_pipe[1]);

    tool_result result;
    size_t written = 0;
    bool out_open = true, err_open = true;
    const double deadline = now_seconds() + timeout_seconds;
    signal(SIGPIPE, SIG_IGN);
    while (out_open || err_open) {
        if (in_pipe[1] >= 0 && written == input.size()) {
            close(in_pipe[1]);
            in_pipe[1] = -1;
        }
        pollfd fds[3];
        int n = 0;
        if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
        if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
        if (in_pipe[1] >= 0) fds[n++] = {in_pipe[1], POLLOUT, 0};
        double left = deadline - now_seconds();
        if (left <= 0) {
            result.timed_out = true;
            kill(child, SIGKILL);
            break;
        }
        if (poll(fds, n, static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == in_pipe[1]) {
                ssize_t w = write(in_pipe[1], input.data() + written, input.size() - written);
                if (w > 0)
                    written += static_cast<size_t>(w);
                else if (w < 0 && errno != EAGAIN) {
                    close(in_pipe[1]);
                    in_pipe[1] = -1;
                }
                continue;
            }
            char buffer[65536];
            ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
            std::string &sink = fds[i].fd == out_pipe[0] ? result.out : result.err;
            if (r > 0)
                sink.append(buffer, static_cast<size_t>(r));
            else if (r == 0 || errno != EAGAIN) {
                if (fds[i].fd == out_pipe[0])
                    out_open = false;
                else
                    err_open = false;
            }
        }
    }
    if (in_pipe[1] >= 0) close(in_pipe[1]);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::string rewrite_in_place_command(const std::string &path, size_t offset, unsigned char byte) {
    char octal[8];
    std::snprintf(octal, sizeof octal, "\\%03o", byte);
    const std::string quoted = "'" + path + "'";
    // The times are kept on a file of their own outside the tree meanwhile.
    return "t=$(mktemp) && touch -r " + quoted + " \"$t\" && printf '" + octal +
           "' | dd of=" + quoted + " bs=1 seek=" + std::to_string(offset) +
           " count=1 conv=notrunc status=none && touch -m -r \"$t\" " + quoted + " && rm -f \"$t\"";
}

std::string nul_list(const std::vector<std::string> &names) {
    std::string out;
    for (const auto &n : names) {
        out += n;
        out += '\0';
    }
    return out;
}

std::string without_preamble(const std::string &out) {
    std::string kept;
    for (const auto &line : lines_of(out)) {
        if (line.find(" started at ") != std::string::npos) continue;
        if (line.rfind("tmpfile (pointer ", 0) == 0) continue;
        kept += line;
        kept += '\n';
    }
    return kept;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
