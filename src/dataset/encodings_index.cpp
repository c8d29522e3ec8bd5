#include "dataset/encodings_index.h"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace quor {
namespace {

constexpr std::string_view kIndexHeader = "quor_encodings 1\n";

// A decimal number without leading zeros that fits in *value.
template <typename Number>
bool parseDecimal(std::string_view text, Number* value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

bool kindOfText(std::string_view text, DataKind* kind) {
  for (DataKind candidate : kAllDataKinds) {
    if (dataKindSuffix(candidate).substr(1) == text) {
      *kind = candidate;
      return true;
    }
  }
  return false;
}

// Splits at the first separator; false when there is none.
bool cut(std::string_view* text, char separator, std::string_view* head) {
  size_t at = text->find(separator);
  if (at == std::string_view::npos) return false;
  *head = text->substr(0, at);
  text->remove_prefix(at + 1);
  return true;
}

bool isBaseTag(std::string_view text) {
  return text.size() == kBaseTagLength && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

Status badLine(size_t number) {
  return Status::corrupt("encodings.index: line " + std::to_string(number) +
                         " does not follow the format");
}

}  // namespace

std::string indexedFileName(uint32_t fileNumber, const IndexedFile& file) {
  return file.tagged ? taggedPatchName(fileNumber, file.base, file.kind)
                     : dataFileName(fileNumber, file.kind);
}

Bytes encodeEncodingsIndex(const std::vector<std::pair<uint32_t, IndexedFile>>& lines) {
  std::string text(kIndexHeader);
  for (const auto& [fileNumber, file] : lines) {
    text += indexedFileName(fileNumber, file) + " " + std::to_string(file.size) + " " +
            std::to_string(file.base) + "\n";
  }
  return Bytes(text.begin(), text.end());
}

Status parseEncodingsIndex(const uint8_t* data, size_t size, EncodingsIndex* index) {
  if (size > kMaxEncodingsIndexSize) return Status::tooLarge("encodings.index: too large");
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!text.starts_with(kIndexHeader)) return Status::corrupt("encodings.index: no header");
  text.remove_prefix(kIndexHeader.size());
  EncodingsIndex parsed;
  for (size_t number = 2; !text.empty(); ++number) {
    std::string_view line, name, fileNumberText, kindText, sizeText, baseText;
    if (!cut(&text, '\n', &line) || !cut(&line, ' ', &name) || !cut(&line, ' ', &sizeText)) {
      return badLine(number);
    }
    baseText = line;
    const std::string_view wholeName = name;
    if (!cut(&name, '.', &fileNumberText)) return badLine(number);
    kindText = name;
    uint32_t fileNumber = 0;
    IndexedFile file{DataKind::kWhole};
    if (!parseDecimal(fileNumberText, &fileNumber) || !parseDecimal(sizeText, &file.size) ||
        !parseDecimal(baseText, &file.base) || kindText.empty()) {
      return badLine(number);
    }
    std::string_view tagText;
    file.tagged = cut(&kindText, '.', &tagText);
    if (file.tagged && !isBaseTag(tagText)) continue;  // a name of a later writer
    if (!kindOfText(kindText, &file.kind)) continue;   // a kind of a later writer
    if (isPatchKind(file.kind) != (file.base != 0)) return badLine(number);
    if (file.tagged && (!isPatchKind(file.kind) || indexedFileName(fileNumber, file) != wholeName)) {
      return badLine(number);
    }
    std::vector<IndexedFile>& listed = parsed.files[fileNumber];
    if (listed.size() == kMaxIndexedPerEntry) {
      return Status::corrupt("encodings.index: too many files for " + std::to_string(fileNumber));
    }
    listed.push_back(file);
  }
  *index = std::move(parsed);
  return {};
}

}  // namespace quor
