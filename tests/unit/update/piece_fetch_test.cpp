#include "update/piece_fetch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dataset/layout.h"
#include "null_source.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::ScopedCurrentDir;
using testing::TempDir;

constexpr uint32_t kPiece = 4096;
constexpr uint64_t kVersion = 9;
const std::string kName = "3.compressed";

// length bytes of file at offset, as the server sends them.
ReceivedPiece pieceOf(const Bytes& file, uint64_t offset, uint64_t length,
                      uint64_t version = kVersion) {
  Bytes data(file.begin() + static_cast<ptrdiff_t>(offset),
             file.begin() + static_cast<ptrdiff_t>(offset + length));
  return {file.size(), version, data};
}

void store(FileUpdateController& controller, uint64_t offset, const ReceivedPiece& piece) {
  FileRangeReply reply;
  reply.name = kName;
  reply.fileSize = piece.fileSize;
  reply.fileVersion = piece.fileVersion;
  reply.offset = offset;
  reply.data = ByteSpan(piece.data.data(), piece.data.size());
  controller.onFileRangeReply(reply);
}

TEST(PieceFetch, ASmallFileIsPutTogetherInMemoryAndBadPiecesFailIt) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  const Bytes file = testing::randomBytes(3 * kPiece + 100, 4);  // a short last piece
  const ReplyWait wait(std::chrono::milliseconds(50));
  testing::NullSource source;

  // Only a file that starts afresh, is small and comes in pieces the
  // staging would take is collected in memory.
  ReceivedPiece first = pieceOf(file, 0, kPiece);
  EXPECT_TRUE(collectsInMemory(first, 0, kPiece));
  EXPECT_FALSE(collectsInMemory(first, kPiece, kPiece));  // a resumed staging
  EXPECT_FALSE(collectsInMemory(first, 0, kMinPieceSize - 1));
  ReceivedPiece huge = first;
  huge.fileSize = kInMemoryDataBytes + 1;
  EXPECT_FALSE(collectsInMemory(huge, 0, kPiece));

  {  // pieces in any order make the file, and nothing is staged
    FileUpdateController controller;
    for (uint64_t offset : {3 * kPiece, kPiece, 2 * kPiece}) {
      uint64_t length = std::min<uint64_t>(kPiece, file.size() - offset);
      store(controller, offset, pieceOf(file, offset, length));
    }
    Bytes whole;
    EXPECT_EQ(collectPieces(controller, source, wait, kPiece, kName, first, &whole), FetchOutcome::kStaged);
    EXPECT_TRUE(whole == file);
    EXPECT_FALSE(std::filesystem::exists(kStagingFolder));
  }
  {  // a piece of the wrong length
    FileUpdateController controller;
    store(controller, kPiece, pieceOf(file, kPiece, kPiece - 1));
    Bytes whole;
    EXPECT_EQ(collectPieces(controller, source, wait, kPiece, kName, first, &whole), FetchOutcome::kFailed);
  }
  {  // a first piece longer than the file it claims
    FileUpdateController controller;
    ReceivedPiece liar = first;
    liar.fileSize = 100;
    Bytes whole;
    EXPECT_EQ(collectPieces(controller, source, wait, kPiece, kName, liar, &whole), FetchOutcome::kFailed);
  }
  {  // a piece of another version of the file, then a missing piece
    FileUpdateController controller;
    store(controller, kPiece, pieceOf(file, kPiece, kPiece, kVersion + 1));
    Bytes whole;
    EXPECT_EQ(collectPieces(controller, source, wait, kPiece, kName, first, &whole),
              FetchOutcome::kNoReply);
    EXPECT_EQ(collectPieces(controller, source, wait, kPiece, kName, first, &whole),
              FetchOutcome::kNoReply);
    EXPECT_TRUE(whole.empty());
  }
}

}  // namespace
}  // namespace quor
