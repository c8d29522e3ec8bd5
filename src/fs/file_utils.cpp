#include "fs/file_utils.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "base/text_replace.h"
#include "platform/links.h"
#include "platform/native_path.h"

namespace quor {
namespace fs = std::filesystem;
namespace {

Status describe(const char* what, const std::string& path, const std::error_code& ec) {
  return Status::ioError(std::string(what) + " " + path + ": " + ec.message());
}

struct Listing {
  bool wantFiles;
  std::vector<std::string>& out;
  std::vector<std::string>* links;
};

// Depth-first walk shared by both listings: files are appended when
// wantFiles is set, folders (before their contents) otherwise.
Status walk(const std::string& root, Listing& listing) {
  std::error_code ec;
  fs::directory_iterator it(toNativePath(root), ec);
  if (ec) return describe("cannot read folder", root, ec);
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    std::string path = root;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    path += fromNativePath(it->path().filename());
    // Checked before the folder test, which would follow the link.
    if (isLink(it->path())) {
      if (listing.links) listing.links->push_back(path);
      continue;
    }
    std::error_code statusError;
    bool isFolder = fs::is_directory(it->path(), statusError);
    if (isFolder) {
      if (!listing.wantFiles) listing.out.push_back(path);
      Status status = walk(path, listing);
      if (!status.ok()) return status;
    } else if (listing.wantFiles) {
      listing.out.push_back(path);
    }
  }
  if (ec) return describe("cannot read folder", root, ec);
  return {};
}

Status listRecursive(const std::string& root, bool wantFiles, std::vector<std::string>* paths,
                     std::vector<std::string>* links) {
  paths->clear();
  if (links) links->clear();
  std::error_code ec;
  fs::file_status type = fs::status(toNativePath(root), ec);
  if (type.type() == fs::file_type::not_found) return {};
  if (ec) return describe("cannot query", root, ec);
  Listing listing{wantFiles, *paths, links};
  Status status = walk(root, listing);
  for (std::string& path : *paths) replaceAll(path, "\\", "/");
  if (links) {
    for (std::string& path : *links) replaceAll(path, "\\", "/");
  }
  return status;
}

}  // namespace

Status listFilesRecursive(const std::string& root, std::vector<std::string>* paths,
                          std::vector<std::string>* links) {
  return listRecursive(root, true, paths, links);
}

Status listFoldersRecursive(const std::string& root, std::vector<std::string>* paths,
                            std::vector<std::string>* links) {
  return listRecursive(root, false, paths, links);
}

std::string pathInCurrentFolder(const std::string& file) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(toNativePath(file), error);
  std::filesystem::path here = std::filesystem::current_path(error);
  if (error) return "";
  std::filesystem::path inside = absolute.lexically_normal().lexically_relative(here.lexically_normal());
  if (inside.empty() || *inside.begin() == ".." || inside == ".") return "";
  std::string path = fromNativePath(inside);
  std::replace(path.begin(), path.end(), '\\', '/');  // Windows' separators
  return "./" + path;
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
