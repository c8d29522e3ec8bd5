// The server list: its entries of three lines and the port text.

#include "client/server_list.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace quor {
namespace {

TEST(ServerList, PortTextReadsTheLeadingNumberAndKeepsItsLow16Bits) {
  EXPECT_EQ(parsePortText("123x"), 123);
  EXPECT_EQ(parsePortText("abc"), 0);
  EXPECT_EQ(parsePortText("65537"), 1);
  EXPECT_EQ(parsePortText("7777"), 7777);
  EXPECT_EQ(parsePortText("  \t42"), 42);
  EXPECT_EQ(parsePortText("+8"), 8);
  EXPECT_EQ(parsePortText("-1"), 65535);
  EXPECT_EQ(parsePortText(""), 0);
  EXPECT_EQ(parsePortText("x123"), 0);
  // 10^10000 - 1 is -1 modulo 2^16.
  EXPECT_EQ(parsePortText(std::string(10000, '9')), 65535);
}

TEST(ServerList, ServerEntriesThreeLinesEachWithoutCarriageReturns) {
  std::istringstream list("first\r\n10.0.0.1\r\n7777\r\n\nlocalhost\n80");
  auto first = readServerEntry(list);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "first");
  EXPECT_EQ(first->host, "10.0.0.1");
  EXPECT_EQ(first->port, "7777");
  auto second = readServerEntry(list);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->name, "");
  EXPECT_EQ(second->host, "localhost");
  EXPECT_EQ(second->port, "80");
  EXPECT_FALSE(readServerEntry(list));
}

TEST(ServerList, ServerEntriesEmptyHostOrPortOrEndOfFileEndsTheList) {
  std::istringstream emptyHost("a\n\n1\nb\nhost\n2\n");
  EXPECT_FALSE(readServerEntry(emptyHost));
  std::istringstream emptyPort("a\nhost\n\n");
  EXPECT_FALSE(readServerEntry(emptyPort));
  std::istringstream cut("a\nhost");
  EXPECT_FALSE(readServerEntry(cut));
  std::istringstream empty("");
  EXPECT_FALSE(readServerEntry(empty));
}

}  // namespace
}  // namespace quor
