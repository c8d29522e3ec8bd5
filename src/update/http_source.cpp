#include "update/http_source.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <vector>

#include "dataset/layout.h"
#include "platform/crypto.h"
#include "platform/file_seek.h"
#include "platform/native_path.h"
#include "protocol/transport_limits.h"

namespace quor {

uint64_t versionOfValidator(const std::string& validator) {
  if (validator.empty()) return 0;
  Sha256Digest digest =
      sha256Of(reinterpret_cast<const uint8_t*>(validator.data()), validator.size());
  uint64_t version = 0;
  for (int i = 0; i < 8; ++i) version = version << 8 | digest[i];
  return version;
}

bool parseContentRange(const std::string& text, uint64_t* first, uint64_t* last, uint64_t* total) {
  unsigned long long a = 0, b = 0, t = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "bytes %llu-%llu/%llu%n", &a, &b, &t, &used) != 3) return false;
  if (static_cast<size_t>(used) != text.size() || a > b || b >= t) return false;
  *first = a;
  *last = b;
  *total = t;
  return true;
}

namespace {

std::string validatorIn(const HttpHead& head) {
  return !head.etag.empty() ? head.etag : head.lastModified;
}

bool isRefusal(int status) { return status == 403 || status == 404 || status == 410; }

}  // namespace

// A whole file that came as the answer to a range request, on disk in the
// staging folder, answering the pieces asked of it as its bytes arrive.
// Guarded by the source's lock.
class HttpSource::Spill {
 public:
  Spill(std::string path, uint64_t size, uint64_t version, FILE* file)
      : path_(std::move(path)), size_(size), version_(version), file_(file) {}
  ~Spill() {
    std::fclose(file_);
    removeFile(path_);
  }

  uint64_t size() const { return size_; }
  bool write(const uint8_t* data, size_t size) {
    if (written_ + size > size_) return false;
    if (!seekFile(file_, written_) || std::fwrite(data, 1, size, file_) != size) return false;
    written_ += size;
    return true;
  }
  void ask(uint64_t offset, uint32_t length) { asked_[offset] = length; }
  void end(bool whole) { ended_ = true, whole_ = whole && written_ == size_; }
  bool failed() const { return ended_ && !whole_; }

  // The pieces asked for whose bytes are all on disk now, read back.
  std::vector<std::pair<uint64_t, Bytes>> ready() {
    std::vector<std::pair<uint64_t, Bytes>> pieces;
    std::fflush(file_);
    for (auto it = asked_.begin(); it != asked_.end();) {
      uint64_t end = std::min(size_, it->first + it->second);
      if (it->first < size_ && end > written_) break;
      Bytes data(it->first < size_ ? end - it->first : 0);
      if (!data.empty() && (!seekFile(file_, it->first) ||
                            std::fread(data.data(), 1, data.size(), file_) != data.size())) {
        break;
      }
      pieces.emplace_back(it->first, std::move(data));
      it = asked_.erase(it);
    }
    return pieces;
  }
  uint64_t version() const { return version_; }

 private:
  std::string path_;
  uint64_t size_;
  uint64_t version_;
  FILE* file_;
  uint64_t written_ = 0;
  std::map<uint64_t, uint32_t> asked_;
  bool ended_ = false;
  bool whole_ = false;
};

// One request on its way. Its handler operations run on the client's
// thread.
class HttpSource::Transfer : public HttpHandler {
 public:
  Transfer(HttpSource& source, std::string name) : source_(source), name_(std::move(name)) {}
  void setWeight(uint64_t weight) { weight_ = weight; }

 protected:
  void done() { source_.finished(this, weight_); }
  HttpSource& source_;
  const std::string name_;
  uint64_t weight_ = 0;
};

namespace {

class WholeTransfer final : public HttpSource::Transfer {
 public:
  WholeTransfer(HttpSource& source, FileUpdateController& controller, std::string name)
      : Transfer(source, std::move(name)), controller_(controller) {}

  bool onHead(const HttpHead& head) override {
    status_ = head.status;
    if (head.status != 200) return false;
    if (head.contentLength && *head.contentLength > kMaxWholeReplyBytes) return false;
    return true;
  }
  bool onBody(const uint8_t* data, size_t size) override {
    if (body_.size() + size > kMaxWholeReplyBytes) return false;
    body_.insert(body_.end(), data, data + size);
    return true;
  }
  void onEnd(Status status) override {
    if (status.ok() && status_ == 200) {
      controller_.onFileReply(name_, static_cast<uint32_t>(body_.size()), body_.data());
    } else {
      controller_.onFileReply(name_, 0, nullptr);
      if (!isRefusal(status_)) {
        bool answered = status_ != 0 && status_ != 200;
        source_.giveUp(answered ? name_ + " was answered " + std::to_string(status_)
                                : name_ + ": " + status.message(),
                       answered);
      }
    }
    done();
  }

 private:
  FileUpdateController& controller_;
  int status_ = 0;
  Bytes body_;
};

}  // namespace

// A piece: "Range: bytes=offset-(offset+length-1)".
class PieceTransfer final : public HttpSource::Transfer {
 public:
  PieceTransfer(HttpSource& source, std::string name, uint64_t offset, uint32_t length)
      : Transfer(source, std::move(name)), offset_(offset), length_(length) {}

  bool onHead(const HttpHead& head) override;
  bool onBody(const uint8_t* data, size_t size) override;
  void onEnd(Status status) override;

 private:
  friend class HttpSource;
  enum class Kind { kUnknown, kPiece, kWholeAsPiece, kSpill, kAnswered, kLie };
  bool takeWholeFile(const HttpHead& head);

  uint64_t offset_;
  uint32_t length_;
  Kind kind_ = Kind::kUnknown;
  int status_ = 0;
  uint64_t fileSize_ = 0;
  uint64_t version_ = 0;
  uint64_t expected_ = 0;
  Bytes data_;
  HttpSource::Spill* spill_ = nullptr;
  std::string lie_;
};

HttpSource::HttpSource(std::unique_ptr<HttpClient> client, std::string dataUrl,
                       FileUpdateController& controller, uint64_t limitRate)
    : dataUrl_(std::move(dataUrl)), controller_(controller), client_(std::move(client)) {
  if (limitRate != 0) {
    MutexLock lock(&lock_);
    rateGate_.emplace(limitRate, RateGate::Clock::now(), client_->bytesReceived());
  }
}

HttpSource::~HttpSource() {
  client_->cancelAll();
  client_.reset();
  MutexLock lock(&lock_);
  if (spills_.empty()) return;
  spills_.clear();
  // The staging folder goes when the spills were all it held.
  std::error_code ignored;
  std::filesystem::remove(toNativePath(kStagingFolder), ignored);
}

bool HttpSource::sendHello() {
  RangeOffer offer;
  offer.maxPieceSize = kMaxPieceSize;
  controller_.onRangeOffer(offer);
  return true;
}

bool HttpSource::requestManifest() { return requestFile(kManifestName); }

bool HttpSource::requestFile(const std::string& name) {
  auto transfer = std::make_unique<WholeTransfer>(*this, controller_, name);
  HttpRequest request;
  request.url = dataUrl_ + name;
  return start(std::move(transfer), request, kWholeFileRequestWeight);
}

bool HttpSource::requestRange(const std::string& name, uint64_t offset, uint32_t length) {
  if (length == 0 || !connected()) return false;
  if (answerFromSpill(name, std::make_pair(offset, length))) return true;
  HttpRequest request;
  request.url = dataUrl_ + name;
  request.range = {offset, offset + length - 1};
  request.ifRange = validatorOf(name);
  return start(std::make_unique<PieceTransfer>(*this, name, offset, length), request, length);
}

bool HttpSource::start(std::unique_ptr<Transfer> transfer, const HttpRequest& request,
                       uint64_t weight) {
  Transfer* handler = transfer.get();
  transfer->setWeight(weight);
  {
    MutexLock lock(&lock_);
    if (!lostReason_.empty()) return false;
    open_.emplace(handler, std::move(transfer));
    inFlightWeight_ += weight;
  }
  if (client_->start(request, handler)) return true;
  finished(handler, weight);
  return false;
}

void HttpSource::finished(Transfer* transfer, uint64_t weight) {
  std::unique_ptr<Transfer> gone;
  MutexLock lock(&lock_);
  auto found = open_.find(transfer);
  if (found == open_.end()) return;
  gone = std::move(found->second);
  open_.erase(found);
  inFlightWeight_ -= weight;
}

void HttpSource::giveUp(const std::string& reason, bool answeredWrongly) {
  {
    MutexLock lock(&lock_);
    if (!lostReason_.empty()) return;
    lostReason_ = reason;
    answeredWrongly_ = answeredWrongly;
  }
  controller_.onDisconnected();
}

std::string HttpSource::lostReason() {
  MutexLock lock(&lock_);
  return lostReason_;
}

bool HttpSource::answeredWrongly() {
  MutexLock lock(&lock_);
  return answeredWrongly_;
}

bool HttpSource::mayRequest(uint64_t weight) {
  MutexLock lock(&lock_);
  if (!rateGate_) return true;
  return rateGate_->allows(client_->bytesReceived(), inFlightWeight_, weight,
                           RateGate::Clock::now());
}

uint64_t HttpSource::bytesReceived() { return client_->bytesReceived(); }

bool HttpSource::connected() {
  MutexLock lock(&lock_);
  return lostReason_.empty();
}

void HttpSource::expectSizes(SignedSizes signedSize) {
  MutexLock lock(&lock_);
  signedSize_ = std::move(signedSize);
}

std::string HttpSource::unsignedSize(const std::string& name, uint64_t size) {
  MutexLock lock(&lock_);
  std::optional<uint64_t> expected = signedSize_ ? signedSize_(name) : std::nullopt;
  if (!expected || *expected == size) return "";
  return name + " is " + std::to_string(size) + " bytes, manifest.sig says " +
         std::to_string(*expected);
}

std::string HttpSource::validatorOf(const std::string& name) {
  MutexLock lock(&lock_);
  auto found = validators_.find(name);
  return found == validators_.end() ? std::string() : found->second;
}

void HttpSource::noteValidator(const std::string& name, const std::string& validator) {
  MutexLock lock(&lock_);
  validators_[name] = validator;
}

HttpSource::Spill* HttpSource::startSpill(const std::string& name, uint64_t size,
                                          uint64_t version, std::pair<uint64_t, uint32_t> ask,
                                          bool* exists) {
  MutexLock lock(&lock_);
  *exists = spills_.count(name) != 0;
  if (*exists) return nullptr;
  std::string path = std::string(kStagingFolder) + "/" + name + ".whole";
  std::error_code ignored;
  std::filesystem::create_directories(toNativePath(kStagingFolder), ignored);
  FILE* file = openFile(path, "w+b");
  if (file == nullptr) return nullptr;
  auto& spill = spills_[name];
  spill = std::make_unique<Spill>(path, size, version, file);
  spill->ask(ask.first, ask.second);
  return spill.get();
}

bool HttpSource::writeSpill(const std::string& name, const uint8_t* data, size_t size) {
  {
    MutexLock lock(&lock_);
    auto found = spills_.find(name);
    if (found == spills_.end() || !found->second->write(data, size)) return false;
  }
  answerFromSpill(name, std::nullopt);
  return true;
}

void HttpSource::endSpill(const std::string& name, bool whole) {
  bool failed = false;
  {
    MutexLock lock(&lock_);
    auto found = spills_.find(name);
    if (found == spills_.end()) return;
    found->second->end(whole);
    failed = found->second->failed();
  }
  if (failed) {
    giveUp(name + " came whole and broke off", false);
    return;
  }
  answerFromSpill(name, std::nullopt);
}

bool HttpSource::answerFromSpill(const std::string& name,
                                 std::optional<std::pair<uint64_t, uint32_t>> ask) {
  std::vector<std::pair<uint64_t, Bytes>> ready;
  FileRangeReply reply;
  {
    MutexLock lock(&lock_);
    auto found = spills_.find(name);
    if (found == spills_.end()) return false;
    Spill& spill = *found->second;
    if (ask) spill.ask(ask->first, ask->second);
    ready = spill.ready();
    reply.fileSize = spill.size();
    reply.fileVersion = spill.version();
  }
  reply.name = name;
  for (auto& [offset, data] : ready) {
    reply.offset = offset;
    reply.status = data.empty() ? kRangeStatusBeyondEnd : kRangeStatusOk;
    reply.data = ByteSpan(data.data(), data.size());
    answer(reply);
  }
  return true;
}

void HttpSource::answer(const FileRangeReply& reply) { controller_.onFileRangeReply(reply); }

// The answer to a range request that is the whole file: one that fits the
// piece is that piece; a larger one goes to a spill file.
bool PieceTransfer::takeWholeFile(const HttpHead& head) {
  if (!head.contentLength || *head.contentLength > kMaxRangeFileBytes) {
    lie_ = name_ + " came whole without a length";
    kind_ = Kind::kLie;
    return false;
  }
  fileSize_ = *head.contentLength;
  lie_ = source_.unsignedSize(name_, fileSize_);
  if (!lie_.empty()) {
    kind_ = Kind::kLie;
    return false;
  }
  version_ = versionOfValidator(validatorIn(head));
  source_.noteValidator(name_, validatorIn(head));
  if (offset_ == 0 && fileSize_ <= length_) {
    kind_ = Kind::kWholeAsPiece;
    expected_ = fileSize_;
    return true;
  }
  bool exists = false;
  spill_ = source_.startSpill(name_, fileSize_, version_, {offset_, length_}, &exists);
  if (exists) {
    kind_ = Kind::kAnswered;  // another transfer fills the spill already
    return false;
  }
  if (spill_ == nullptr) {
    lie_ = name_ + " came whole and could not be kept on disk";
    kind_ = Kind::kLie;
    return false;
  }
  kind_ = Kind::kSpill;
  return true;
}

bool PieceTransfer::onHead(const HttpHead& head) {
  status_ = head.status;
  if (head.status == 200) return takeWholeFile(head);
  if (head.status != 206) return false;
  uint64_t first = 0, last = 0, total = 0;
  if (!parseContentRange(head.contentRange, &first, &last, &total) || first != offset_ ||
      last - first >= length_ || total > kMaxRangeFileBytes) {
    lie_ = name_ + " came with the range \"" + head.contentRange + "\" for bytes " +
           std::to_string(offset_) + " on";
    kind_ = Kind::kLie;
    return false;
  }
  lie_ = source_.unsignedSize(name_, total);
  if (!lie_.empty()) {
    kind_ = Kind::kLie;
    return false;
  }
  kind_ = Kind::kPiece;
  fileSize_ = total;
  expected_ = last - first + 1;
  version_ = versionOfValidator(validatorIn(head));
  source_.noteValidator(name_, validatorIn(head));
  return true;
}

bool PieceTransfer::onBody(const uint8_t* data, size_t size) {
  if (kind_ == Kind::kSpill) return source_.writeSpill(name_, data, size);
  if (data_.size() + size > expected_) {
    lie_ = name_ + " brought more bytes than it was asked for";
    kind_ = Kind::kLie;
    return false;
  }
  data_.insert(data_.end(), data, data + size);
  return true;
}

void PieceTransfer::onEnd(Status status) {
  FileRangeReply reply;
  reply.name = name_;
  reply.offset = offset_;
  reply.fileSize = fileSize_;
  reply.fileVersion = version_;
  switch (kind_) {
    case Kind::kPiece:
    case Kind::kWholeAsPiece:
      if (status.ok() && data_.size() == expected_) {
        reply.data = ByteSpan(data_.data(), data_.size());
        source_.answer(reply);
      } else {
        source_.giveUp(name_ + ": " + (status.ok() ? "a piece came short" : status.message()),
                       status.ok());
      }
      break;
    case Kind::kSpill:
      source_.endSpill(name_, status.ok());
      break;
    case Kind::kAnswered:
      source_.requestRange(name_, offset_, length_);
      break;
    case Kind::kLie:
      source_.giveUp(lie_, true);
      break;
    case Kind::kUnknown:
      if (status_ == 416 || isRefusal(status_)) {
        reply.status = status_ == 416 ? kRangeStatusBeyondEnd : kRangeStatusRefused;
        source_.answer(reply);
      } else if (status_ != 0) {
        source_.giveUp(name_ + " was answered " + std::to_string(status_), true);
      } else {
        source_.giveUp(name_ + ": " + status.message(), false);
      }
      break;
  }
  done();
}

}  // namespace quor
