// Where the update run gets the update data set from: the one seam between
// the run and a transport. The run asks through it; the answers arrive in
// the FileUpdateController (update/file_update_controller.h), stored there
// by the transport's own thread, and the run takes them from it.
// update/enet_source.h speaks to an update server over ENet.
//
// Every request is queued and never waited for; it is false when it could
// not be sent (no connection), and the run's wait for its answer then ends
// as for one that never comes (update/reply_wait.h).
//
// Threads: the run's thread and the request pump's thread call a source at
// the same time, and the controller's network thread may ask ahead through
// it (FileUpdateController::askAheadFor); every operation must be safe to
// call from any thread while the source lives.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace quor {

class UpdateSource {
 public:
  virtual ~UpdateSource() = default;

  // The hello that asks the server whether it sends files in pieces; sent
  // before the manifest request, whose answer comes after the offer.
  virtual bool sendHello() = 0;
  // The manifest ("manifest.manifest").
  virtual bool requestManifest() = 0;
  // A whole file of the data set by name: "17.compressed", "manifest.sig".
  virtual bool requestFile(const std::string& name) = 0;
  // length bytes of name from offset on.
  virtual bool requestRange(const std::string& name, uint64_t offset, uint32_t length) = 0;

  // Whether a request whose answer may bring weight bytes keeps within the
  // download cap (always true without one).
  virtual bool mayRequest(uint64_t weight) = 0;
  // Every byte received from the server so far: a reply still on its way
  // keeps this moving while the run waits for it.
  virtual uint64_t bytesReceived() = 0;
  // False once the server can answer nothing more (every connection gone).
  virtual bool connected() = 0;

  // From now on the size each update data file must have (none: not
  // known), from a signed update: a source whose answers tell a file's
  // size before its bytes come may stop a server that sends more at once.
  // signedSize must outlive the source's use. By default nothing is done:
  // the run checks every file's size itself.
  using SignedSizes = std::function<std::optional<uint64_t>(const std::string& name)>;
  virtual void expectSizes(SignedSizes /*signedSize*/) {}
};

// The weight of a whole file's answer, whose size is not known before it
// comes: it counts as much as one piece when the download cap is reckoned.
inline constexpr uint64_t kWholeFileRequestWeight = 1u << 20;

}  // namespace quor
