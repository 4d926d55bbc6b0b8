// The image check at the limits of what a record may carry.
#include <gtest/gtest.h>

#include "download/image_format.h"
#include "tests/images/image_builder.h"

namespace {

TEST(VerifyImage, AcceptsPayloadsAtTheLimits) {
    images_test::ImageBuilder image;
    image.Filled(images_test::kRead, 256).Add(images_test::kWrite, {}).Filled(2, 65536);
    EXPECT_TRUE(
        image::VerifyImage(image.bytes().data(), static_cast<uint32_t>(image.bytes().size())).ok);
}

}  // namespace
