// Writes the seed corpus of every fuzz target: small, valid examples of
// each input made with the program's own encoders, plus a few near misses.
//
//   make_fuzz_seeds OUTPUT_FOLDER     (writes OUTPUT_FOLDER/<target>/<name>)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/memory_stream.h"
#include "container/container.h"
#include "container/zstd_stream.h"
#include "dataset/encodings_index.h"
#include "dataset/manifest.h"
#include "dataset/signature_file.h"
#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "patch/diff.h"
#include "patch/split_patch.h"

namespace {

using namespace quor;
namespace fs = std::filesystem;

fs::path outputRoot;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

void seed(const std::string& target, const std::string& name, const Bytes& bytes) {
  fs::create_directories(outputRoot / target);
  std::ofstream out(outputRoot / target / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes lengthPrefixed(const Bytes& first, const Bytes& second) {
  Bytes length = {uint8_t(first.size()), uint8_t(first.size() >> 8)};
  return concat({length, first, second});
}

Bytes onChannel(uint8_t channel, const Bytes& packet) { return concat({{channel}, packet}); }

Bytes containerOf(uint32_t type, const Bytes& content) {
  std::ostringstream out;
  (void)containerEncode(type, content.data(), static_cast<uint32_t>(content.size()), out);
  return bytesOf(out.str());
}

Bytes patchFile(const Bytes& from, const Bytes& to) {
  std::ostringstream out;
  (void)bsdiff(from.data(), static_cast<uint32_t>(from.size()), to.data(),
         static_cast<uint32_t>(to.size()), out);
  return bytesOf(out.str());
}

Bytes patchBody(const Bytes& from, const Bytes& to) {
  Bytes file = patchFile(from, to);
  MemoryInputStream in(file.data(), file.size());
  Bytes body;
  (void)containerDecode(binary_patch, in, &body);
  return body;
}

// A small old and new file pair with shared, changed and inserted parts.
const Bytes kOld =
    bytesOf("quor map v1: hills, rivers, 12 towns; the northern pass is closed. END");
const Bytes kNew =
    bytesOf("quor map v2: hills, rivers, 14 towns and a harbour; the northern pass is open. END");

void dispatchSeeds() {
  const std::string t = "fuzz_dispatch";
  LobbyMessage1 lobby1;
  lobby1.message = "welcome";
  lobby1.values = {1, 2, 3, 4, 5};
  seed(t, "lobby1", onChannel(kLobbyChannel, buildLobbyMessage1(lobby1)));
  LobbyMessage5 lobby5;
  lobby5.name = "room";
  lobby5.entries = {{7, "seven"}};
  lobby5.names = {"ann", "bo"};
  seed(t, "lobby5", onChannel(kLobbyChannel, buildLobbyMessage5(lobby5)));
  LobbyMessage7 lobby7;
  lobby7.value = 70;
  lobby7.value2 = 71;
  seed(t, "lobby7", onChannel(kLobbyChannel, buildLobbyMessage7(lobby7, bytesOf("rest"))));
  LobbyMessage11 lobby11;
  lobby11.textA = "a";
  lobby11.textB = "b";
  seed(t, "lobby11", onChannel(kLobbyChannel, buildLobbyMessage11(lobby11)));
  LobbyMessage12 lobby12;
  lobby12.texts = {"x", "yz"};
  seed(t, "lobby12", onChannel(kLobbyChannel, buildLobbyMessage12(lobby12)));
  LobbyMessage13 lobby13;
  lobby13.message = "m";
  seed(t, "lobby13", onChannel(kLobbyChannel, buildLobbyMessage13(lobby13)));
  seed(t, "lobby14", onChannel(kLobbyChannel, buildLobbyMessage14(LobbyMessage14{})));
  seed(t, "text", onChannel(kTextChannel, buildTextMessage("hello")));
  seed(t, "ingame1", onChannel(kIngameChannel, buildIngameMessage1()));
  IngameMessage3 ingame3;
  ingame3.value = 3;
  seed(t, "ingame3", onChannel(kIngameChannel, buildIngameMessage3(ingame3)));
  IngameMessage8 ingame8;
  ingame8.first = bytesOf("first");
  ingame8.second = bytesOf("2nd");
  seed(t, "ingame8", onChannel(kIngameChannel, buildIngameMessage8(ingame8)));
  RecordMessage record;
  record.listA = {1, 2};
  record.listB = {3};
  record.message = "rec";
  seed(t, "record", onChannel(kRecordChannel, buildRecordMessage(record)));
  seed(t, "record_short", onChannel(kRecordChannel, Bytes(12, 0xFF)));
  FeedbackMessage2 feedback;
  feedback.message = "fb";
  seed(t, "feedback2", onChannel(kFeedbackChannel, buildFeedbackMessage2(feedback)));
  Feedback2Message1 f2m1;
  f2m1.textA = "a";
  f2m1.textB = "b";
  f2m1.textC = "c";
  seed(t, "feedback2_1", onChannel(kFeedback2Channel, buildFeedback2Message1(f2m1)));
  Feedback2Message2 f2m2;
  f2m2.texts = {"p", "q"};
  seed(t, "feedback2_2", onChannel(kFeedback2Channel, buildFeedback2Message2(f2m2)));
  seed(t, "manifest_request", onChannel(kFileUpdateChannel, buildManifestRequest()));
  seed(t, "file_request", onChannel(kFileUpdateChannel, buildFileRequest("17.patch")));
  seed(t, "file_reply", onChannel(kFileUpdateChannel, buildFileReply("17.patch", bytesOf("body"))));
  seed(t, "range_hello", onChannel(kFileUpdateChannel, buildRangeHello({})));
  RangeOffer offer;
  offer.maxPieceSize = 1u << 20;
  seed(t, "range_offer", onChannel(kFileUpdateChannel, buildRangeOffer(offer)));
  FileRangeRequest rangeRequest;
  rangeRequest.name = "17.compressed";
  rangeRequest.offset = 0x100000000u;
  rangeRequest.length = 1u << 20;
  seed(t, "file_range_request", onChannel(kFileUpdateChannel, buildFileRangeRequest(rangeRequest)));
  FileRangeReply rangeReply;
  rangeReply.name = "17.compressed";
  rangeReply.fileSize = 0xFFFFFFFFu;
  rangeReply.fileVersion = 0x0123456789ABCDEFu;
  rangeReply.offset = 0xFFFFFFFBu;
  Bytes piece = bytesOf("piece");
  rangeReply.data = piece;
  seed(t, "file_range_reply", onChannel(kFileUpdateChannel, buildFileRangeReply(rangeReply)));
  rangeReply.fileSize = 0xFFFFFFFEu;  // the piece runs one byte past the end
  seed(t, "file_range_reply_past_end", onChannel(kFileUpdateChannel, buildFileRangeReply(rangeReply)));
  rangeReply.status = kRangeStatusBeyondEnd;
  rangeReply.data = {};
  seed(t, "file_range_reply_beyond", onChannel(kFileUpdateChannel, buildFileRangeReply(rangeReply)));
  seed(t, "unknown_type", onChannel(kFileUpdateChannel, {9, 0, 0, 0, 1, 0, 0, 0}));
  seed(t, "channel7", onChannel(7, buildManifestRequest()));
  seed(t, "short", onChannel(kLobbyChannel, {1, 0}));
}

void manifestSeeds() {
  const std::string t = "fuzz_manifest";
  seed(t, "empty", encodeManifest(Manifest{}));
  Manifest manifest;
  manifest.datasetChecksum = 0x12345678;
  manifest.folders = {"./data", "./data/quor"};
  manifest.emptyFiles = {"./data/quor/empty"};
  manifest.files["./data/quor/a.bin"] = {111, 222, 17};
  manifest.files["./quor.exe"] = {333, 0, 18};
  Bytes full = encodeManifest(manifest);
  seed(t, "typical", full);
  seed(t, "cut", Bytes(full.begin(), full.begin() + static_cast<long>(full.size() / 2)));
  Manifest unsafe;
  unsafe.folders = {"./../up", "/abs"};
  unsafe.emptyFiles = {"./a\\b", "C:/x"};
  unsafe.files["./data/../../x"] = {1, 0, 1};
  seed(t, "unsafe", encodeManifest(unsafe));
}

void containerSeeds() {
  for (const std::string t : {"fuzz_container_generic", "fuzz_container_patch"}) {
    seed(t, "generic_empty", containerOf(generic, {}));
    seed(t, "generic_text", containerOf(generic, kNew));
    seed(t, "world_text", containerOf(world_text, bytesOf("aaaaaaaaaaaaaaaaaaaaaaaaaaaa")));
    seed(t, "patch", patchFile(kOld, kNew));
    Bytes tagOnly = bytesOf(std::string(compressedTag(generic)));
    seed(t, "tag_only", tagOnly);
  }
}

void patchSeeds() {
  const std::string t = "fuzz_bspatch";
  seed(t, "typical", lengthPrefixed(kOld, patchBody(kOld, kNew)));
  seed(t, "to_empty", lengthPrefixed(kOld, patchBody(kOld, {})));
  seed(t, "from_empty", lengthPrefixed({}, patchBody({}, kNew)));
  Bytes header(patchBody({}, {}));
  seed(t, "header_only", lengthPrefixed({}, header));
}

void roundTripSeeds() {
  const std::string t = "fuzz_bsdiff_roundtrip";
  seed(t, "typical", lengthPrefixed(kOld, kNew));
  seed(t, "same", lengthPrefixed(kOld, kOld));
  seed(t, "repeats", lengthPrefixed(Bytes(64, 'a'), Bytes(80, 'a')));
  seed(t, "empty_old", lengthPrefixed({}, kNew));
}

void serversConfigSeeds() {
  const std::string t = "fuzz_servers_config";
  seed(t, "one", bytesOf("main server\n127.0.0.1\n7777\n"));
  seed(t, "two_crlf", bytesOf("a\r\nhost.example\r\n123x\r\nb\r\n10.0.0.1\r\n65537\r\n"));
  seed(t, "empty_host", bytesOf("a\n\n7777\nb\n127.0.0.1\n1\n"));
  seed(t, "signs", bytesOf("\n127.0.0.1\n  -5\n\nlocalhost\n+80"));
}

void safePathSeeds() {
  const std::string t = "fuzz_safe_path";
  int index = 0;
  for (const char* path : {"./data/quor/maps/a.map", "./updater.exe", "./../x", "./a/../../b",
                           "./a//b", "/etc/passwd", "./a\\b", "./C:/x", "./a/./b", "./..."}) {
    seed(t, "path" + std::to_string(index++), bytesOf(path));
  }
}

void servedNameSeeds() {
  const std::string t = "fuzz_served_name";
  int index = 0;
  for (const char* name :
       {"1.compressed", "manifest.manifest", "../secret", "link", "sub", "a/b"}) {
    seed(t, "request" + std::to_string(index++), buildFileRequest(name));
  }
  index = 0;
  for (const char* name : {"1.compressed", "../secret", "link"}) {
    FileRangeRequest request;
    request.name = name;
    request.length = 1u << 20;
    seed(t, "range_request" + std::to_string(index++), buildFileRangeRequest(request));
  }
}

void signatureFileSeeds() {
  const std::string t = "fuzz_signature_file";
  KeyPair keys;
  if (!generateKeyPair(&keys).ok()) return;
  SignatureFile file;
  file.dataSetVersion = 1765000000;
  file.expiresAt = 1772776000;
  file.manifest = {216, sha256Of(kNew.data(), kNew.size())};
  file.dataFiles["0.compressed"] = {155, sha256Of(kOld.data(), kOld.size())};
  file.dataFiles["0.patch"] = {99, {}};
  file.gameFiles["./data/quor/a.bin"] = {100000, {}};
  file.gameFiles["./quor.exe"] = {3, {}};
  Bytes signedFile;
  if (!signSignatureFile(file, keys, &signedFile).ok()) return;
  seed(t, "typical", signedFile);
  seed(t, "empty_lists", [&] {
    Bytes bytes;
    (void)signSignatureFile(SignatureFile{}, keys, &bytes);
    return bytes;
  }());
  seed(t, "cut", Bytes(signedFile.begin(), signedFile.begin() + 100));
  Bytes huge = signedFile;
  huge[68] = 0xff;  // the count of update data files
  huge[69] = 0xff;
  seed(t, "huge_count", huge);
}

}  // namespace

void encodingsSeeds() {
  seed("fuzz_encodings_index", "index",
       encodeEncodingsIndex({{0, {DataKind::kWhole, 120, 0}}, {0, {DataKind::kZstdWhole, 90, 0}},
                             {3, {DataKind::kSplitPatch, 40, 77}}, {3, {DataKind::kPatch, 60, 77}}}));
  seed("fuzz_encodings_index", "later_kind", bytesOf("quor_encodings 1\n5.lzma 10 0\n"));
  Bytes old = bytesOf("the old version of a small game file, with a few lines of text\n");
  Bytes current = old;
  current.insert(current.begin() + 20, {'n', 'e', 'w', ' '});
  ZstdSettings settings;
  settings.level = 3;
  std::string frame;
  (void)zstdCompress(settings, current.data(), current.size(), &frame);
  seed("fuzz_zstd_data", "frame", concat({{0}, bytesOf(frame)}));
  Bytes patch = patchFile(old, current);
  std::istringstream in(std::string(patch.begin(), patch.end()));
  Bytes body;
  (void)containerDecode(binary_patch, in, &body);
  std::string split;
  (void)encodeSplitPatch(body.data(), body.size(), settings, &split);
  seed("fuzz_zstd_data", "split", concat({{1}, bytesOf(split)}));
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
    return 2;
  }
  outputRoot = argv[1];
  dispatchSeeds();
  manifestSeeds();
  containerSeeds();
  patchSeeds();
  roundTripSeeds();
  serversConfigSeeds();
  safePathSeeds();
  servedNameSeeds();
  signatureFileSeeds();
  encodingsSeeds();
  return 0;
}
