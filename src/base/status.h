// The outcome of an operation that can fail: success, or a kind and a
// message. The message is complete and fit for the log as it stands
// ("cannot open ./a.bin: No such file or directory"); the operation that
// fails never logs it, its caller decides whether and how to report it.
// Operations that also produce a value return a Status and fill an
// out-parameter only on success.
//
// Every layer below the modes reports its failures this way; only the
// modes (update/, create/) and the programs (app/, server/main.cpp) write
// log lines, whose texts are the programs' fixed output. The one exception
// is kept on purpose: the MD5 digest's misuse reports and compressedTag's
// unknown type are log lines of their own, as every peer's log has them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace quor {

class [[nodiscard]] Status {
 public:
  enum class Kind : uint8_t {
    kOk,
    kNotFound,     // nothing of that name or type is there
    kIoError,      // the file system or a stream refused
    kCorrupt,      // bytes that do not decode to what they claim
    kOutOfMemory,  // working memory could not be had
    kTooLarge,     // beyond what the format or the program can hold
    kInvalid,      // an argument the operation does not take (a command line)
  };

  Status() = default;  // success

  static Status notFound(std::string message) { return {Kind::kNotFound, std::move(message)}; }
  static Status ioError(std::string message) { return {Kind::kIoError, std::move(message)}; }
  static Status corrupt(std::string message) { return {Kind::kCorrupt, std::move(message)}; }
  static Status outOfMemory(std::string message) {
    return {Kind::kOutOfMemory, std::move(message)};
  }
  static Status tooLarge(std::string message) { return {Kind::kTooLarge, std::move(message)}; }
  static Status invalid(std::string message) { return {Kind::kInvalid, std::move(message)}; }

  bool ok() const { return kind_ == Kind::kOk; }
  Kind kind() const { return kind_; }
  // Empty on success.
  const std::string& message() const { return message_; }

 private:
  Status(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_ = Kind::kOk;
  std::string message_;
};

}  // namespace quor
