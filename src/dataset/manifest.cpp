#include "dataset/manifest.h"

#include "base/encoding.h"

namespace quor {

std::vector<uint8_t> encodeManifest(const Manifest& manifest) {
  ByteWriter out;
  out.u32(0);
  out.u32(10);
  out.u32(manifest.datasetChecksum);
  out.u32(static_cast<uint32_t>(manifest.folders.size()));
  for (const std::string& folder : manifest.folders) out.text(folder);
  out.u32(static_cast<uint32_t>(manifest.emptyFiles.size()));
  for (const std::string& file : manifest.emptyFiles) out.text(file);
  out.u32(static_cast<uint32_t>(manifest.files.size()));
  for (const auto& [path, entry] : manifest.files) {
    out.text(path);
    out.u32(entry.checksum);
    out.u32(entry.patchBaseChecksum);
    out.u32(entry.fileNumber);
  }
  return out.take();
}

Status writeManifest(std::ostream& out, const Manifest& manifest) {
  std::vector<uint8_t> bytes = encodeManifest(manifest);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.flush();
  if (!out) return Status::ioError("cannot write the manifest");
  return {};
}

namespace {

// Reads count texts, stopping early when the data runs out.
void readTexts(ByteReader& in, std::vector<std::string>& texts) {
  for (uint32_t count = in.listCount(); count > 0 && !in.overrun(); --count) {
    texts.push_back(in.text());
  }
}

}  // namespace

Manifest readManifest(const uint8_t* bytes, size_t size) {
  ByteReader in(bytes, size);
  Manifest manifest;
  in.u32();
  in.u32();
  manifest.datasetChecksum = in.u32();
  readTexts(in, manifest.folders);
  readTexts(in, manifest.emptyFiles);
  for (uint32_t count = in.listCount(); count > 0 && !in.overrun(); --count) {
    std::string path = in.text();
    ManifestEntry entry;
    entry.checksum = in.u32();
    entry.patchBaseChecksum = in.u32();
    entry.fileNumber = in.u32();
    manifest.files[path] = entry;
  }
  manifest.complete = !in.overrun();
  return manifest;
}

}  // namespace quor
