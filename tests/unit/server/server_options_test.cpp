// The update server's command line.

#include "server/server_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quor {
namespace {

TEST(ServerOptions, DefaultsAndValues) {
  ServerOptions options;
  EXPECT_TRUE(parseServerOptions({}, options).ok());
  EXPECT_EQ(options.port, 7777);
  EXPECT_EQ(options.dataFolder, "server_data/update_data/");
  EXPECT_EQ(options.peerSlots, 4095u);
  EXPECT_EQ(options.perAddress, 64u);
  EXPECT_EQ(options.perPlayer, 16u);
  EXPECT_EQ(options.idleSeconds, 30u);
  EXPECT_TRUE(parseServerOptions({"--port", "9000", "--data", "d", "--peers", "3", "--per-address",
                                  "5", "--per-player", "2", "--idle-seconds", "86400",
                                  "--stall-seconds", "3", "--metrics", "127.0.0.1:9477"},
                                 options)
                  .ok());
  EXPECT_EQ(options.metricsAddress, "127.0.0.1");
  EXPECT_EQ(options.metricsPort, 9477);
  EXPECT_EQ(options.port, 9000);
  EXPECT_EQ(options.dataFolder, "d");
  EXPECT_EQ(options.peerSlots, 3u);
  EXPECT_EQ(options.perAddress, 5u);
  EXPECT_EQ(options.perPlayer, 2u);
  EXPECT_EQ(options.idleSeconds, 86400u);
  EXPECT_EQ(options.stallSeconds, 3u);
}

TEST(ServerOptions, BadValuesAreRefused) {
  ServerOptions options;
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"--port"}, {"--port", "0"}, {"--port", "65536"}, {"--port", "12x"},
                                             {"--peers", "0"}, {"--peers", "4096"}, {"--data", ""}, {"--what"},
                                             {"--metrics", "9477"}, {"--metrics", ":9477"}, {"--metrics", "a:70000"},
                                             {"--per-address", "0"}, {"--per-player", "4096"},
                                             {"--idle-seconds", "0"}, {"--idle-seconds", "86401"},
                                             {"--stall-seconds", "0"}}) {
    EXPECT_FALSE(parseServerOptions(args, options).ok()) << args[0];
  }
}

}  // namespace
}  // namespace quor
