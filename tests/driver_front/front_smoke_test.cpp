#include <gtest/gtest.h>

#include "support/rig.hpp"

TEST(FrontSmoke, AdapterComesUp) {
  rig::DriverRig rig;
  ASSERT_TRUE(rig.ok()) << rig.why();
  EXPECT_EQ(rig.device()->Flags, 0u);
}
