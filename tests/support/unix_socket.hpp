#pragma once
// A Unix socket's address holds a path of about a hundred bytes only, and a test's scratch
// folder may lie deeper than that: these reach a socket at a path of any length through its
// folder, as the program does.
#include <filesystem>

namespace gwtest {

// A stream socket connected to the one at `path`; -1 (errno set) when none answers there.
// `flags` are added to the socket's type (SOCK_NONBLOCK, say).
int connectToSocket(const std::filesystem::path& path, int flags = 0);
// A stream socket bound at `path` and listening; -1 (errno set) when it cannot be.
int listenAtSocket(const std::filesystem::path& path, int backlog);

}  // namespace gwtest
