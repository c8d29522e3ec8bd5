// Patch benchmark helper, driven by bench/patch_bench.sh:
//
//   patch_bench diff OLD NEW PATCH   make the patch container, print create seconds
//   patch_bench apply OLD PATCH OUT  decode and apply it, print apply seconds
//   patch_bench sort OLD             suffix-sort OLD alone with the project's own
//                                    sort, print seconds
//   patch_bench assets OLD NEW       write a 64 MiB synthetic asset pack and
//                                    its next version (blocks inserted,
//                                    removed and edited)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "container/container.h"
#include "patch/diff.h"
#include "patch/patch.h"
#include "patch/suffix_sort.h"

namespace {

using quor::Bytes;
using Clock = std::chrono::steady_clock;

bool readWhole(const char* path, Bytes& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool writeWhole(const char* path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  return static_cast<bool>(out);
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int diff(const char* oldPath, const char* newPath, const char* patchPath) {
  Bytes old;
  Bytes newData;
  if (!readWhole(oldPath, old) || !readWhole(newPath, newData)) return 2;
  std::ofstream out(patchPath, std::ios::binary);
  Clock::time_point start = Clock::now();
  bool made = quor::bsdiff(old.data(), uint32_t(old.size()), newData.data(),
                           uint32_t(newData.size()), out).ok();
  out.close();
  double seconds = secondsSince(start);
  if (!made || !out) return 1;
  std::printf("%.2f\n", seconds);
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

int assets(const char* oldPath, const char* newPath) {
  constexpr size_t kPackSize = size_t(64) << 20;
  std::mt19937 random(20240601);
  std::vector<Bytes> pack;
  size_t total = 0;
  while (total < kPackSize) {
    pack.push_back(makeAsset(random, std::min(assetSize(random), kPackSize - total)));
    total += pack.back().size();
  }
  Bytes old;
  for (const Bytes& asset : pack) old.insert(old.end(), asset.begin(), asset.end());

  // The next version: 5% of the assets removed, 5% new ones inserted, 10%
  // edited (a range rewritten, sometimes with a different length).
  Bytes next;
  for (const Bytes& asset : pack) {
    uint32_t roll = random() % 100;
    if (roll < 5) continue;
    if (roll < 10) {
      Bytes inserted = makeAsset(random, assetSize(random));
      next.insert(next.end(), inserted.begin(), inserted.end());
    }
    Bytes changed = asset;
    if (roll >= 10 && roll < 20 && changed.size() > 64) {
      size_t at = random() % (changed.size() - 32);
      size_t length = std::min<size_t>(changed.size() - at, 1 + random() % 65536);
      Bytes replacement = makeAsset(random, roll < 15 ? length : 1 + random() % 65536);
      changed.erase(changed.begin() + long(at), changed.begin() + long(at + length));
      changed.insert(changed.begin() + long(at), replacement.begin(), replacement.end());
    }
    next.insert(next.end(), changed.begin(), changed.end());
  }
  return writeWhole(oldPath, old) && writeWhole(newPath, next) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "diff" && argc == 5) return diff(argv[2], argv[3], argv[4]);
  if (command == "apply" && argc == 5) return apply(argv[2], argv[3], argv[4]);
  if (command == "sort" && argc == 3) return sort(argv[2]);
  if (command == "assets" && argc == 4) return assets(argv[2], argv[3]);
  std::fprintf(stderr,
               "usage: patch_bench diff OLD NEW PATCH | apply OLD PATCH OUT | sort OLD |"
               " assets OLD NEW\n");
  return 2;
}
