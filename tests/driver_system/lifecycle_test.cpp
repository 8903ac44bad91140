// The whole stack as an application sees it: the adapter over the emulated
// unit comes up, offers its pins, and goes away leaving nothing behind.
#include <gtest/gtest.h>

#include "support/rig.hpp"

namespace {

TEST(SystemLifecycle, AdapterComesUpWithThreePinsAndGoesAwayClean) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  EXPECT_EQ(rig.filter().pinCount(), 3u);
  EXPECT_EQ(rig.session().remove(), STATUS_SUCCESS);
}

}  // namespace
