#include "fs/file_utils.h"

#include <filesystem>
#include <system_error>

#include "base/text_replace.h"
#include "platform/native_path.h"

namespace quor {
namespace fs = std::filesystem;
namespace {

FsError describe(const char* what, const std::string& path, const std::error_code& ec) {
  return std::string(what) + " " + path + ": " + ec.message();
}

// Depth-first walk shared by both listings: files are appended when
// wantFiles is set, folders (before their contents) otherwise.
bool walk(const std::string& root, bool wantFiles, std::vector<std::string>& out,
          FsError* error) {
  std::error_code ec;
  fs::directory_iterator it(toNativePath(root), ec);
  if (ec) {
    if (error) *error = describe("cannot read folder", root, ec);
    return false;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::string path = root;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    path += fromNativePath(it->path().filename());
    std::error_code statusError;
    bool isFolder = fs::is_directory(it->path(), statusError);
    if (isFolder) {
      if (!wantFiles) out.push_back(path);
      if (!walk(path, wantFiles, out, error)) return false;
    } else if (wantFiles) {
      out.push_back(path);
    }
  }
  if (ec) {
    if (error) *error = describe("cannot read folder", root, ec);
    return false;
  }
  return true;
}

std::vector<std::string> listRecursive(const std::string& root, bool wantFiles,
                                       FsError* error) {
  std::vector<std::string> out;
  if (error) error->clear();
  std::error_code ec;
  fs::file_status status = fs::status(toNativePath(root), ec);
  if (status.type() == fs::file_type::not_found) return out;
  if (ec) {
    if (error) *error = describe("cannot query", root, ec);
    return out;
  }
  walk(root, wantFiles, out, error);
  for (std::string& path : out) replaceAll(path, "\\", "/");
  return out;
}

}  // namespace

std::vector<std::string> listFilesRecursive(const std::string& root, FsError* error) {
  return listRecursive(root, true, error);
}

std::vector<std::string> listFoldersRecursive(const std::string& root, FsError* error) {
  return listRecursive(root, false, error);
}

FsError createParentFolders(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return {};
  std::string folder = path.substr(0, slash);
  std::error_code ec;
  fs::create_directories(toNativePath(folder), ec);
  if (ec) return describe("cannot create folder", folder, ec);
  return {};
}

}  // namespace quor
