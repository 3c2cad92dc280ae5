#include "rewrite/temp_name.h"

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <random>

#include "run/output.h"

std::string directory_part(std::string_view name) {
    size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(name.substr(0, slash + 1));
}

int create_temp_file(std::string_view name, std::string &temp_name) {
    temp_name = directory_part(name) + temp_name_template;
    return mkstemp(temp_name.data());
}

std::string fresh_temp_name(std::string_view name) {
    static std::mt19937_64 generator(static_cast<uint64_t>(std::time(nullptr)) ^
                                     (static_cast<uint64_t>(getpid()) << 32));
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string result = directory_part(name) + temp_name_template;
    for (size_t i = result.size() - 7; i < result.size(); ++i)
        result[i] = letters[generator() % (sizeof letters - 1)];
    return result;
}

bool discard_temp_file(const std::string &temp_name) {
    if (unlink(temp_name.c_str()) == 0) return true;
    fail_line("unlink", "unlink(%s) failed\n", temp_name.c_str());
    return false;
}
