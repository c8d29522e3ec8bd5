// The update data set from a web server or CDN: an UpdateSource
// (update/update_source.h) over HTTP(S) (platform/http_client.h). The
// answers reach the FileUpdateController as the ENet server's do, so the
// run, its staging, signing and progress are the same for both.
//
// - A whole file is one GET, gathered in memory up to kMaxWholeReplyBytes
//   (the manifest, manifest.sig).
// - A piece is one single-range GET, "Range: bytes=a-b" (never several
//   ranges: caches answer those with the whole object), with If-Range
//   holding the validator (ETag, else Last-Modified) the first piece of
//   the file brought in this run. A piece's fileVersion is a digest of
//   that validator, so a resumed staging of another version of the file
//   is started afresh by the run, as for the ENet server.
// - No answer carries more than was asked: a body longer than the range,
//   or than its own Content-Length, is cut off there and the server is
//   given up as lying. So is a file whose size, as its first answer
//   tells it, is not the signed one (expectSizes).
// - A 200 to a range request (a server that ignores Range) is taken as
//   the whole file: its bytes are written to a spill file in the staging
//   folder as they come, never held in memory, and every piece of the
//   file is answered from it.
// - 416 answers a piece as "beyond the end", 404/403/410 as "refused"; any
//   other status, a transport error or a stall gives the server up: the
//   source is then no longer connected and the run goes on with the next
//   server, as when an ENet server drops.
//
// Threads: any thread may call the operations; the answers are stored
// from the HTTP client's thread. Destroying the source cancels what is
// still on its way and waits for it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/mutex.h"
#include "client/rate_limit.h"
#include "platform/http_client.h"
#include "update/file_update_controller.h"
#include "update/update_source.h"

namespace quor {

inline constexpr uint64_t kMaxWholeReplyBytes = uint64_t{64} << 20;

class HttpSource final : public UpdateSource {
 public:
  // dataUrl: the folder of the data set's files, ending in "/". A
  // limitRate of 0 means no download cap.
  HttpSource(std::unique_ptr<HttpClient> client, std::string dataUrl,
             FileUpdateController& controller, uint64_t limitRate);
  ~HttpSource() override;
  HttpSource(const HttpSource&) = delete;
  HttpSource& operator=(const HttpSource&) = delete;

  // Every web server serves ranges: the offer is stored at once.
  bool sendHello() override;
  bool requestManifest() override;
  bool requestFile(const std::string& name) override;
  bool requestRange(const std::string& name, uint64_t offset, uint32_t length) override;
  bool mayRequest(uint64_t weight) override;
  uint64_t bytesReceived() override;
  bool connected() override;
  // A piece or whole answer that says its file has another size than
  // signed gives the server up before its bytes are taken.
  void expectSizes(SignedSizes signedSize) override EXCLUDES(lock_);

  // Why the server was given up; empty while it is in use.
  std::string lostReason() EXCLUDES(lock_);
  // Whether it was given up for what it answered (a lie, a status no
  // honest server gives), not for a transfer that failed: such a server
  // is not asked again in the same run.
  bool answeredWrongly() EXCLUDES(lock_);

  // For the transfers, on the client's thread.
  class Transfer;
  class Spill;
  void finished(Transfer* transfer, uint64_t weight) EXCLUDES(lock_);
  void giveUp(const std::string& reason, bool answeredWrongly) EXCLUDES(lock_);
  void noteValidator(const std::string& name, const std::string& validator) EXCLUDES(lock_);
  // Why a file of size bytes under name is not the signed one; empty
  // when it may be.
  std::string unsignedSize(const std::string& name, uint64_t size) EXCLUDES(lock_);
  void answer(const FileRangeReply& reply);
  // The spill file for name, made now with its first piece asked for;
  // null when there is one already (*exists) or it cannot be made.
  Spill* startSpill(const std::string& name, uint64_t size, uint64_t version,
                    std::pair<uint64_t, uint32_t> ask, bool* exists) EXCLUDES(lock_);
  bool writeSpill(const std::string& name, const uint8_t* data, size_t size) EXCLUDES(lock_);
  void endSpill(const std::string& name, bool whole) EXCLUDES(lock_);

 private:
  std::string validatorOf(const std::string& name) EXCLUDES(lock_);
  bool start(std::unique_ptr<Transfer> transfer, const HttpRequest& request, uint64_t weight)
      EXCLUDES(lock_);
  // Answers the pieces of name's spill whose bytes are there; false when
  // name has no spill.
  bool answerFromSpill(const std::string& name, std::optional<std::pair<uint64_t, uint32_t>> ask)
      EXCLUDES(lock_);

  const std::string dataUrl_;
  FileUpdateController& controller_;
  std::unique_ptr<HttpClient> client_;

  Mutex lock_;
  std::unordered_map<Transfer*, std::unique_ptr<Transfer>> open_ GUARDED_BY(lock_);
  std::unordered_map<std::string, std::string> validators_ GUARDED_BY(lock_);
  std::unordered_map<std::string, std::unique_ptr<Spill>> spills_ GUARDED_BY(lock_);
  std::optional<RateGate> rateGate_ GUARDED_BY(lock_);
  uint64_t inFlightWeight_ GUARDED_BY(lock_) = 0;
  std::string lostReason_ GUARDED_BY(lock_);
  bool answeredWrongly_ GUARDED_BY(lock_) = false;
  SignedSizes signedSize_ GUARDED_BY(lock_);
};

// The digest of a validator that a piece carries as its fileVersion.
uint64_t versionOfValidator(const std::string& validator);

// "bytes first-last/total" read; false for any other form ("*" total too).
bool parseContentRange(const std::string& text, uint64_t* first, uint64_t* last, uint64_t* total);

}  // namespace quor
