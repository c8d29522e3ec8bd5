// Where things are: the update data set (the folder create mode writes and
// the update server serves, and how its files are named) and the game
// folder's own files that the programs treat specially. Every program and
// test takes these names from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quor {

// The update data set, relative to the publisher's build folder.
inline constexpr const char* kUpdateDataFolder = "server_data/update_data/";
inline constexpr const char* kManifestName = "manifest.manifest";
// The publisher's signature over the data set (dataset/signature_file.h),
// written by create mode with --sign and served like any other file.
inline constexpr const char* kSignatureFileName = "manifest.sig";

// Releases: create mode also keeps every data set it made as
// kReleasesFolder + <id> + "/", the same files as kUpdateDataFolder, where
// <id> is the first kReleaseIdLength lowercase hex digits of the SHA-256 of
// that data set's manifest followed by its manifest.sig when signed, and
// names the newest in kReleasesFolder + kCurrentReleaseName, a text file holding "<id>\n". A release folder never
// changes once written, so a web server or CDN may cache it for good;
// only the small pointer file changes. The releases are publishing output,
// never part of a build: scans skip them (isReleasesPath).
inline constexpr const char* kReleasesFolder = "server_data/releases/";
inline constexpr const char* kCurrentReleaseName = "current";
inline constexpr size_t kReleaseIdLength = 16;
// True for exactly kReleaseIdLength lowercase hex digits: what the pointer
// file must hold (before its "\n") for its release folder to be fetched.
bool isReleaseId(std::string_view text);
// True for the releases folder of the build folder root and what is in it,
// for paths of a listing of root ("./server_data/releases/0123abcd.../1.patch"
// for "./"). Letter case is ignored, as where names ignore it the folder is
// the same.
bool isReleasesPath(std::string_view root, std::string_view path);

// The update data names of a manifest entry's fileNumber: the whole file
// ("17.compressed") and the patch from the previous version ("17.patch").
std::string wholeFileName(uint32_t fileNumber);
std::string patchFileName(uint32_t fileNumber);

// The second encoding beside them (zstd), under names no older updater
// asks for: "17.zst" the whole file (container/zstd_stream.h), "17.zdiff"
// the split patch (patch/split_patch.h), "17.zfrom" the new file
// compressed with the old one as its reference. kEncodingsIndexName lists
// which of every kind the data set holds (dataset/encodings_index.h).
inline constexpr const char* kEncodingsIndexName = "encodings.index";
enum class DataKind { kWhole, kPatch, kZstdWhole, kSplitPatch, kPatchFrom };
inline constexpr DataKind kAllDataKinds[] = {DataKind::kWhole, DataKind::kPatch,
                                             DataKind::kZstdWhole, DataKind::kSplitPatch,
                                             DataKind::kPatchFrom};
std::string dataFileName(uint32_t fileNumber, DataKind kind);
// The suffix of the kind's names, dot included.
std::string_view dataKindSuffix(DataKind kind);
// The kind a name ends in; kWhole for a name of none.
DataKind dataKindOf(std::string_view name);
bool isPatchKind(DataKind kind);
// A patch from a build older than the one before (create mode's further
// --old folders) carries its base in its name, as 8 lowercase hex digits:
// "17.0badf00d.zdiff". Only encodings.index names these.
std::string taggedPatchName(uint32_t fileNumber, uint32_t base, DataKind kind);
inline constexpr size_t kBaseTagLength = 8;
// Whether the name is one of the second encoding's.
bool isZstdName(std::string_view name);
// Whether only encodings.index names it (the second encoding's names and
// tagged patches): a server that answers it empty or refuses it has none.
bool isIndexOnlyName(std::string_view name);
// A patch of any kind.
bool isPatchName(std::string_view name);

// The updater's own executable, as a data-set path and as a file name, and
// the name the running one is moved to while it is being replaced.
inline constexpr const char* kOwnExecutablePath = "./updater.exe";
inline constexpr const char* kOwnExecutableFile = "updater.exe";
inline constexpr const char* kOldExecutableFile = "updater_old.exe";
// The game, started after an update with --quor.
inline constexpr const char* kGameCommand = "./quor.exe";
inline constexpr const char* kLogFile = "updater.log";
inline constexpr const char* kServerListFile = "settings/servers.config";

// Signed updates (dataset/signing_keys.h). --keygen writes both key files
// into the current folder. A game folder holding the public key accepts
// only signed updates; the key is a game file like any other, so an update
// may ship a new one, but no update deletes it. The highest data set
// version installed is kept beside it as decimal text, out of every
// update's reach.
inline constexpr const char* kPrivateKeyFile = "publisher.key";
inline constexpr const char* kPublicKeyFile = "updater.key";
inline constexpr const char* kPublicKeyPath = "./updater.key";
inline constexpr const char* kInstalledVersionFile = "updater.version";
// True for kPublicKeyPath in any letter case of its ASCII letters: where
// names ignore case, "./UPDATER.KEY" is the key too.
bool isPublicKeyPath(std::string_view path);

// Where update mode keeps the update data files it is downloading, so that
// a cut-off download goes on where it stopped. Inside the game folder (the
// same disk as the game), but never part of it: scans skip it, create mode
// never publishes it, and no manifest path may name it.
inline constexpr const char* kStagingFolder = "./updater_staging";
inline constexpr const char* kStagingFolderName = "updater_staging";
// True for the staging folder of the game folder root and what is in it,
// in any letter case, for paths of a listing of root
// ("./updater_staging/17.part" for "./").
bool isStagingPath(std::string_view root, std::string_view path);

}  // namespace quor
