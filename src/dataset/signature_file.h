// manifest.sig: what a publisher signs about one update data set, and the
// signature. It names the data set's version and expiry and the SHA-256
// and size of manifest.manifest, of every update data file and of every
// game file the manifest lists, so a player can check each byte it
// receives and each file it writes against what the publisher made.
//
// Layout (numbers little-endian, texts zero-terminated, no gaps):
//   offset 0   magic "quor_sig"                          8 bytes
//   offset 8   format version (1)                        u32
//   offset 12  data set version                          u64
//   offset 20  expiry: seconds since 1970-01-01 UTC      u64
//   offset 28  manifest.manifest: size u64, SHA-256 32 bytes
//   offset 68  update data files: u32 count, then per file
//                name text ("17.compressed"), size u64, SHA-256 32 bytes
//              game files: u32 count, then per file
//                manifest path text ("./data/quor/a.map"), size u64, SHA-256
//   last 64    ECDSA P-256 signature r || s over the SHA-256 of every byte
//              before it (platform/crypto.h)
// Each list is sorted by name and holds a name once; both hold at most
// kMaxListElements names.
//
// Pure functions of their arguments; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "base/encoding.h"
#include "base/status.h"
#include "platform/crypto.h"

namespace quor {

inline constexpr uint32_t kSignatureFormatVersion = 1;

struct SignedFile {
  uint64_t size = 0;
  Sha256Digest sha256{};
  bool operator==(const SignedFile&) const = default;
};

struct SignatureFile {
  uint64_t dataSetVersion = 0;
  uint64_t expiresAt = 0;
  SignedFile manifest;
  std::map<std::string, SignedFile> dataFiles;  // by update data name
  std::map<std::string, SignedFile> gameFiles;  // by manifest path
  bool operator==(const SignatureFile&) const = default;
};

// The bytes the signature covers: everything but the signature.
Bytes encodeSignedPart(const SignatureFile& file);

// encodeSignedPart signed with keys, the signature appended: the file.
Status signSignatureFile(const SignatureFile& file, const KeyPair& keys, Bytes* out);

// Decodes the file without checking its signature (that is
// openSignatureFile's work). Refuses, as kCorrupt, bytes too short to hold
// the signature, another magic or format version, a count above
// kMaxListElements or beyond the bytes present, a record cut short, a
// name listed twice or out of order, and bytes left over.
Status readSignatureFile(const uint8_t* data, size_t size, SignatureFile* file);

// Checks the signature with key first, then decodes. A signature that
// does not verify is kCorrupt with "the signature does not verify".
Status openSignatureFile(const uint8_t* data, size_t size, const PublicKey& key,
                         SignatureFile* file);

// The SHA-256 and size of the file at path, read in pieces.
Status hashFile(const std::string& path, SignedFile* file);

}  // namespace quor
