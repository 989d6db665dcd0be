// The run-time P2P record: all zero and unselected at start, copied whole.
#include <gtest/gtest.h>
#include <string.h>

#include "runtimeConfig.h"

namespace {

bool same(const runtimeConfigP2P_t &a, const runtimeConfigP2P_t &b) {
  return a.frequency == b.frequency && a.spreading_factor == b.spreading_factor &&
         a.bandwidth == b.bandwidth && a.fsk_rxbw == b.fsk_rxbw && a.coding_rate == b.coding_rate &&
         a.preamble_length == b.preamble_length && a.txpower == b.txpower;
}

// One test body, so that the start state is seen before anything is set
// whatever order the tests run in.
TEST(RuntimeConfigP2P, StartsClearedAndCopiesTheWholeRecord) {
  runtimeConfigP2P_t got;
  memset(&got, 0xA5, sizeof(got));
  ASSERT_TRUE(get_runtimeConfigP2P(&got));
  EXPECT_TRUE(same(got, runtimeConfigP2P_t{}));
  EXPECT_FALSE(get_useRuntimeConfigP2P());

  // Every field at a value that needs its whole width.
  const runtimeConfigP2P_t wide = {0xFEDCBA98u, 0xF1, 0x89ABCDEFu, 0x76543210u, 0xE2, 0xD3C4, 0xB5};
  ASSERT_TRUE(set_runtimeConfigP2P(&wide));
  memset(&got, 0, sizeof(got));
  ASSERT_TRUE(get_runtimeConfigP2P(&got));
  EXPECT_TRUE(same(got, wide));
  EXPECT_FALSE(get_useRuntimeConfigP2P()) << "setting the record does not select it";

  const runtimeConfigP2P_t next = {868100000u, 7, 125, 0, 1, 8, 14};
  ASSERT_TRUE(set_runtimeConfigP2P(&next));
  ASSERT_TRUE(get_runtimeConfigP2P(&got));
  EXPECT_TRUE(same(got, next)) << "a second set replaces every field";

  set_useRuntimeConfigP2P(true);
  EXPECT_TRUE(get_useRuntimeConfigP2P());
  set_useRuntimeConfigP2P(false);
  EXPECT_FALSE(get_useRuntimeConfigP2P());

  // A null record is refused and the held one stays.
  EXPECT_FALSE(set_runtimeConfigP2P(nullptr));
  EXPECT_FALSE(get_runtimeConfigP2P(nullptr));
  ASSERT_TRUE(get_runtimeConfigP2P(&got));
  EXPECT_TRUE(same(got, next));
}

}  // namespace
