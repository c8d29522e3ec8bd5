#include "fs/file_utils.h"

#include <filesystem>
#include <system_error>

#include "base/text_replace.h"
#include "platform/native_path.h"

namespace quor {
namespace fs = std::filesystem;
namespace {

Status describe(const char* what, const std::string& path, const std::error_code& ec) {
  return Status::ioError(std::string(what) + " " + path + ": " + ec.message());
}

// Depth-first walk shared by both listings: files are appended when
// wantFiles is set, folders (before their contents) otherwise.
Status walk(const std::string& root, bool wantFiles, std::vector<std::string>& out) {
  std::error_code ec;
  fs::directory_iterator it(toNativePath(root), ec);
  if (ec) return describe("cannot read folder", root, ec);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::string path = root;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    path += fromNativePath(it->path().filename());
    std::error_code statusError;
    bool isFolder = fs::is_directory(it->path(), statusError);
    if (isFolder) {
      if (!wantFiles) out.push_back(path);
      Status status = walk(path, wantFiles, out);
      if (!status.ok()) return status;
    } else if (wantFiles) {
      out.push_back(path);
    }
  }
  if (ec) return describe("cannot read folder", root, ec);
  return {};
}

Status listRecursive(const std::string& root, bool wantFiles, std::vector<std::string>* paths) {
  paths->clear();
  std::error_code ec;
  fs::file_status type = fs::status(toNativePath(root), ec);
  if (type.type() == fs::file_type::not_found) return {};
  if (ec) return describe("cannot query", root, ec);
  Status status = walk(root, wantFiles, *paths);
  for (std::string& path : *paths) replaceAll(path, "\\", "/");
  return status;
}

}  // namespace

Status listFilesRecursive(const std::string& root, std::vector<std::string>* paths) {
  return listRecursive(root, true, paths);
}

Status listFoldersRecursive(const std::string& root, std::vector<std::string>* paths) {
  return listRecursive(root, false, paths);
}

Status createParentFolders(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  std::string folder = path.substr(0, slash);
  std::error_code ec;
  fs::create_directories(toNativePath(folder), ec);
  if (ec) return describe("cannot create folder", folder, ec);
  return {};
}

}  // namespace quor
