// The view's sizes: virtual displays, zoom crops and test-mode frames,
// including shapes far outside what phones have.
#include "view/ViewManager.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(ViewGeometry, VirtualDisplaySizes) {
  auto v = virtualSizeFor(0.5);
  EXPECT_EQ(v.width, 806);
  EXPECT_EQ(v.height, 1612);
  v = virtualSizeFor(390.0 / 844);
  EXPECT_EQ(v.width, 776);
  EXPECT_EQ(v.height, 1678);
  // Wide shapes keep the smaller side at 640.
  v = virtualSizeFor(3.5);
  EXPECT_EQ(v.height, 640);
  EXPECT_EQ(v.width, 2240);
  // Beyond the aspect limits the shape is clamped, so sizes stay bounded and even.
  for (double a : {1e-9, 0.01, 100.0, 1e12, std::nan(""), -3.0}) {
    v = virtualSizeFor(a);
    EXPECT_EQ(v.width % 2, 0);
    EXPECT_EQ(v.height % 2, 0);
    EXPECT_LE(std::max(v.width, v.height), 2560) << a;
    EXPECT_GE(std::min(v.width, v.height), 640) << a;
  }
}

TEST(ViewGeometry, ZoomCropKeepsThePhoneShapeAndStaysInside) {
  Rect d{0, 0, 1920, 1080};
  // Tall phone: full height, width by aspect, centred on the focus.
  Rect c = zoomCrop(d, 0.5, 1, {960, 540});
  EXPECT_DOUBLE_EQ(c.w, 540);
  EXPECT_DOUBLE_EQ(c.h, 1080);
  EXPECT_DOUBLE_EQ(c.x, 690);
  // Near the right edge: clamped so it never leaves the display.
  c = zoomCrop(d, 0.5, 2, {1915, 1075});
  EXPECT_DOUBLE_EQ(c.w, 270);
  EXPECT_DOUBLE_EQ(c.h, 540);
  EXPECT_DOUBLE_EQ(c.x, 1920 - 270);
  EXPECT_DOUBLE_EQ(c.y, 1080 - 540);
  // Wider than the display: full width.
  c = zoomCrop(d, 3, 1, {0, 0});
  EXPECT_DOUBLE_EQ(c.w, 1920);
  EXPECT_DOUBLE_EQ(c.h, 640);
  EXPECT_DOUBLE_EQ(c.y, 0);
  // A display not at the origin (a second monitor).
  c = zoomCrop(Rect{1920, 100, 1000, 1000}, 1, 4, {1900, 50});
  EXPECT_DOUBLE_EQ(c.x, 1920);
  EXPECT_DOUBLE_EQ(c.y, 100);
  EXPECT_DOUBLE_EQ(c.w, 250);
}

TEST(ViewGeometry, TestModeFrameSizes) {
  auto f = testFrameSize(0.5);
  EXPECT_EQ(f.width, 640);
  EXPECT_EQ(f.height, 1280);
  f = testFrameSize(390.0 / 844);
  EXPECT_EQ(f.width, 590);
  EXPECT_EQ(f.height, 1280);
  f = testFrameSize(16.0 / 9);
  EXPECT_EQ(f.width, 1280);
  EXPECT_EQ(f.height, 720);
  f = testFrameSize(1e9);
  EXPECT_EQ(f.width, 1280);
  EXPECT_EQ(f.height, 320);
  f = testFrameSize(1e-9);
  EXPECT_EQ(f.width, 320);
  EXPECT_EQ(f.height, 1280);
}
