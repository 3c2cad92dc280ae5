// Temporary names: the file's own directory followed by "dup__XXXXXXX", so a
// replacement is prepared on the same file system and can be renamed into place.
#pragma once

#include <string>
#include <string_view>

inline constexpr char temp_name_template[] = "dup__XXXXXXX";

// Creates a temporary file by the same pattern inside the held directory
// dirfd, which holds name: the file is made exclusively (never through a
// symbolic link) with permission bits 600. Returns its descriptor, or -1 with
// errno set; on success temp_name holds the whole temporary name (the
// directory_part of name followed by the pattern) and the file's final
// component is final_part(temp_name).
int create_temp_file_at(int dirfd, std::string_view name, std::string &temp_name);

// A name beside name by the same pattern, with the X replaced by random
// letters, for callers that create the entry themselves (a link): they retry
// with a new name when it exists.
std::string fresh_temp_name(std::string_view name);

// Removes a temporary file in the held directory dirfd that is no longer
// wanted; temp_name is its whole name. When that fails it says so on
// standard error ("unlink(%s) failed" and the system's reason) and returns
// false: the file is still there.
bool discard_temp_file_at(int dirfd, const std::string &temp_name);
