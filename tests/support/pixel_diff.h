// Compares two images sample by sample; on a mismatch the failure names the
// size, mode or depth that differs, or the first differing pixels with their
// values, and how many differ in all.
#pragma once

#include <gtest/gtest.h>

#include "host.h"

namespace test_support {

::testing::AssertionResult ImagesEqual(const host::Image& expected, const host::Image& actual);

}  // namespace test_support

// EXPECT_IMAGES_EQ(expected, actual): byte-identical images, or a readable
// account of where they differ.
#define EXPECT_IMAGES_EQ(expected, actual)                                                         \
    EXPECT_TRUE(::test_support::ImagesEqual((expected), (actual)))
#define ASSERT_IMAGES_EQ(expected, actual)                                                         \
    ASSERT_TRUE(::test_support::ImagesEqual((expected), (actual)))
