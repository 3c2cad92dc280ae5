#include "scratch_tree.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

scratch_dir::scratch_dir(const std::string &parent) {
    std::string pattern = parent + "/twinfold-test-XXXXXX";
    char *made = mkdtemp(pattern.data());
    if (!made) throw std::runtime_error("mkdtemp in " + parent + " failed");
    path = made;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

void write_file(const std::string &path, const std::string &content, mode_t mode) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct stat status_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> temporary_files_under(const std::string &dir) {
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
        if (it->path().filename().string().rfind("dup__", 0) == 0) found.push_back(it->path());
    }
    return found;
}

bool shm_is_other_device(const std::string &dir) {
    struct stat a, b;
    return stat(dir.c_str(), &a) == 0 && stat("/dev/shm", &b) == 0 && a.st_dev != b.st_dev;
}
