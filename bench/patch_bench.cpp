// Patch benchmark helper, driven by bench/patch_bench.sh:
//
//   patch_bench diff OLD NEW PATCH [BUDGET_MIB]
//                                    make the patch container by the method
//                                    create mode picks for that memory budget
//                                    (default its own), print create seconds
//   patch_bench apply OLD PATCH OUT  decode and apply it, print apply seconds
//   patch_bench sort OLD             suffix-sort OLD alone with the project's own
//                                    sort, print seconds
//   patch_bench pack FILE            print the size of FILE's container, as
//                                    create mode publishes the whole file
//   patch_bench assets OLD NEW [MIB] write a synthetic asset pack of MIB MiB
//                                    (default 64) and its next version (blocks
//                                    inserted, removed, moved and edited)
//   patch_bench rules OLD NEW        print the sizes of the patch containers by
//                                    the short and by the long match rules alone
//                                    (bsdiff keeps the smaller), "short long"
//   patch_bench minor OLD NEW        write NEW, a minor release of the binary OLD:
//                                    small scattered edits, denser in some
//                                    blocks, and bytes inserted that shift the
//                                    code after them
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "container/container.h"
#include "create/create_mode.h"
#include "patch/block_diff.h"
#include "patch/diff.h"
#include "patch/patch.h"
#include "patch/suffix_sort.h"

namespace {

using quor::Bytes;
using Clock = std::chrono::steady_clock;

// Sized up front: a vector grown while reading would hold a copy of the
// file at its peak, which the peak memory in the tables would count.
bool readWhole(const char* path, Bytes& data) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  std::streamoff size = in.tellg();
  if (size < 0) return false;
  data.resize(size_t(size));
  in.seekg(0);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(data.data()), size));
}

bool writeWhole(const char* path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return static_cast<bool>(out);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int diff(const char* oldPath, const char* newPath, const char* patchPath, uint64_t budget) {
  Bytes old;
  Bytes newData;
  if (!readWhole(oldPath, old) || !readWhole(newPath, newData)) return 2;
  Clock::time_point start = Clock::now();
  bool made = false;
  const char* method = "bsdiff";
  switch (quor::chooseDiffMethod(old.size(), newData.size(), budget)) {
    case quor::DiffMethod::kSuffixArray: {
      std::ofstream out(patchPath, std::ios::binary);
      made = quor::bsdiff(old.data(), uint32_t(old.size()), newData.data(),
                          uint32_t(newData.size()), out).ok();
      out.close();
      made = made && out;
      break;
    }
    case quor::DiffMethod::kBlockIndex:
      method = "blocks";
      made = quor::blockDiffToFile(old.data(), uint32_t(old.size()), newData.data(),
                                   uint32_t(newData.size()), budget, patchPath).ok();
      break;
    case quor::DiffMethod::kNone:
      break;
  }
  double seconds = secondsSince(start);
  if (!made) return 1;
  std::printf("%.2f %s\n", seconds, method);
  return 0;
}

int apply(const char* oldPath, const char* patchPath, const char* outPath) {
  Bytes old;
  if (!readWhole(oldPath, old)) return 2;
  std::ifstream in(patchPath, std::ios::binary);
  Clock::time_point start = Clock::now();
  Bytes body;
  if (!quor::containerDecode(quor::binary_patch, in, &body).ok()) return 1;
  Bytes result;
  bool applied =
      quor::bspatch(old.data(), uint32_t(old.size()), body.data(), uint32_t(body.size()), &result)
          .ok();
  double seconds = secondsSince(start);
  if (!applied || !writeWhole(outPath, result)) return 1;
  std::printf("%.2f\n", seconds);
  return 0;
}

int sort(const char* oldPath) {
  Bytes old;
  if (!readWhole(oldPath, old)) return 2;
  std::vector<int32_t> I(old.size() + 1);
  std::vector<int32_t> V(old.size() + 1);
  Clock::time_point start = Clock::now();
  quor::ownSuffixSort<int32_t>(I.data(), V.data(), old.data(), int32_t(old.size()));
  std::printf("%.2f\n", secondsSince(start));
  return 0;
}

int pack(const char* path) {
  Bytes data;
  if (!readWhole(path, data)) return 2;
  std::ostringstream out;
  if (!quor::containerEncode(quor::generic, data.data(), uint32_t(data.size()), out).ok()) {
    return 1;
  }
  std::printf("%zu\n", out.str().size());
  return 0;
}

// The container size of old → newData's patch by one set of match rules.
bool rulesSize(const Bytes& old, const Bytes& newData, const quor::MatchRules& rules,
               size_t* size) {
  Bytes body;
  auto append = [](void* stream, const uint8_t* bytes, size_t count) {
    Bytes& to = *static_cast<Bytes*>(stream);
    to.insert(to.end(), bytes, bytes + count);
    return 0;
  };
  quor::DiffWriter writer{&body, std::malloc, std::free, append};
  if (!quor::writePatchBody(old.data(), uint32_t(old.size()), newData.data(),
                            uint32_t(newData.size()), rules, writer).ok()) {
    return false;
  }
  std::ostringstream out;
  if (!quor::containerEncode(quor::binary_patch, body.data(), uint32_t(body.size()), out).ok()) {
    return false;
  }
  *size = out.str().size();
  return true;
}

int rules(const char* oldPath, const char* newPath) {
  Bytes old;
  Bytes newData;
  if (!readWhole(oldPath, old) || !readWhole(newPath, newData)) return 2;
  size_t shortSize = 0;
  size_t longSize = 0;
  if (!rulesSize(old, newData, quor::kShortMatchRules, &shortSize) ||
      !rulesSize(old, newData, quor::kLongMatchRules, &longSize)) {
    return 1;
  }
  std::printf("%zu %zu\n", shortSize, longSize);
  return 0;
}

// A minor release of a program: blocks of 2 to 8 KB; in most a small edit
// every 150 to 550 bytes, in one of three one every 12 to 42 bytes (as
// operands that point across moved code); in every other block 1 to 12
// bytes inserted, which shift everything after them.
int minor(const char* oldPath, const char* newPath) {
  Bytes old;
  if (!readWhole(oldPath, old)) return 2;
  std::mt19937 random(20261209);
  Bytes out;
  out.reserve(old.size() + old.size() / 256);
  for (size_t at = 0; at < old.size();) {
    size_t length = std::min<size_t>(old.size() - at, 2000 + random() % 6000);
    Bytes block(old.begin() + long(at), old.begin() + long(at + length));
    at += length;
    size_t gap = random() % 3 == 0 ? 12 + random() % 30 : 150 + random() % 400;
    for (size_t i = random() % gap; i + 4 <= block.size(); i += 1 + random() % gap) {
      block[i] = uint8_t(block[i] + 1 + random() % 8);
    }
    if (random() % 2) {
      block.insert(block.begin() + long(random() % block.size()), 1 + random() % 12, 0x90);
    }
    out.insert(out.end(), block.begin(), block.end());
  }
  return writeWhole(newPath, out) ? 0 : 1;
}

// One asset of a game's data pack: a texture, a mesh, a sound, a text file
// or already-compressed bytes, behind a small header with its name.
Bytes makeAsset(std::mt19937& random, size_t size) {
  Bytes asset;
  std::string name = "asset_" + std::to_string(random()) + ".bin";
  asset.insert(asset.end(), name.begin(), name.end());
  asset.push_back(0);
  for (int i = 0; i < 4; ++i) asset.push_back(uint8_t(size >> (8 * i)));
  switch (random() % 5) {
    case 0: {  // texture: gradients with a little noise
      uint32_t a = random() % 7;
      uint32_t b = random() % 5;
      for (size_t i = 0; asset.size() < size; ++i) {
        uint32_t x = uint32_t(i % 1024);
        uint32_t y = uint32_t(i / 1024);
        asset.push_back(uint8_t(x * a + y * b + random() % 8));
      }
      break;
    }
    case 1: {  // mesh: float positions along a random walk
      float position[3] = {0, 0, 0};
      while (asset.size() < size) {
        for (float& coordinate : position) {
          coordinate += float(int(random() % 200) - 100) / 1000.0f;
          uint8_t bytes[4];
          std::memcpy(bytes, &coordinate, 4);
          asset.insert(asset.end(), bytes, bytes + 4);
        }
      }
      break;
    }
    case 2: {  // sound: 16-bit samples of a tone with noise
      double frequency = 0.01 + (random() % 100) / 1000.0;
      for (size_t t = 0; asset.size() < size; ++t) {
        int16_t sample = int16_t(8000 * std::sin(frequency * double(t)) + int(random() % 64));
        asset.push_back(uint8_t(sample));
        asset.push_back(uint8_t(sample >> 8));
      }
      break;
    }
    case 3: {  // text
      static const char* words[] = {"<entity", "name=", "\"door\"", "position=", "1.5",
                                    "/>",      "\n",    "script", "trigger", "quor"};
      while (asset.size() < size) {
        std::string word = words[random() % 10];
        asset.insert(asset.end(), word.begin(), word.end());
        asset.push_back(' ');
      }
      break;
    }
    default:  // already compressed
      while (asset.size() < size) asset.push_back(uint8_t(random()));
  }
  asset.resize(size);
  return asset;
}

size_t assetSize(std::mt19937& random) {
  size_t sizes[] = {4 << 10, 64 << 10, 256 << 10, 1 << 20, 2 << 20};
  return sizes[random() % 5] / 2 + random() % sizes[random() % 5];
}

// Writes the pack and its next version asset by asset, each asset made
// again from its own seed when needed, so any size takes little memory.
// The next version: 5% of the assets removed, 5% new ones inserted, 10%
// edited (a range rewritten, sometimes with a different length), 3% moved
// some 50 assets further on.
int assets(const char* oldPath, const char* newPath, size_t packSize) {
  std::mt19937 random(20240601);
  std::vector<std::pair<uint32_t, size_t>> pack;  // seed and size of each asset
  for (size_t total = 0; total < packSize;) {
    size_t size = std::min(assetSize(random), packSize - total);
    pack.push_back({uint32_t(random()), size});
    total += size;
  }
  auto asset = [&](size_t i) {
    std::mt19937 own(pack[i].first);
    return makeAsset(own, pack[i].second);
  };
  std::ofstream old(oldPath, std::ios::binary);
  std::ofstream next(newPath, std::ios::binary);
  auto put = [](std::ofstream& out, const Bytes& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  };
  std::vector<std::pair<size_t, size_t>> moved;  // asset, where it goes
  for (size_t i = 0; i < pack.size(); ++i) {
    Bytes original = asset(i);
    put(old, original);
    uint32_t roll = random() % 100;
    if (roll >= 20 && roll < 23) {
      moved.push_back({i, i + 50});
    } else if (roll >= 5) {
      if (roll < 10) put(next, makeAsset(random, assetSize(random)));
      Bytes changed = std::move(original);
      if (roll >= 10 && roll < 20 && changed.size() > 64) {
        size_t at = random() % (changed.size() - 32);
        size_t length = std::min<size_t>(changed.size() - at, 1 + random() % 65536);
        Bytes replacement = makeAsset(random, roll < 15 ? length : 1 + random() % 65536);
        changed.erase(changed.begin() + long(at), changed.begin() + long(at + length));
        changed.insert(changed.begin() + long(at), replacement.begin(), replacement.end());
      }
      put(next, changed);
    }
    while (!moved.empty() && (moved.front().second == i || i + 1 == pack.size())) {
      put(next, asset(moved.front().first));
      moved.erase(moved.begin());
    }
  }
  old.close();
  next.close();
  return old && next ? 0 : 1;
}

// A series of releases of one pack: release 0 as the asset pack above,
// each later one with changedPercent of the pack's bytes rewritten, in
// ranges of up to 64 KiB of assets chosen at random (half of them with a
// different length). Every asset is made again from its seed and its
// edits, so any size takes little memory. Writes prefix.0 ... prefix.N-1.
struct SeriesAsset {
  uint32_t seed;
  size_t size;                  // as first made
  size_t currentSize;           // after its edits
  std::vector<uint32_t> edits;  // the seeds of its edits, oldest first
};

// Where an edit of an asset of size bytes goes, drawn from its seed; the
// replacement's bytes are drawn from the same generator after these.
struct EditShape {
  size_t at, length, newLength;
};

EditShape editShape(std::mt19937& random, size_t size) {
  EditShape shape;
  shape.at = random() % (size - 32);
  shape.length = std::min<size_t>(size - shape.at, 1 + random() % 65536);
  shape.newLength = random() % 2 == 0 ? shape.length : 1 + random() % 65536;
  return shape;
}

Bytes seriesAsset(const SeriesAsset& asset) {
  std::mt19937 own(asset.seed);
  Bytes bytes = makeAsset(own, asset.size);
  for (uint32_t edit : asset.edits) {
    std::mt19937 random(edit);
    EditShape shape = editShape(random, bytes.size());
    Bytes replacement = makeAsset(random, shape.newLength);
    bytes.erase(bytes.begin() + long(shape.at), bytes.begin() + long(shape.at + shape.length));
    bytes.insert(bytes.begin() + long(shape.at), replacement.begin(), replacement.end());
  }
  return bytes;
}

int series(const char* prefix, int count, size_t packSize, unsigned changedPercent) {
  std::mt19937 random(20261209);
  std::vector<SeriesAsset> pack;
  for (size_t total = 0; total < packSize;) {
    size_t size = std::max<size_t>(std::min(assetSize(random), packSize - total), 4096);
    pack.push_back({uint32_t(random()), size, size, {}});
    total += size;
  }
  for (int release = 0; release < count; ++release) {
    for (size_t changed = 0; release > 0 && changed < packSize / 100 * changedPercent;) {
      SeriesAsset& asset = pack[random() % pack.size()];
      uint32_t edit = uint32_t(random());
      std::mt19937 shapeRandom(edit);
      EditShape shape = editShape(shapeRandom, asset.currentSize);
      if (asset.currentSize - shape.length + shape.newLength < 4096) continue;
      asset.edits.push_back(edit);
      asset.currentSize = asset.currentSize - shape.length + shape.newLength;
      changed += std::max(shape.length, shape.newLength);
    }
    std::ofstream out(std::string(prefix) + "." + std::to_string(release), std::ios::binary);
    for (const SeriesAsset& asset : pack) {
      Bytes bytes = seriesAsset(asset);
      out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    if (!out) return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "diff" && (argc == 5 || argc == 6)) {
    uint64_t budget = argc == 6 ? std::stoull(argv[5]) << 20 : quor::kPatchMemoryBudget;
    return diff(argv[2], argv[3], argv[4], budget);
  }
  if (command == "apply" && argc == 5) return apply(argv[2], argv[3], argv[4]);
  if (command == "sort" && argc == 3) return sort(argv[2]);
  if (command == "rules" && argc == 4) return rules(argv[2], argv[3]);
  if (command == "minor" && argc == 4) return minor(argv[2], argv[3]);
  if (command == "pack" && argc == 3) return pack(argv[2]);
  if (command == "assets" && (argc == 4 || argc == 5)) {
    return assets(argv[2], argv[3], size_t(argc == 5 ? std::stoull(argv[4]) : 64) << 20);
  }
  if (command == "series" && argc == 6) {
    return series(argv[2], std::stoi(argv[3]), size_t(std::stoull(argv[4])) << 20,
                  unsigned(std::stoul(argv[5])));
  }
  std::fprintf(stderr,
               "usage: patch_bench diff OLD NEW PATCH [BUDGET_MIB] | apply OLD PATCH OUT |"
               " sort OLD | pack FILE | assets OLD NEW [MIB] | rules OLD NEW | minor OLD NEW |"
               " series PREFIX COUNT MIB PERCENT\n");
  return 2;
}
