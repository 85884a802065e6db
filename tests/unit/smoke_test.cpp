#include <gtest/gtest.h>
#include "wsl/scripts.h"
#include "core/text_buffer.h"
TEST(Smoke, Lengths) { EXPECT_EQ(832u, WideLength(kPreflightScript)); }
