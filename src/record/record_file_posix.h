#pragma once
// What the record's files on POSIX systems lend the other files written there.

#include <cstddef>
#include <string_view>

namespace karvello {

// Writes `bytes` to `fd`, again after a write that a signal interrupted: how many were written,
// fewer than all when a write failed (errno says why).
std::size_t WriteWhole(int fd, std::string_view bytes);

}  // namespace karvello
