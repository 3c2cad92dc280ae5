#include "fs/temp_name.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <random>

#include "fs/entry_names.h"
#include "fs/held_entry.h"
#include "state/output.h"

namespace {

// Enough fresh names to get past any number of leftovers that a run can meet.
constexpr int temp_name_attempts = 100;

// Seeded from the system's entropy, so that another user cannot foresee the
// names and put something in their place first.
std::mt19937_64 &temp_name_generator() {
    static std::mt19937_64 generator([] {
        std::random_device entropy;
        return (static_cast<uint64_t>(entropy()) << 32) ^ entropy() ^
               static_cast<uint64_t>(std::time(nullptr)) ^ (static_cast<uint64_t>(getpid()) << 20);
    }());
    return generator;
}

}  // namespace

int create_temp_file_at(int dirfd, std::string_view name, std::string &temp_name) {
    for (int attempt = 0; attempt < temp_name_attempts; ++attempt) {
        temp_name = fresh_temp_name(name);
        const int fd = openat(dirfd, std::string(final_part(temp_name.c_str())).c_str(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

bool discard_temp_file_at(int dirfd, const std::string &temp_name) {
    if (unlinkat(dirfd, std::string(final_part(temp_name.c_str())).c_str(), 0) == 0) return true;
    fail_line("unlink", "unlink(%s) failed\n", temp_name.c_str());
    return false;
}

std::string fresh_temp_name(std::string_view name) {
    std::mt19937_64 &generator = temp_name_generator();
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string result = directory_part(name) + temp_name_template;
    for (size_t i = result.size() - 7; i < result.size(); ++i)
        result[i] = letters[generator() % (sizeof letters - 1)];
    return result;
}
