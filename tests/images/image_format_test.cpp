// The image check at the limits of what a record may carry.
#include <gtest/gtest.h>

#include "download/image_format.h"
#include "tests/images/image_builder.h"

namespace {

TEST(VerifyImage, AcceptsPayloadsAtTheLimits) {
    images_test::ImageBuilder image;
    image.Filled(images_test::kRead, 256).Record(images_test::kWrite, {}).Filled(2, 65536);
    EXPECT_TRUE(image::VerifyImage(image.bytes().data(), image.bytes().size()).ok);
}

}  // namespace
