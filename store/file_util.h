#pragma once

// Small POSIX helpers shared by the profile and the mailbox store.

#include <cstddef>
#include <string>

namespace brevin::file_util {

/// Writes all of `size` bytes, retrying short writes and EINTR. False with errno set.
bool WriteAll(int fd, const char* data, std::size_t size);
/// close(2) that keeps errno of an earlier failure.
void CloseQuietly(int& fd);
/// The folder part of a path, "." when it has none.
std::string FolderOf(const std::string& path);

} // namespace brevin::file_util
