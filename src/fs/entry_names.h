// Listed names that reach one directory entry. A list may name one entry
// several times ("a", "./a", "d/../a", a route through a symbolic link to the
// directory): such names are one file name, not several links. Only names
// with the same final component can reach one entry, so only those have
// their directories examined.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The final component of a name: what follows its last slash.
std::string_view final_part(std::string_view name);

// The rest of a name: everything up to and including its last slash, or
// empty when it has none (the name lies in the working directory).
std::string directory_part(std::string_view name);

// The directory that holds a name, reached as the name reaches it: its
// device and inode. False when it cannot be examined (or the name ends in a
// slash); such a name stands for itself.
bool holding_directory(const char *name, dev_t &device, ino_t &inode);

// Calls each_group with every set of two or more of the positions
// 0 .. count-1 whose names (name_of) reach one directory entry, in
// increasing order of position.
void for_each_entry_group(size_t count, const std::function<const char *(int32_t)> &name_of,
                          const std::function<void(const std::vector<int32_t> &)> &each_group);
