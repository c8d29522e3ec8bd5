// The dispatch of received packets, on every channel: the first input byte
// picks the channel (0 to 7; 7 stands for every channel above 6), the rest
// is the packet. Every argument that reaches the controller is read whole,
// so a record that points past the packet shows up as a sanitizer report.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "client/dispatch.h"

namespace quor::fuzz {
namespace {

uint32_t touch(const std::string& text) {
  uint32_t sum = 0;
  for (char c : text) sum += static_cast<uint8_t>(c);
  return sum;
}

uint32_t touch(const uint8_t* bytes, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i < size; ++i) sum += bytes[i];
  return sum;
}

uint32_t touch(const FramedRecord& record) {
  require(record.rawLength == record.raw.size(), "rawLength is the size of raw");
  return record.type + record.aux + touch(record.raw.data(), record.raw.size());
}

class ReadingController : public ClientController {
 public:
  volatile uint32_t sink = 0;
  size_t calls = 0;

  void onIngameMessage1() override { ++calls; }
  void onIngameMessage2() override { ++calls; }

  void onLobbyMessage1(LobbyMessage1* m) override {
    ++calls;
    sink = touch(*m) + touch(m->message);
  }
  void onLobbyMessage11(LobbyMessage11* m) override {
    ++calls;
    sink = touch(*m) + touch(m->textA) + touch(m->textB);
  }
  void onLobbyMessage12(LobbyMessage12* m) override {
    ++calls;
    for (const std::string& text : m->texts) sink = sink + touch(text);
  }
  void onLobbyMessage6(LobbyMessage6* m) override {
    ++calls;
    sink = touch(*m) + m->value;
  }
  void onLobbyMessage5(LobbyMessage5* m) override {
    ++calls;
    sink = touch(*m) + touch(m->name);
    for (const auto& [number, label] : m->entries) sink = sink + number + touch(label);
    for (const std::string& name : m->names) sink = sink + touch(name);
  }
  void onLobbyMessage13(LobbyMessage13* m) override {
    ++calls;
    sink = touch(*m) + touch(m->message);
  }
  void onLobbyMessage7(LobbyMessage7* m) override {
    ++calls;
    sink = touch(*m) + m->value + m->value2;
  }
  void onText(std::string text) override {
    ++calls;
    sink = touch(text);
  }
  void onLobbyMessage8(LobbyMessage8* m) override {
    ++calls;
    sink = touch(*m) + m->value;
  }
  void onLobbyMessage9(LobbyMessage9* m) override {
    ++calls;
    sink = touch(*m) + m->value;
  }
  void onLobbyMessage14(LobbyMessage14* m) override {
    ++calls;
    sink = touch(*m);
  }
  void onRecord(RecordMessage r) override {
    ++calls;
    sink = r.first + r.second + r.middle + r.flag + touch(r.message);
    for (uint32_t v : r.listA) sink = sink + v;
    for (uint32_t v : r.listB) sink = sink + v;
  }
  void onIngameMessage3(IngameMessage3* m) override {
    ++calls;
    sink = touch(*m) + m->value;
  }
  void onFeedbackText(std::string text) override {
    ++calls;
    sink = touch(text);
  }
  void onFeedback2Text(std::string text) override {
    ++calls;
    sink = touch(text);
  }
  void onFeedback2List(std::vector<std::string> texts) override {
    ++calls;
    for (const std::string& text : texts) sink = sink + touch(text);
  }
  void onFileReply(std::string path, uint32_t size, const uint8_t* content) override {
    ++calls;
    require(size == 0 || content != nullptr, "file reply content is present");
    sink = touch(path) + touch(content, size);
  }
  void onRangeOffer(const RangeOffer& offer) override {
    ++calls;
    sink = touch(offer) + offer.version + offer.maxPieceSize;
  }
  void onFileRangeReply(const FileRangeReply& reply) override {
    ++calls;
    require(reply.fileSize <= kMaxRangeFileBytes, "a range reply's file is under 4 GiB");
    require(reply.data.empty() || (reply.offset <= reply.fileSize &&
                                   reply.data.size() <= reply.fileSize - reply.offset),
            "a range reply's data lies inside its file");
    sink = touch(reply.name) + reply.status + touch(reply.data.data(), reply.data.size());
  }
};

}  // namespace
}  // namespace quor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  static fuzz::ReadingController controller;
  static NetworkClient client;
  client.controller = &controller;
  fuzz::afterInput();
  controller.calls = 0;
  if (size == 0) return 0;
  uint8_t channel = data[0] & 7;
  // The packet ends where libFuzzer's copy of the input ends.
  dispatch(client, channel, ByteSpan(data + 1, size - 1));
  // Exactly one controller operation or one line; only IngameMessage8 is
  // taken by the client itself.
  size_t outcomes = controller.calls + fuzz::loggedLines();
  bool keptBlob = channel == kIngameChannel && size >= 5 && data[1] == 8 && data[2] == 0 &&
                  data[3] == 0 && data[4] == 0;
  fuzz::require(keptBlob ? outcomes <= 1 : outcomes == 1,
                "one controller operation or one line per packet");
  fuzz::require(client.ingameBlobLength == client.ingameBlob.size(),
                "ingameBlobLength is the size of ingameBlob");
  fuzz::afterInput();
  return 0;
}
