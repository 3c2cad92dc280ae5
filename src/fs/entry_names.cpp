#include "fs/entry_names.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

std::string_view final_part(std::string_view name) {
    const size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

std::string directory_part(std::string_view name) {
    const size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(name.substr(0, slash + 1));
}

bool holding_directory(const char *name, dev_t &device, ino_t &inode) {
    if (final_part(name).empty()) return false;
    std::string parent = directory_part(name);
    if (parent.empty()) parent = ".";
    struct stat status;
    if (stat(parent.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    device = status.st_dev;
    inode = status.st_ino;
    return true;
}

void for_each_entry_group(size_t count, const std::function<const char *(int32_t)> &name_of,
                          const std::function<void(const std::vector<int32_t> &)> &each_group) {
    // Where each name's final component starts, found once.
    std::vector<uint16_t> final_at(count);
    for (size_t i = 0; i < count; ++i) {
        const char *name = name_of(static_cast<int32_t>(i));
        final_at[i] = static_cast<uint16_t>(final_part(name).data() - name);
    }
    auto final_of = [&](int32_t position) {
        return name_of(position) + final_at[static_cast<size_t>(position)];
    };
    std::vector<int32_t> by_final(count);
    for (size_t i = 0; i < count; ++i) by_final[i] = static_cast<int32_t>(i);
    std::stable_sort(by_final.begin(), by_final.end(), [&](int32_t x, int32_t y) {
        return std::strcmp(final_of(x), final_of(y)) < 0;
    });
    // Names of one directory share it: each directory part is examined once.
    std::unordered_map<std::string, std::string> directory_keys;
    std::unordered_map<std::string, std::vector<int32_t>> groups;
    for (size_t from = 0; from < count;) {
        size_t to = from + 1;
        while (to < count && std::strcmp(final_of(by_final[to]), final_of(by_final[from])) == 0)
            ++to;
        if (to - from > 1) {
            groups.clear();
            for (size_t k = from; k < to; ++k) {
                const int32_t position = by_final[k];
                const char *name = name_of(position);
                if (name[final_at[static_cast<size_t>(position)]] == '\0') continue;
                std::string parent(name, final_at[static_cast<size_t>(position)]);
                auto known = directory_keys.find(parent);
                if (known == directory_keys.end()) {
                    dev_t device;
                    ino_t inode;
                    std::string key;
                    if (holding_directory(name, device, inode)) {
                        key.assign(reinterpret_cast<const char *>(&device), sizeof device);
                        key.append(reinterpret_cast<const char *>(&inode), sizeof inode);
                    }
                    known = directory_keys.emplace(std::move(parent), std::move(key)).first;
                }
                if (known->second.empty()) continue;
                groups[known->second].push_back(position);
            }
            for (auto &[key, positions] : groups) {
                if (positions.size() < 2) continue;
                std::sort(positions.begin(), positions.end());
                each_group(positions);
            }
        }
        from = to;
    }
}
