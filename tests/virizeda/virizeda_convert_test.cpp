// Frames converted in the library look like the camera's native ones: a
// camera that sends colour only as YUV against one that sends RGB8 and
// mono, same scene, same frame numbers.
#include <stdlib.h>

#include "virizeda_test_util.h"

namespace {

const char *kPair = R"({"cameras": [
  {"name": "Native", "chip_id": "n", "color": true, "unpaced": true},
  {"name": "Yuv", "chip_id": "y", "color": true, "unpaced": true, "rgb8": false,
   "format7": false}]})";

// Share of bytes that differ by more than 12, and the mean difference.
void compare(const unsigned char *a, const unsigned char *b, size_t n, double *far,
             double *mean) {
  size_t over = 0;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    int d = abs((int)a[i] - (int)b[i]);
    sum += d;
    if (d > 12) ++over;
  }
  *far = (double)over / n;
  *mean = sum / n;
}

}  // namespace

class Converted : public SimBusTest {};

TEST_F(Converted, YuvCameraFramesMatchTheNativeOnes) {
  open_bus(kPair);
  dCamera *native = dSys->InitCamera(0), *yuv = dSys->InitCamera(1);
  ASSERT_TRUE(native && yuv);
  struct Case {
    dISIZE size;
    int w, h;
    dITYPE type;
    unsigned long format, mode;  // the YUV camera's IIDC mode
  } cases[] = {{S_640x480, 640, 480, S_RGB24, 0, 3},   // from YUV422
               {S_320x240, 320, 240, S_MONO, 0, 1},    // luma of YUV422
               {S_160x120, 160, 120, S_RGB24, 0, 0},   // from YUV444
               {S_1280x960, 1280, 960, S_RGB24, 2, 0}};
  unsigned long inq = 0;
  ASSERT_TRUE(yuv->ReadQuadlet(0xF0F00180, &inq));
  EXPECT_EQ(inq, 0xF4000000u) << "Format_0 without Mode_4 (RGB8)";
  for (const Case &k : cases) {
    SCOPED_TRACE(k.w);
    for (dCamera *c : {native, yuv}) {
      ASSERT_TRUE(c->SetFormat(k.size, k.type, S_15, 1, false)) << c->error;
      ASSERT_TRUE(c->Start());
    }
    unsigned long format = 9, mode = 9;
    ASSERT_TRUE(yuv->ReadQuadlet(0xF0F00608, &format));
    ASSERT_TRUE(yuv->ReadQuadlet(0xF0F00604, &mode));
    EXPECT_EQ(format >> 29, k.format);
    EXPECT_EQ(mode >> 29, k.mode) << "a YUV mode, converted in the library";
    unsigned char *a = nullptr, *b = nullptr;
    int fa = -1, fb = -1;
    ASSERT_TRUE(native->GetImage(&a, 500, &fa, nullptr));
    ASSERT_TRUE(yuv->GetImage(&b, 500, &fb, nullptr));
    ASSERT_EQ(fa, fb);
    int bpp = k.type == S_RGB24 ? 3 : 1;
    EXPECT_EQ(vzsim::barcode(b, k.w, bpp), fb);
    double far = 0, mean = 0;
    compare(a, b, (size_t)k.w * k.h * bpp, &far, &mean);
    EXPECT_LT(far, 0.02);
    EXPECT_LT(mean, 3.0);
    native->Stop();
    yuv->Stop();
  }
  // RGB24 has no native mode at 640x480 on this camera, and Bayer none at all
  EXPECT_FALSE(yuv->SetFormat(S_640x480, S_BAYER, S_15, 1, false));
  EXPECT_STREQ(yuv->error,
               "640x480 Bayer is not offered by this camera; at 640x480 it offers "
               "Mono and RGB24");
}
