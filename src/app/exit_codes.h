// Exit codes of the updater.
#pragma once

namespace quor {

constexpr int kExitOk = 0;
constexpr int kExitNotWritable = -1;     // the folder cannot be written
constexpr int kExitNoNetworkHost = 1;    // the ENet client host cannot be created
constexpr int kExitFileSystemError = 2;  // a folder could not be read, removed or created
constexpr int kExitCreateFailed = 3;     // create mode could not publish a complete data set

}  // namespace quor
