// The application image's numbers: counters and their swap, the progress level, the overlay and
// when nothing needs drawing.
#include "app/control/ZRApplicationImage.h"

#include <gtest/gtest.h>

TEST(ApplicationImage, CountersSwapAndBadgesShowOnlyAboveZero)
{
    ZRApplicationImage image;
    ASSERT_TRUE(image.updateWithTopCount(2, 5, 0, 0.5, false, true));
    EXPECT_EQ(image.upperBadgeCount(), 5);
    EXPECT_EQ(image.lowerBadgeCount(), 2);
    ASSERT_TRUE(image.updateWithTopCount(2, 0, 0, 0.5, false, false));
    EXPECT_EQ(image.upperBadgeText(), QStringLiteral("2"));
    EXPECT_EQ(image.lowerBadgeText(), QString());
}

TEST(ApplicationImage, LevelAndOverlay)
{
    ZRApplicationImage image;
    EXPECT_DOUBLE_EQ(image.colouredHeightFraction(), 1) << "plain icon before anything is drawn";
    image.updateWithTopCount(1, 0, 0, 0, false, true);
    EXPECT_DOUBLE_EQ(image.colouredHeightFraction(), 0.25);
    image.updateWithTopCount(1, 0, 0, 1, false, true);
    EXPECT_DOUBLE_EQ(image.colouredHeightFraction(), 0.75);
    EXPECT_DOUBLE_EQ(image.iconOpacity(), 1);
    EXPECT_TRUE(image.overlayGlyph().isEmpty());

    image.updateWithTopCount(0, 0, 1, -1, true, true);
    EXPECT_FALSE(image.hasFraction());
    EXPECT_DOUBLE_EQ(image.colouredHeightFraction(), 1);
    EXPECT_EQ(image.overlayGlyph(), QStringLiteral("\u2615"));
    EXPECT_DOUBLE_EQ(image.iconOpacity(), 0.5);
    image.updateWithTopCount(0, 0, 2, -1, true, true);
    EXPECT_EQ(image.overlayGlyph(), QStringLiteral("\u233D"));
}

TEST(ApplicationImage, RedrawsOnlyForVisibleChangesOrWhenForced)
{
    ZRApplicationImage image;
    EXPECT_TRUE(image.updateWithTopCount(0, 0, 0, -1, false, true)) << "the first image is always drawn";
    EXPECT_FALSE(image.updateWithTopCount(0, 0, 0, -1, false, true));
    EXPECT_TRUE(image.updateWithTopCount(0, 0, 0, -1, true, true));
    EXPECT_TRUE(image.updateWithTopCount(1, 0, 0, 0.5, false, true));
    EXPECT_FALSE(image.updateWithTopCount(1, 0, 0, 0.505, false, true));
    EXPECT_TRUE(image.updateWithTopCount(2, 0, 0, 0.505, false, true)) << "a counter changed";

    // Small steps add up against the drawn level, so slow progress still shows.
    int redraws = 0;
    for (int step = 1; step <= 10; ++step)
        redraws += image.updateWithTopCount(2, 0, 0, 0.505 + 0.004 * step, false, true) ? 1 : 0;
    EXPECT_GE(redraws, 3);
    EXPECT_NEAR(image.fraction(), 0.545, 0.011);
}
