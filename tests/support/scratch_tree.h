// A fresh directory per test, and small helpers to build and inspect trees.
#pragma once

#include <string>
#include <sys/stat.h>
#include <vector>

struct scratch_dir {
    explicit scratch_dir(const std::string &parent = "/tmp");
    ~scratch_dir();
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

// Writes a file (creating missing parent directories) with the given mode.
void write_file(const std::string &path, const std::string &content, mode_t mode = 0644);
std::string read_file(const std::string &path);
// lstat that fails the test when the name cannot be examined.
struct stat status_of(const std::string &path);
bool exists(const std::string &path);
// Names under dir (recursively) whose last component starts with "dup__".
std::vector<std::string> temporary_files_under(const std::string &dir);
// Whether dir and /dev/shm lie on different devices.
bool shm_is_other_device(const std::string &dir);
