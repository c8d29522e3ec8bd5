// The front part of the server's slot table that ENet is shown.

#include "server/live_slots.h"

#include <gtest/gtest.h>

namespace quor {
namespace {

void setInUse(ENetHost* host, size_t from, size_t to, bool inUse) {
  for (size_t slot = from; slot < to; ++slot) {
    host->peers[slot].state = inUse ? ENET_PEER_STATE_CONNECTED : ENET_PEER_STATE_DISCONNECTED;
  }
}

TEST(LiveSlots, ShowsEverySlotInUseAndAsManyFreeAgain) {
  ASSERT_EQ(enet_initialize(), 0);
  ENetHost* host = enet_host_create(nullptr, 4095, 1, 0, 0);
  ASSERT_NE(host, nullptr);
  {
    LiveSlots live(host);
    EXPECT_EQ(live.shown(), LiveSlots::kSpareSlots);
    EXPECT_EQ(live.freeSlots(), 4095u);

    // A slot in use far from the others: the front part reaches past it.
    setInUse(host, 3, 4, true);
    setInUse(host, 200, 201, true);
    live.fit();
    EXPECT_EQ(live.shown(), 201 + LiveSlots::kSpareSlots);
    EXPECT_EQ(live.freeSlots(), 4093u);

    // A burst that fills the front grows it to twice what is in use...
    setInUse(host, 0, live.shown(), true);
    live.fit();
    EXPECT_EQ(live.shown(), 2 * 457u);
    // ...never beyond the table.
    for (int pass = 0; pass < 4; ++pass) {
      setInUse(host, 0, live.shown(), true);
      live.fit();
    }
    EXPECT_EQ(live.shown(), 4095u);
    EXPECT_EQ(live.freeSlots(), 0u);

    // Once they leave, the front shrinks back.
    setInUse(host, 0, 4095, false);
    live.fit();
    EXPECT_EQ(live.shown(), LiveSlots::kSpareSlots);
  }
  EXPECT_EQ(host->peerCount, 4095u);
  enet_host_destroy(host);
  enet_deinitialize();
}

}  // namespace
}  // namespace quor
