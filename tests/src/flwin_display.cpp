// Image display window: reduction geometry, gamma table, and what actually
// reaches the screen.
#include <gtest/gtest.h>
// after gtest: the toolkit's drawing header brings X11's macros
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <math.h>

#include <memory>
#include <vector>

#include "flwin.h"
#include "test_support.h"
#include "virizeda_sim.h"

namespace {

struct Geometry {
  int w, h, width, height, skipw, linesize;
};

// A window that is never shown: DisplayImage only stores and reduces.
TEST(DisplayGeometry, ReducesByHalvingUntilItFits) {
  Fl_Window top(400, 300);
  dcamWin *dw = new dcamWin(0, 0, 320, 240);
  top.end();
  static unsigned char pixel[3];
  const Geometry cases[] = {
      {1280, 960, 320, 240, 4, 5120}, {640, 480, 320, 240, 2, 1280},
      {320, 240, 320, 240, 1, 320},   {160, 120, 160, 120, 1, 160},
      {512, 384, 256, 192, 2, 1024},  {1024, 768, 256, 192, 4, 4096},
      {320, 241, 320, 120, 1, 640},   {321, 240, 160, 240, 2, 321},
      {100, 50, 100, 50, 1, 100}};
  for (const Geometry &c : cases) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    dw->DisplayImage(pixel, c.w, c.h, c.w, S_RGB24, 1, 0, 0, 0);
    EXPECT_EQ(c.width, dw->width);
    EXPECT_EQ(c.height, dw->height);
    EXPECT_EQ(c.skipw, dw->skipw);
    EXPECT_EQ(c.linesize, dw->linesize);
    EXPECT_EQ(320, dw->dwidth);
    EXPECT_EQ(240, dw->dheight);
    EXPECT_EQ(pixel, dw->pixelData);
  }
}

TEST(DisplayGeometry, OffsetsShrinkWithTheImage) {
  Fl_Window top(400, 300);
  dcamWin *dw = new dcamWin(0, 0, 320, 240);
  top.end();
  static unsigned char pixel[3];
  dw->DisplayImage(pixel, 1280, 480, 1280, S_MONO, 3, 0, 101, 51);
  EXPECT_EQ(25, dw->xoff);  // 101 / 2 / 2
  EXPECT_EQ(25, dw->yoff);
  EXPECT_EQ(12, dw->skipw);
  EXPECT_EQ(2560, dw->linesize);
}

TEST(DisplayGeometry, StartsEmptyAndEndsOnDegenerateDisplays) {
  Fl_Window top(400, 300);
  dcamWin *dw = new dcamWin(5, 6, 320, 240);
  dcamWin *none = new dcamWin(0, 0, 0, 0);
  top.end();
  EXPECT_EQ(0, dw->children());
  EXPECT_EQ(nullptr, dw->pixelData);
  EXPECT_EQ(-1.0, dw->oldgamma);
  EXPECT_EQ(0.0, dw->displayGamma);
  EXPECT_EQ(320, dw->linesize);
  EXPECT_EQ(1, dw->skipw);
  static unsigned char pixel[3];
  none->DisplayImage(pixel, 640, 480, 640, S_MONO, 1, 0, 0, 0);
  EXPECT_EQ(0, none->width);
  EXPECT_EQ(0, none->height);
}

static unsigned char ref_gamma(int i, double g) {
  return (unsigned char)(int)(255.0 * pow(i / 255.0, g) + 0.5);
}

TEST(DisplayGamma, TableSamplesAndLazyComputation) {
  Fl_Window top(400, 300);
  dcamWin *dw = new dcamWin(0, 0, 320, 240);
  top.end();
  static unsigned char pixel[3];
  dw->DisplayImage(pixel, 320, 240, 320, S_MONO, 1, 0.75, 0, 0);
  const int in[] = {0, 1, 16, 64, 128, 255};
  const int out75[] = {0, 4, 32, 90, 152, 255};
  const int out50[] = {0, 16, 64, 128, 181, 255};
  for (int k = 0; k < 6; k++) EXPECT_EQ(out75[k], dw->gamtab[in[k]]);
  dw->DisplayImage(pixel, 320, 240, 320, S_MONO, 1, 0.5, 0, 0);
  for (int k = 0; k < 6; k++) EXPECT_EQ(out50[k], dw->gamtab[in[k]]);
  EXPECT_EQ(0.5, dw->oldgamma);

  // the same gamma again does not recompute
  dw->gamtab[7] = 99;
  dw->DisplayImage(pixel, 320, 240, 320, S_MONO, 1, 0.5, 0, 0);
  EXPECT_EQ(99, dw->gamtab[7]);
  dw->gamtab[7] = ref_gamma(7, 0.5);

  // outside (0, 1) the table stays as it was
  for (double g : {1.0, 0.0, -0.5, 1.5}) {
    dw->DisplayImage(pixel, 320, 240, 320, S_MONO, 1, g, 0, 0);
    EXPECT_EQ(g, dw->oldgamma);
    for (int i = 0; i < 256; i++) ASSERT_EQ(ref_gamma(i, 0.5), dw->gamtab[i]);
  }
}

TEST(DisplayGamma, LineCallbacksServeAClippedRowFromTheRightPixel) {
  unsigned char tab[256];
  for (int i = 0; i < 256; i++) tab[i] = 255 - i;
  unsigned char src[2 * 40 * 3];
  for (int i = 0; i < (int)sizeof src; i++) src[i] = (unsigned char)i;
  // every second pixel of every second row of a 20-wide image
  image_cb_data mono = {src, 256, 2, 40, tab};
  unsigned char out[30];
  gamma_image_cb_fn(&mono, 3, 1, 4, out);
  for (int k = 0; k < 4; k++) EXPECT_EQ(255 - (40 + (3 + k) * 2), out[k]);

  image_cb_data rgb = {src, 256, 6, 120, tab};
  gamma_color_image_cb_fn(&rgb, 2, 0, 3, out);
  for (int k = 0; k < 3; k++)
    for (int c = 0; c < 3; c++)
      EXPECT_EQ(255 - ((2 + k) * 6 + c), out[3 * k + c]) << k << " " << c;
}

// A frame whose every pixel differs from its neighbours, so any wrong step
// shows.
static std::vector<unsigned char> pattern(int w, int h, int bpp, int seed) {
  std::vector<unsigned char> v((size_t)w * h * bpp);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      for (int c = 0; c < bpp; c++)
        v[((size_t)y * w + x) * bpp + c] =
            (unsigned char)(x * (7 + c) + y * (13 + 2 * c) + seed * 31 + c * 50);
  return v;
}

// What the reduced image should look like as RGB, f being the reduction.
static std::vector<unsigned char> reduced(const std::vector<unsigned char> &src,
                                          int w, int bpp, int f, int dw, int dh,
                                          const unsigned char *tab) {
  std::vector<unsigned char> v((size_t)dw * dh * 3);
  for (int y = 0; y < dh; y++)
    for (int x = 0; x < dw; x++)
      for (int c = 0; c < 3; c++) {
        unsigned char s = src[((size_t)y * f * w + x * f) * bpp + (bpp == 3 ? c : 0)];
        v[((size_t)y * dw + x) * 3 + c] = tab ? tab[s] : s;
      }
  return v;
}

class DisplayDrawn : public testing::Test {
 protected:
  void SetUp() override {
    top.reset(new Fl_Window(340, 260, "display test"));
    dw = new dcamWin(10, 10, 320, 240);
    top->end();
  }
  void show() {
    top->show();
    keep_contents(top.get());
    ASSERT_TRUE(run_until([&] { return dw->shown() && top->visible(); }, 5));
    settle(0.3);
  }
  // The window's pixels as RGB, rows top to bottom.
  std::vector<unsigned char> read(int x = 0, int y = 0, int w = 320, int h = 240) {
    dw->make_current();
    unsigned char *p = fl_read_image(nullptr, x, y, w, h);
    std::vector<unsigned char> v(p, p + (size_t)w * h * 3);
    delete[] p;
    return v;
  }
  std::vector<unsigned char> region(const std::vector<unsigned char> &img, int x,
                                    int y, int w, int h, int iw = 320) {
    std::vector<unsigned char> v;
    for (int r = y; r < y + h; r++)
      v.insert(v.end(), img.begin() + ((size_t)r * iw + x) * 3,
               img.begin() + ((size_t)r * iw + x + w) * 3);
    return v;
  }
  std::unique_ptr<Fl_Window> top;
  dcamWin *dw = nullptr;
};

static size_t count_differing(const std::vector<unsigned char> &a,
                              const std::vector<unsigned char> &b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); i++) n += a[i] != b[i];
  return n + (a.size() > b.size() ? a.size() - b.size() : b.size() - a.size());
}

TEST_F(DisplayDrawn, ColourAndMonoWithoutGamma) {
  show();
  const int sizes[][3] = {{640, 480, 2}, {1280, 960, 4}, {320, 240, 1}};
  for (auto &s : sizes)
    for (int bpp : {3, 1}) {
      SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << " bpp " << bpp);
      auto img = pattern(s[0], s[1], bpp, s[2] + bpp);
      dw->DisplayImage(img.data(), s[0], s[1], s[0], bpp == 3 ? S_RGB24 : S_MONO,
                       1, 0, 0, 0);
      EXPECT_EQ(0u, count_differing(reduced(img, s[0], bpp, s[2], 320, 240, nullptr),
                                    read()));
    }
}

TEST_F(DisplayDrawn, ColourAndMonoThroughTheGammaTable) {
  show();
  unsigned char tab[256];
  for (int i = 0; i < 256; i++) tab[i] = ref_gamma(i, 0.6);
  dw->displayGamma = 0.6;
  for (int bpp : {3, 1}) {
    SCOPED_TRACE(bpp);
    auto img = pattern(640, 480, bpp, bpp);
    dw->DisplayImage(img.data(), 640, 480, 640, bpp == 3 ? S_RGB24 : S_MONO, 1,
                     0.6, 0, 0);
    EXPECT_EQ(0u, count_differing(reduced(img, 640, bpp, 2, 320, 240, tab), read()));
  }
}

TEST_F(DisplayDrawn, PartialRedrawUsesTheClippedRowsCorrectly) {
  show();
  unsigned char tab[256];
  for (int i = 0; i < 256; i++) tab[i] = ref_gamma(i, 0.4);
  dw->displayGamma = 0.4;
  auto a = pattern(640, 480, 3, 1);
  dw->DisplayImage(a.data(), 640, 480, 640, S_RGB24, 1, 0.4, 0, 0);
  dw->redraw();
  Fl::flush();
  // the next frame goes to the screen; then only a region is redrawn
  auto b = pattern(640, 480, 3, 2);
  dw->DisplayImage(b.data(), 640, 480, 640, S_RGB24, 1, 0.4, 0, 0);
  dw->make_current();
  fl_color(FL_BLACK);
  fl_rectf(0, 0, 320, 240);
  dw->damage(FL_DAMAGE_ALL, 37, 11, 100, 50);
  Fl::flush();
  auto want = reduced(b, 640, 3, 2, 320, 240, tab);
  EXPECT_EQ(0u, count_differing(region(want, 37, 11, 100, 50), read(37, 11, 100, 50)));
}

TEST_F(DisplayDrawn, OtherPixelTypesLeaveThePreviousPicture) {
  show();
  auto img = pattern(320, 240, 3, 5);
  dw->DisplayImage(img.data(), 320, 240, 320, S_RGB24, 1, 0, 0, 0);
  auto before = read();
  auto raw = pattern(320, 240, 1, 9);
  for (int type : {S_BAYER, S_YUV422, S_YUV411}) {
    dw->DisplayImage(raw.data(), 320, 240, 320, type, 1, 0, 0, 0);
    EXPECT_EQ(0u, count_differing(before, read())) << type;
  }
}

static void cross_overlay(dcamWin *w, void *arg) {
  *(int *)arg += 1;
  fl_color(FL_RED);
  fl_rectf(100, 100, 20, 10);
}

TEST_F(DisplayDrawn, ClearThenRedrawGivesBlackWithTheOverlayOnTop) {
  show();
  int calls = 0;
  dw->DrawOverlayFn(cross_overlay, &calls);
  auto img = pattern(640, 480, 3, 3);
  dw->DisplayImage(img.data(), 640, 480, 640, S_RGB24, 1, 0, 0, 0);
  EXPECT_EQ(0, calls);  // frames do not draw the overlay
  dw->ClearImage();
  EXPECT_EQ(nullptr, dw->pixelData);
  Fl::flush();
  EXPECT_GE(calls, 1);
  auto px = read();
  std::vector<unsigned char> want(320 * 240 * 3, 0);
  for (int y = 100; y < 110; y++)
    for (int x = 100; x < 120; x++) want[(y * 320 + x) * 3] = 255;
  EXPECT_EQ(0u, count_differing(want, px));
}

TEST_F(DisplayDrawn, SmallFrameSitsTopLeftOnBlackAfterARedraw) {
  show();
  auto big = pattern(320, 240, 3, 7);
  dw->DisplayImage(big.data(), 320, 240, 320, S_RGB24, 1, 0, 0, 0);
  auto small = pattern(160, 120, 3, 8);
  dw->DisplayImage(small.data(), 160, 120, 160, S_RGB24, 1, 0, 0, 0);
  dw->redraw();
  Fl::flush();
  std::vector<unsigned char> want(320 * 240 * 3, 0);
  for (int y = 0; y < 120; y++)
    std::copy(small.begin() + y * 160 * 3, small.begin() + (y + 1) * 160 * 3,
              want.begin() + y * 320 * 3);
  EXPECT_EQ(0u, count_differing(want, read()));
}

TEST_F(DisplayDrawn, ImageGivenBeforeShowAppearsAtTheFirstRedraw) {
  auto img = pattern(640, 480, 1, 4);
  dw->DisplayImage(img.data(), 640, 480, 640, S_MONO, 1, 0, 0, 0);
  show();
  EXPECT_EQ(0u, count_differing(reduced(img, 640, 1, 2, 320, 240, nullptr), read()));
}

static int pushes, got_x, got_y, got_buttons, got_mods;
static dcamWin *got_win;
static int record_push(int x, int y, int b, int m, dcamWin *w) {
  pushes++;
  got_x = x;
  got_y = y;
  got_buttons = b;
  got_mods = m;
  got_win = w;
  return 0;
}

TEST_F(DisplayDrawn, PressesGoToTheHandlerAndKeysEndHere) {
  show();
  Fl::e_x = 12;
  Fl::e_y = 34;
  Fl::e_state = FL_BUTTON1 | FL_SHIFT | FL_CTRL;
  EXPECT_EQ(0, dw->handle(FL_PUSH));
  EXPECT_NE(dw, Fl::focus());

  pushes = 0;
  dw->ButtonHandler(record_push);
  EXPECT_EQ(1, dw->handle(FL_PUSH));
  EXPECT_EQ(1, pushes);
  EXPECT_EQ(12, got_x);
  EXPECT_EQ(34, got_y);
  EXPECT_EQ(FL_BUTTON1, got_buttons);
  EXPECT_EQ(FL_SHIFT | FL_CTRL, got_mods);
  EXPECT_EQ(dw, got_win);
  EXPECT_EQ(dw, Fl::focus());

  EXPECT_EQ(1, dw->handle(FL_KEYDOWN));
  EXPECT_EQ(0, dw->handle(FL_RELEASE));
  Fl::e_state = 0;
}

// A camera that only answers Size and Type, for DrawImage's size table.
class SizeOnlyCamera : public dCamera {
 public:
  SizeOnlyCamera() : dCamera(nullptr, 0) {}
  dISIZE Size() override { return size; }
  dITYPE Type() override { return type; }
  dISIZE size = S_640x480;
  dITYPE type = S_RGB24;
};

TEST(DisplayGeometry, DrawImageTakesSizeAndTypeFromTheCamera) {
  Fl_Window top(400, 300);
  dcamWin *dw = new dcamWin(0, 0, 320, 240);
  top.end();
  static unsigned char pixel[3];
  SizeOnlyCamera cam;
  struct {
    dISIZE size;
    int width, height, skipw, linesize;
  } cases[] = {{S_1280x960, 320, 240, 4, 5120}, {S_640x480, 320, 240, 2, 1280},
               {S_320x240, 320, 240, 1, 320},   {S_160x120, 160, 120, 1, 160},
               {S_512x384, 160, 120, 1, 160},   {S_1024x768, 160, 120, 1, 160},
               {(dISIZE)6, 160, 120, 1, 160}};
  dw->displayGamma = 0.7;
  for (auto &c : cases) {
    SCOPED_TRACE((int)c.size);
    cam.size = c.size;
    cam.type = c.size == S_320x240 ? S_MONO : S_RGB24;
    dw->DrawImage(pixel, &cam);
    EXPECT_EQ(c.width, dw->width);
    EXPECT_EQ(c.height, dw->height);
    EXPECT_EQ(c.skipw, dw->skipw);
    EXPECT_EQ(c.linesize, dw->linesize);
    EXPECT_EQ(0, dw->xoff);
    EXPECT_EQ(0, dw->yoff);
    EXPECT_EQ(cam.type, dw->pixelType);
    EXPECT_EQ(0.7, dw->oldgamma);
  }
  EXPECT_EQ(ref_gamma(100, 0.7), dw->gamtab[100]);

  // without a camera the frame cannot be read: the display stays as it was
  unsigned char other[3];
  dw->DrawImage(other, nullptr);
  EXPECT_EQ(pixel, dw->pixelData);
}

// Frames of the simulated bus, drawn as the programs draw them.
class DisplaySimFrames : public DisplayDrawn {
 protected:
  void SetUp() override {
    DisplayDrawn::SetUp();
    dSysInit();
    ASSERT_NE(nullptr, dSys);
  }
  dCamera *start(int num, dISIZE size, dITYPE type) {
    dCamera *cam = dSys->InitCamera(num);
    if (!cam) return nullptr;
    EXPECT_TRUE(cam->SetFormat(size, type, S_15, 1, false)) << cam->error;
    EXPECT_TRUE(cam->Start());
    started.push_back(cam);
    return cam;
  }
  unsigned char *next(dCamera *cam) {
    unsigned char *im = nullptr;
    EXPECT_TRUE(cam->GetImage(&im, 500, nullptr, nullptr));
    return im;
  }
  void TearDown() override {
    for (dCamera *c : started) c->Stop();
    DisplayDrawn::TearDown();
  }
  ScopedEnv config{"VIRIZEDA_SIM_CONFIG", nullptr};
  ScopedEnv state{"VIRIZEDA_SIM_STATE", nullptr};
  std::vector<dCamera *> started;
};

TEST_F(DisplaySimFrames, ColourFramesAppearReducedWithTheirBarCode) {
  show();
  dCamera *cam = start(0, S_640x480, S_RGB24);
  ASSERT_NE(nullptr, cam);
  int last = -1;
  for (int i = 0; i < 3; i++) {
    unsigned char *im = next(cam);
    ASSERT_NE(nullptr, im);
    dw->DrawImage(im, cam);
    std::vector<unsigned char> frame(im, im + 640 * 480 * 3);
    auto px = read();
    EXPECT_EQ(0u, count_differing(reduced(frame, 640, 3, 2, 320, 240, nullptr), px));
    int code = vzsim::barcode(px.data(), 320, 3);
    EXPECT_EQ(vzsim::barcode(im, 640, 3), code);
    EXPECT_GT(code, last);
    last = code;
  }
}

TEST_F(DisplaySimFrames, MonoFramesWithGammaAndBayerLeavesThePicture) {
  show();
  dCamera *mono = start(1, S_1280x960, S_MONO);
  ASSERT_NE(nullptr, mono);
  dw->displayGamma = 0.45;
  unsigned char tab[256];
  for (int i = 0; i < 256; i++) tab[i] = ref_gamma(i, 0.45);
  unsigned char *im = next(mono);
  ASSERT_NE(nullptr, im);
  dw->DrawImage(im, mono);
  std::vector<unsigned char> frame(im, im + 1280 * 960);
  auto shown = read();
  EXPECT_EQ(0u, count_differing(reduced(frame, 1280, 1, 4, 320, 240, tab), shown));
  EXPECT_GE(vzsim::barcode(shown.data(), 320, 3), 0);

  dCamera *bayer = start(2, S_640x480, S_BAYER);
  ASSERT_NE(nullptr, bayer);
  unsigned char *raw = next(bayer);
  ASSERT_NE(nullptr, raw);
  dw->DrawImage(raw, bayer);
  EXPECT_EQ(S_BAYER, dw->pixelType);
  EXPECT_EQ(0u, count_differing(shown, read()));
}

}  // namespace
