// The web source against a scripted HTTP client: what each answer a web
// server may give turns into in the controller, and which answers give
// the server up. Real servers are in tests/e2e/web_update_test.cpp; here
// are the lies no honest server tells.
#include "update/http_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "dataset/layout.h"
#include "protocol/transport_limits.h"
#include "test_support.h"

namespace quor {
namespace {

// Keeps every request; the test answers them in its own time.
class ScriptedClient final : public HttpClient {
 public:
  struct Started {
    HttpRequest request;
    HttpHandler* handler;
  };
  explicit ScriptedClient(std::vector<Started>* started) : started_(started) {}
  ~ScriptedClient() override { cancelAll(); }
  bool start(const HttpRequest& request, HttpHandler* handler) override {
    started_->push_back({request, handler});
    return true;
  }
  void cancelAll() override {
    for (Started& open : *started_) {
      if (open.handler != nullptr) open.handler->onEnd(Status::ioError("cancelled"));
      open.handler = nullptr;
    }
  }
  uint64_t bytesReceived() override { return 0; }

 private:
  std::vector<Started>* started_;
};

// Answers the request with head and body, then ends it as the client
// would: the handler may stop the transfer on the way.
void answer(ScriptedClient::Started& open, HttpHead head, const std::string& body) {
  HttpHandler* handler = open.handler;
  open.handler = nullptr;
  bool going = handler->onHead(head);
  if (going && !body.empty()) {
    going = handler->onBody(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  }
  handler->onEnd(going ? Status() : Status::ioError("stopped"));
}

HttpHead partial(const std::string& range, const std::string& etag = "\"v1\"") {
  HttpHead head;
  head.status = 206;
  head.contentRange = range;
  head.etag = etag;
  return head;
}

class HttpSourceTest : public ::testing::Test {
 protected:
  HttpSourceTest()
      : source(std::make_unique<ScriptedClient>(&started), "https://cdn.test/r/", controller, 0) {}
  std::vector<ScriptedClient::Started> started;
  FileUpdateController controller;
  HttpSource source;
};

TEST_F(HttpSourceTest, PiecesRefusalsAndWholeFilesReachTheController) {
  EXPECT_TRUE(source.sendHello());
  EXPECT_EQ(controller.offeredPieceSize(), kMaxPieceSize);
  ASSERT_TRUE(source.requestManifest());
  ASSERT_TRUE(source.requestRange("1.compressed", 0, 10));
  ASSERT_TRUE(source.requestRange("1.compressed", 10, 10));
  ASSERT_TRUE(source.requestRange("2.compressed", 4096, 10));
  ASSERT_TRUE(source.requestRange("3.compressed", 0, 10));
  ASSERT_EQ(started.size(), 5u);
  EXPECT_EQ(started[0].request.url, "https://cdn.test/r/manifest.manifest");
  EXPECT_EQ(started[1].request.range, std::make_pair(uint64_t{0}, uint64_t{9}));
  EXPECT_EQ(started[1].request.ifRange, "");

  HttpHead ok;
  ok.status = 200;
  answer(started[0], ok, "the manifest");
  answer(started[1], partial("bytes 0-9/15"), "0123456789");
  // The second piece goes out with the validator the first brought.
  ASSERT_TRUE(source.requestRange("1.compressed", 10, 5));
  EXPECT_EQ(started.back().request.ifRange, "\"v1\"");
  answer(started[2], partial("bytes 10-14/15"), "abcde");
  HttpHead gone;
  gone.status = 416;
  answer(started[3], gone, "");
  HttpHead missing;
  missing.status = 404;
  answer(started[4], missing, "");

  std::optional<ReceivedFile> manifest = controller.takeReceivedFile(kManifestName);
  ASSERT_TRUE(manifest && manifest->data);
  EXPECT_EQ(std::string(manifest->data->begin(), manifest->data->end()), "the manifest");
  std::optional<ReceivedPiece> first = controller.takePiece("1.compressed", 0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->fileSize, 15u);
  EXPECT_EQ(first->fileVersion, versionOfValidator("\"v1\""));
  EXPECT_EQ(std::string(first->data.begin(), first->data.end()), "0123456789");
  ASSERT_TRUE(controller.takePiece("1.compressed", 10));
  EXPECT_EQ(controller.takePiece("2.compressed", 4096)->status, kRangeStatusBeyondEnd);
  EXPECT_EQ(controller.takePiece("3.compressed", 0)->status, kRangeStatusRefused);
  EXPECT_TRUE(source.connected());
}

// Each lie gives the server up at once, as one not to ask again: the run
// then goes on with the next one, and nothing of the lie is stored.
TEST_F(HttpSourceTest, AnswersThatLieOrFailGiveTheServerUp) {
  struct Lie {
    const char* what;
    HttpHead head;
    std::string body;
  };
  HttpHead unavailable;
  unavailable.status = 503;
  HttpHead chunkedWhole;  // a 200 with no length to a range request
  chunkedWhole.status = 200;
  std::vector<Lie> lies = {
      {"longer than asked", partial("bytes 0-9/100"), std::string(11, 'x')},
      {"another range", partial("bytes 10-19/100"), std::string(10, 'x')},
      {"more than asked for", partial("bytes 0-19/100"), std::string(20, 'x')},
      {"a range past its total", partial("bytes 0-9/5"), std::string(10, 'x')},
      {"a piece cut short", partial("bytes 0-9/100"), std::string(4, 'x')},
      {"503", unavailable, ""},
      {"whole without a length", chunkedWhole, std::string(100, 'x')},
      {"another size than signed", partial("bytes 0-9/200"), std::string(10, 'x')},
  };
  for (const Lie& lie : lies) {
    SCOPED_TRACE(lie.what);
    FileUpdateController fresh;
    std::vector<ScriptedClient::Started> opened;
    HttpSource lying(std::make_unique<ScriptedClient>(&opened), "https://cdn.test/", fresh, 0);
    lying.expectSizes([](const std::string&) { return std::optional<uint64_t>(100); });
    ASSERT_TRUE(lying.requestRange("5.compressed", 0, 10));
    answer(opened[0], lie.head, lie.body);
    EXPECT_FALSE(lying.connected());
    EXPECT_TRUE(lying.answeredWrongly());
    EXPECT_NE(lying.lostReason(), "");
    EXPECT_FALSE(fresh.takePiece("5.compressed", 0));
    EXPECT_FALSE(lying.requestRange("5.compressed", 0, 10));
  }
}

// A server that ignores Range: the whole answer to the first piece is
// kept on disk and answers every piece, asked before or after its bytes
// came; nothing more is fetched for the file.
TEST(HttpSourceSpill, AWholeAnswerToARangeAnswersEveryPieceFromDisk) {
  testing::TempDir folder;
  testing::ScopedCurrentDir inFolder(folder.path());
  std::vector<ScriptedClient::Started> started;
  FileUpdateController controller;
  auto source = std::make_unique<HttpSource>(std::make_unique<ScriptedClient>(&started),
                                             "https://cdn.test/", controller, 0);
  std::string content = "0123456789abcdefghij";
  ASSERT_TRUE(source->requestRange("9.compressed", 0, 8));
  HttpHead whole;
  whole.status = 200;
  whole.contentLength = content.size();
  whole.etag = "\"w\"";
  HttpHandler* handler = started[0].handler;
  started[0].handler = nullptr;
  ASSERT_TRUE(handler->onHead(whole));
  ASSERT_TRUE(handler->onBody(reinterpret_cast<const uint8_t*>(content.data()), 16));
  ASSERT_TRUE(source->requestRange("9.compressed", 8, 8));   // its bytes are there
  ASSERT_TRUE(source->requestRange("9.compressed", 16, 8));  // not yet
  ASSERT_TRUE(source->requestRange("9.compressed", 24, 8));  // beyond the end
  EXPECT_EQ(started.size(), 1u);
  EXPECT_TRUE(controller.takePiece("9.compressed", 8));
  EXPECT_FALSE(controller.takePiece("9.compressed", 16));
  ASSERT_TRUE(handler->onBody(reinterpret_cast<const uint8_t*>(content.data()) + 16, 4));
  handler->onEnd(Status());

  std::string received;
  for (uint64_t offset : {0, 16}) {
    std::optional<ReceivedPiece> piece = controller.takePiece("9.compressed", offset);
    ASSERT_TRUE(piece);
    EXPECT_EQ(piece->fileSize, content.size());
    received += std::string(piece->data.begin(), piece->data.end());
  }
  EXPECT_EQ(received, "01234567ghij");
  EXPECT_EQ(controller.takePiece("9.compressed", 24)->status, kRangeStatusBeyondEnd);
  EXPECT_TRUE(source->connected());
  source.reset();
  EXPECT_FALSE(std::filesystem::exists(kStagingFolder));
}

}  // namespace
}  // namespace quor
