// Frames of the simulated cameras: sizes and layouts, bar codes, pacing,
// and the picture answering the video parameters.
#include <math.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "virizeda_test_util.h"

namespace {

double now_s() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Dims {
  dISIZE size;
  int w, h;
};
const Dims dims[] = {{S_1280x960, 1280, 960},
                     {S_640x480, 640, 480},
                     {S_320x240, 320, 240},
                     {S_160x120, 160, 120}};

// Mean of the bytes of rows [y0, y1) of a frame.
double mean_rows(const unsigned char *img, int w, int bpp, int y0, int y1) {
  double sum = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < w * bpp; ++x) sum += img[(size_t)y * w * bpp + x];
  return sum / ((double)(y1 - y0) * w * bpp);
}

const char *unpaced_bus = R"({"cameras": [
  {"stereo": true, "color": true, "unpaced": true, "has_gamma": true,
   "has_y_offset": true, "max_y_offset": 8, "local_params_version": 512},
  {"unpaced": true, "local_params_version": 512, "has_auto_exposure": true,
   "has_auto_gain": true},
  {"color": true, "bayer": true, "unpaced": true},
  {"color": true, "bayer": true, "bggr": true, "unpaced": true}]})";

}  // namespace

class Frames : public SimBusTest {
 protected:
  unsigned char *grab(dCamera *c, int *seq = nullptr) {
    unsigned char *img = nullptr;
    EXPECT_TRUE(c->GetImage(&img, 500, seq, nullptr));
    return img;
  }
};

TEST_F(Frames, EverySizeAndTypeCarriesItsBarCodeInTheTopEightRows) {
  open_bus(unpaced_bus);
  for (int cam : {0, 1, 2}) {
    dCamera *c = dSys->InitCamera(cam);
    for (const Dims &d : dims)
      for (dITYPE t : {S_MONO, S_RGB24, S_BAYER}) {
        if (cam == 1 && t != S_MONO) continue;
        ASSERT_TRUE(c->SetFormat(d.size, t, S_3, 1, false)) << c->error;
        ASSERT_TRUE(c->Start());
        int bpp = t == S_RGB24 ? 3 : 1, seq = -1;
        unsigned char *img = grab(c, &seq);
        for (int y = 0; y < 8; ++y)
          EXPECT_EQ(vzsim::barcode(img + (size_t)y * d.w * bpp, d.w, bpp), seq)
              << cam << " " << d.w << " type " << t << " row " << y;
        EXPECT_EQ(vzsim::barcode(img + (size_t)8 * d.w * bpp, d.w, bpp), -1)
            << "row 8 is picture";
        // the last byte of the frame belongs to it: written, not left over
        EXPECT_GT(mean_rows(img, d.w, bpp, d.h - 1, d.h), 10);
        c->Stop();
      }
  }
}

TEST_F(Frames, BarCodesOfConsecutiveFramesCountUpAndWrapAt16Bits) {
  dCamera *c = open_camera(1, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_30, 1, false));
  ASSERT_TRUE(c->Start());
  for (int i = 0; i < 5; ++i) {
    int seq = -1;
    unsigned char *img = grab(c, &seq);
    EXPECT_EQ(seq, i);
    EXPECT_EQ(vzsim::barcode(img, 160, 1), i);
  }
  // blocks: 16 equal ones, 255 for 1, most significant first
  unsigned char *img = vzsim::make_frame(c, 0x8001);
  EXPECT_EQ(img[0], 255);
  EXPECT_EQ(img[9], 255);
  EXPECT_EQ(img[10], 0);
  EXPECT_EQ(img[149], 0);
  EXPECT_EQ(img[150], 255);
  EXPECT_EQ(vzsim::barcode(vzsim::make_frame(c, 65536 + 7), 160, 1), 7);
  // a row reduced by taking every fourth pixel still reads
  unsigned char reduced[40];
  img = vzsim::make_frame(c, 0xa5c3);
  for (int x = 0; x < 40; ++x) reduced[x] = img[4 * x];
  EXPECT_EQ(vzsim::barcode(reduced, 40, 1), 0xa5c3);
}

TEST_F(Frames, MonoIsTheLumaOfTheColourPicture) {
  dCamera *c = open_camera(0, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_RGB24, S_30, 1, false));
  std::vector<unsigned char> rgb(vzsim::make_frame(c, 3),
                                 vzsim::make_frame(c, 3) + 320 * 240 * 3);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_MONO, S_30, 1, false));
  unsigned char *mono = vzsim::make_frame(c, 3);
  int off = 0;
  for (int i = 320 * 8; i < 320 * 240; i += 97) {
    double y = 0.299 * rgb[3 * i] + 0.587 * rgb[3 * i + 1] + 0.114 * rgb[3 * i + 2];
    if (fabs(y - mono[i]) > 2) ++off;
  }
  EXPECT_EQ(off, 0);
}

TEST_F(Frames, BayerSamplesTheColourPictureThroughItsMosaic) {
  open_bus(unpaced_bus);
  for (int cam : {2, 3}) {
    dCamera *c = dSys->InitCamera(cam);
    ASSERT_TRUE(c->SetFormat(S_320x240, S_RGB24, S_30, 1, false));
    std::vector<unsigned char> rgb(vzsim::make_frame(c, 0),
                                   vzsim::make_frame(c, 0) + 320 * 240 * 3);
    ASSERT_TRUE(c->SetFormat(S_320x240, S_BAYER, S_30, 1, false));
    unsigned char *raw = vzsim::make_frame(c, 0);
    bool bggr = cam == 3;
    int bad = 0;
    for (int y = 8; y < 240; ++y)
      for (int x = 0; x < 320; ++x) {
        int ch = ((y & 1) != (x & 1)) ? 1 : (((y & 1) == 0) != bggr ? 0 : 2);
        if (abs(raw[y * 320 + x] - rgb[(y * 320 + x) * 3 + ch]) > 1) ++bad;
      }
    EXPECT_EQ(bad, 0) << (bggr ? "BGGR" : "RGGB");
    // red bar (sixth of eight) at an R site is bright, at a B site dark
    int rx = 320 * 11 / 16 & ~1, y = 40;
    int r_site = bggr ? raw[(y + 1) * 320 + rx + 1] : raw[y * 320 + rx];
    int b_site = bggr ? raw[y * 320 + rx] : raw[(y + 1) * 320 + rx + 1];
    EXPECT_GT(r_site, 100);
    EXPECT_LT(b_site, 60);
  }
}

TEST_F(Frames, StereoFrameHoldsLeftAndRightViewsSideBySideWithDisparity) {
  dCamera *c = open_camera(0, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_640x480, S_MONO, S_30, 1, false));
  unsigned char *img = vzsim::make_frame(c, 40);  // object mid-view
  const unsigned char *bars = img + 100 * 640, *ball = img + 150 * 640;
  auto first_edge = [&](int x0) {
    for (int x = x0 + 1; x < x0 + 320; ++x)
      if (bars[x] != bars[x - 1]) return x - x0;
    return -1;
  };
  auto first_diff = [&](int x0) {
    for (int x = x0; x < x0 + 320; ++x)
      if (ball[x] != bars[x]) return x - x0;
    return -1;
  };
  int bg = first_edge(0) - first_edge(320);
  int near = first_diff(0) - first_diff(320);
  EXPECT_GT(bg, 0) << "the background shifts left in the right view";
  EXPECT_GT(near, bg) << "the near object shifts further";
  EXPECT_LT(near, 320 / 4);
  // both views hold the same eight bars
  EXPECT_NEAR(img[100 * 640 + 20], img[100 * 640 + 320 + 20], 2);
  EXPECT_NEAR(img[100 * 640 + 300], img[100 * 640 + 320 + 300], 2);
}

TEST_F(Frames, SceneMovesFromFrameToFrame) {
  dCamera *c = open_camera(1, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_MONO, S_30, 1, false));
  std::vector<unsigned char> a(vzsim::make_frame(c, 10),
                               vzsim::make_frame(c, 10) + 320 * 240);
  unsigned char *b = vzsim::make_frame(c, 11);
  int changed = 0;
  for (int i = 320 * 8; i < 320 * 240; ++i) changed += a[i] != b[i];
  EXPECT_GT(changed, 320 * 10) << "gradient and object move";
  EXPECT_EQ(memcmp(a.data(), vzsim::make_frame(c, 10), a.size()), 0)
      << "a frame depends only on its number and the settings";
}

TEST_F(Frames, ExposureGainAndBrightnessVisiblyChangeThePicture) {
  dCamera *c = open_camera(1, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_MONO, S_30, 1, false));
  auto level = [&] { return mean_rows(vzsim::make_frame(c, 0), 320, 1, 8, 240); };
  double base = level();
  c->SetExposure(80, false);
  double bright = level();
  c->SetExposure(20, false);
  double dark = level();
  EXPECT_GT(bright, base + 20);
  EXPECT_LT(dark, base - 20);
  c->SetExposure(50, false);
  c->SetGain(80, false);
  EXPECT_GT(level(), base + 20);
  c->SetGain(0, false);
  c->SetBrightness(100, false);
  EXPECT_GT(level(), base + 10);
  c->SetBrightness(0, false);
  EXPECT_LT(level(), base - 10);
}

TEST_F(Frames, InversionBitTurnsThePictureUpsideDownBelowTheBarCode) {
  dCamera *c = open_camera(1, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_MONO, S_30, 1, false));
  std::vector<unsigned char> up(vzsim::make_frame(c, 0),
                                vzsim::make_frame(c, 0) + 320 * 240);
  ASSERT_TRUE(c->WriteQuadlet(0xF0FFF00C, 0x0100ffff));
  EXPECT_TRUE(c->isReversed);
  unsigned char *down = vzsim::make_frame(c, 0);
  EXPECT_EQ(vzsim::barcode(down, 320, 1), 0);
  for (int y : {8, 100, 200, 231})  // rows away from the moving parts
    EXPECT_EQ(memcmp(down + y * 320 + 200, &up[(239 - y) * 320 + 200], 100), 0)
        << y;
  ASSERT_TRUE(c->WriteQuadlet(0xF0FFF00C, 0x0000ffff));
  EXPECT_FALSE(c->isReversed);
  EXPECT_EQ(memcmp(vzsim::make_frame(c, 0), up.data(), up.size()), 0);
}

TEST_F(Frames, VerticalOffsetShiftsThePictureUp) {
  dCamera *c = open_camera(0, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_MONO, S_30, 1, false));
  std::vector<unsigned char> a(vzsim::make_frame(c, 0),
                               vzsim::make_frame(c, 0) + 320 * 240);
  c->SetYOffset(6, 0);
  unsigned char *b = vzsim::make_frame(c, 0);
  // the bars-to-gradient edge of the left view moves up by 6 rows
  int edge_a = 0, edge_b = 0;
  for (int y = 100; y < 239 && !edge_a; ++y)
    if (a[y * 320 + 4] != a[(y + 1) * 320 + 4]) edge_a = y;
  for (int y = 100; y < 239 && !edge_b; ++y)
    if (b[y * 320 + 4] != b[(y + 1) * 320 + 4]) edge_b = y;
  EXPECT_EQ(edge_a - edge_b, 6);
}

TEST_F(Frames, AutomaticExposureConvergesFrameByFrame) {
  dCamera *c = open_camera(1, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_30, 1, false));
  c->SetExposure(5, false);
  ASSERT_TRUE(c->Start());
  grab(c);
  double dark = mean_rows(grab(c), 160, 1, 8, 120);
  c->SetExposure(5, true);
  std::vector<int> seen;
  for (int i = 0; i < 40; ++i) {
    grab(c);
    seen.push_back(c->exposure);
  }
  EXPECT_GT(seen[1], seen[0]) << "moves after each frame";
  EXPECT_GT(seen.back(), 30);
  EXPECT_EQ(seen[seen.size() - 1], seen[seen.size() - 5]) << "settled";
  double lit = mean_rows(grab(c), 160, 1, 8, 120);
  EXPECT_NEAR(lit, 110, 15);
  EXPECT_LT(dark, 60);
  // from too bright it comes down again, gain first
  c->SetExposure(100, false);
  c->SetGain(60, false);
  c->SetExposure(0, true);
  c->SetGain(0, true);
  for (int i = 0; i < 80; ++i) grab(c);
  EXPECT_EQ(c->gain, 0);
  EXPECT_NEAR(mean_rows(grab(c), 160, 1, 8, 120), 110, 15);
}

TEST_F(Frames, GainAloneConvergesWhenOnlyItIsAutomatic) {
  dCamera *c = open_camera(1, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_30, 1, false));
  c->SetExposure(20, false);
  c->SetGain(0, true);
  ASSERT_TRUE(c->Start());
  for (int i = 0; i < 40; ++i) grab(c);
  EXPECT_EQ(c->exposure, 20);
  EXPECT_GT(c->gain, 20);
}

TEST_F(Frames, PacingFollowsRateAndDivider) {
  dCamera *c = open_camera(0);
  struct Case {
    dISPEED speed;
    int fdiv;
    double fps;
  } cases[] = {{S_30, 1, 30}, {S_60, 3, 20}, {S_15, 1, 15}, {S_30, 2, 15}};
  for (const Case &k : cases) {
    ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, k.speed, k.fdiv, false));
    ASSERT_TRUE(c->Start());
    // the frames' own times, whatever the machine's load: a busy test
    // drops frames, which the frame numbers count
    unsigned char *img;
    int first = -1, last = -1;
    unsigned long t_first = 0, t_last = 0;
    ASSERT_TRUE(c->GetImage(&img, 500, &first, &t_first));
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(c->GetImage(&img, 500, &last, &t_last));
    ASSERT_GT(last, first);
    EXPECT_NEAR((double)(t_last - t_first) / (last - first), 1e6 / k.fps, 100)
        << k.speed << "/" << k.fdiv;
    c->Stop();
  }
}

TEST_F(Frames, FiftyHertzTimingSlowsTheRates) {
  dCamera *c = open_camera(0);
  ASSERT_TRUE(c->WriteQuadlet(0xF0FFF024, 0x00010001));
  EXPECT_TRUE(c->is_50Hz_rate);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_60, 1, false));
  ASSERT_TRUE(c->Start());
  unsigned long t_first = 0, t_last = 0;
  unsigned char *img;
  int first = 0, last = 0;
  ASSERT_TRUE(c->GetImage(&img, 500, &first, &t_first));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(c->GetImage(&img, 500, &last, &t_last));
  EXPECT_NEAR((double)(t_last - t_first) / (last - first), 20000, 100)
      << "50 fps, frame times exact";
}

TEST_F(Frames, WaitLimitAndTimeouts) {
  dCamera *c = open_camera(0);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_3, 3, false));  // 0.8 s apart
  ASSERT_TRUE(c->Start());
  unsigned char *img = nullptr;
  double t0 = now_s();
  EXPECT_FALSE(c->GetImage(&img, 100, nullptr, nullptr));
  EXPECT_GT(now_s() - t0, 0.08) << "waits out its limit";
  EXPECT_EQ(img, nullptr) << "untouched when no frame came";
  EXPECT_FALSE(c->GetImage(&img, 0, nullptr, nullptr));
  EXPECT_FALSE(c->GetImage(&img, -5, nullptr, nullptr));
  int seq = -1;
  EXPECT_TRUE(c->GetImage(&img, 2000, &seq, nullptr));
  EXPECT_EQ(seq, 0);
  EXPECT_GT(now_s() - t0, 0.6);
}

TEST_F(Frames, ACallerThatFallsBehindGetsTheNewestFrameAndDropsAreCounted) {
  dCamera *c = open_camera(0);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_60, 1, false));
  ASSERT_TRUE(c->Start());
  unsigned char *img;
  int seq = -1;
  ASSERT_TRUE(c->GetImage(&img, 500, &seq, nullptr));
  usleep(300000);
  int later = -1;
  ASSERT_TRUE(c->GetImage(&img, 500, &later, nullptr));
  EXPECT_GE(later - seq, 12);
  EXPECT_EQ(vzsim::barcode(img, 160, 1), later);
  EXPECT_EQ(vzsim::dropped_frames(c), later - seq - 1);
  EXPECT_THAT(DiagLines::lines(), HasLine("frames dropped"));
  c->Stop();
  EXPECT_THAT(DiagLines::lines(), HasLine("dropped"));
}

TEST_F(Frames, ReadyImageAndFlushImages) {
  dCamera *c = open_camera(0);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_60, 1, false));
  EXPECT_FALSE(c->ReadyImage(10)) << "not streaming";
  ASSERT_TRUE(c->Start());
  EXPECT_TRUE(c->ReadyImage(500));
  usleep(100000);
  c->FlushImages();
  unsigned char *img;
  int seq = -1;
  ASSERT_TRUE(c->GetImage(&img, 500, &seq, nullptr));
  EXPECT_GE(seq, 5) << "flushed frames are not delivered";
}

TEST_F(Frames, FrameMemoryStaysValidAcrossFormatChanges) {
  dCamera *c = open_camera(0, unpaced_bus);
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_30, 1, false));
  ASSERT_TRUE(c->Start());
  unsigned char *small = grab(c);
  std::vector<unsigned char> copy(small, small + 160 * 120);
  c->Stop();
  ASSERT_TRUE(c->SetFormat(S_1280x960, S_RGB24, S_3, 1, false));
  // the old frame is unchanged until the next GetImage, and the memory is
  // large enough for the new format should a display redraw it
  EXPECT_EQ(memcmp(small, copy.data(), copy.size()), 0);
  ASSERT_TRUE(c->Start());
  unsigned char *big = grab(c);
  EXPECT_EQ(big, small);
  EXPECT_EQ(big[1280 * 960 * 3 - 1] != 0 || big[1280 * 960 * 3 - 2] != 0, true);
}
