#include "dataset/layout.h"

#include "base/encoding.h"

namespace quor {
namespace {

constexpr std::string_view kWholeSuffix = ".compressed";
constexpr std::string_view kPatchSuffix = ".patch";

}  // namespace

std::string wholeFileName(uint32_t fileNumber) {
  return decimalText(fileNumber) + std::string(kWholeSuffix);
}

std::string patchFileName(uint32_t fileNumber) {
  return decimalText(fileNumber) + std::string(kPatchSuffix);
}

bool isPatchName(std::string_view name) { return name.ends_with(kPatchSuffix); }

}  // namespace quor
