#include "yvkstreamer_core.h"

#include <gtest/gtest.h>

TEST(Lifecycle, ModeZeroGivesNoInstance) {
    YVKStreamerLiveCfg cfg{};
    EXPECT_EQ(YVK_StreamerCoreNew(0, &cfg, nullptr, nullptr), nullptr);
}
