// Operations that return a Status and fill an out-parameter, read by the
// tests as optionals: the value on success, none otherwise, with the
// status kept where the test asks for it.
#pragma once

#include <istream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/status.h"
#include "container/container.h"
#include "fs/file_io.h"
#include "fs/file_utils.h"
#include "patch/patch.h"

namespace quor::testing {

inline std::optional<Bytes> decodedContainer(uint32_t type, std::istream& in,
                                             Status* status = nullptr) {
  Bytes content;
  Status result = containerDecode(type, in, &content);
  bool ok = result.ok();
  if (status) *status = std::move(result);
  if (!ok) return std::nullopt;
  return content;
}

inline std::optional<Bytes> decodedContainer(uint32_t type, const std::string& bytes) {
  std::istringstream in(bytes);
  return decodedContainer(type, in);
}

inline std::optional<Bytes> patched(const uint8_t* old, uint32_t oldLength, const uint8_t* patch,
                                    uint32_t patchLength, Status* status = nullptr) {
  Bytes result;
  Status outcome = bspatch(old, oldLength, patch, patchLength, &result);
  bool ok = outcome.ok();
  if (status) *status = std::move(outcome);
  if (!ok) return std::nullopt;
  return result;
}

inline std::optional<Bytes> wholeFile(const std::string& path, Status* status = nullptr) {
  Bytes content;
  Status result = readWholeFile(path, &content);
  bool ok = result.ok();
  if (status) *status = std::move(result);
  if (!ok) return std::nullopt;
  return content;
}

inline std::vector<std::string> listedFiles(const std::string& root, Status* status = nullptr) {
  std::vector<std::string> paths;
  Status result = listFilesRecursive(root, &paths);
  if (status) *status = std::move(result);
  return paths;
}

inline std::vector<std::string> listedFolders(const std::string& root, Status* status = nullptr) {
  std::vector<std::string> paths;
  Status result = listFoldersRecursive(root, &paths);
  if (status) *status = std::move(result);
  return paths;
}

}  // namespace quor::testing
