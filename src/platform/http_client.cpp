#include "platform/http_client.h"

#include <algorithm>
#include <cctype>

namespace quor {
namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) == b;
         });
}

}  // namespace

bool isHttpUrl(const std::string& url) {
  return startsWithNoCase(url, "https://") || isPlainHttpUrl(url);
}

bool isPlainHttpUrl(const std::string& url) { return startsWithNoCase(url, "http://"); }

}  // namespace quor
