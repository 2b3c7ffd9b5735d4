// What the programs rely on from the camera library, checked over whatever
// cameras the bus of the environment holds (VIRIZEDA_BUS and what that bus
// reads), with no assumption about their names, number or defaults. CTest
// runs this program once per bus; see tests/CMakeLists.txt.
#include <gtest/gtest.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dcam.h"
#include "diag_lines.h"

namespace {

bool inside_call = false;
int lines_outside = 0;
pthread_t main_thread;
int lines_elsewhere = 0;

void collect(char *line) {
  DiagLines::sink(line);
  if (!inside_call) ++lines_outside;
  if (!pthread_equal(pthread_self(), main_thread)) ++lines_elsewhere;
}

const dISIZE sizes[] = {S_1280x960, S_640x480, S_320x240, S_160x120};
const int dims[][2] = {{640, 480}, {320, 240}, {160, 120},
                       {512, 384}, {1024, 768}, {1280, 960}};

// The frame number that a simulated camera's picture carries as a bar code
// in its top rows (16 blocks, most significant bit first); -1 for another
// picture.
int bar_code(const unsigned char *row, int w) {
  int code = 0;
  for (int k = 0; k < 16; ++k) {
    unsigned char v = row[(2 * k + 1) * w / 32];
    if (v > 191) code = code << 1 | 1;
    else if (v < 64) code <<= 1;
    else return -1;
  }
  return code;
}

// A format every camera should deliver: the largest usual size up to
// 640x480, mono, at 15 fps.
dISIZE modest_size(dCamera *c) {
  for (dISIZE s : {S_640x480, S_320x240, S_160x120})
    if (dims[s][0] <= c->max_width && dims[s][1] <= c->max_height) return s;
  return S_160x120;
}

}  // namespace

class BusContract : public ::testing::Test {
 protected:
  void SetUp() override {
    DiagLines::clear();
    lines_outside = lines_elsewhere = 0;
    main_thread = pthread_self();
    dcamDebug = collect;
    inside_call = true;
    dSysInit();
    inside_call = false;
    ASSERT_NE(dSys, nullptr) << "the bus of this run must open: "
                             << (DiagLines::lines().empty() ? "" : DiagLines::lines().back());
    ASSERT_GT(dSys->NumCameras(), 0) << "the bus of this run holds no camera";
  }
  void TearDown() override {
    inside_call = true;
    delete dSys;
    dSys = nullptr;
    inside_call = false;
    dcamDebug = nullptr;
    EXPECT_EQ(lines_outside, 0) << "diagnostics only from within calls";
    EXPECT_EQ(lines_elsewhere, 0) << "diagnostics only on the caller's thread";
  }

  dCamera *open(int n) {
    inside_call = true;
    dCamera *c = dSys->InitCamera(n);
    inside_call = false;
    return c;
  }

  // Frames of the format set: laid out as its size and type say, numbered
  // upward. Reads every byte, so a short frame shows under the sanitizers.
  void expect_frames(dCamera *c, int w, int h, int bpp) {
    inside_call = true;
    ASSERT_TRUE(c->Start()) << c->error;
    int last = -1;
    for (int i = 0; i < 3; ++i) {
      unsigned char *img = nullptr;
      int seq = -1;
      unsigned long usec = 0;
      ASSERT_TRUE(c->GetImage(&img, 500, &seq, &usec)) << w << "x" << h;
      ASSERT_NE(img, nullptr);
      EXPECT_GT(seq, last);
      last = seq;
      unsigned sum = 0;
      for (size_t k = 0; k < (size_t)w * h * bpp; ++k) sum += img[k];
      EXPECT_GT(sum, 0u) << "a frame of nothing but zeros";
    }
    unsigned char *img = nullptr;
    EXPECT_TRUE(c->GetImage(&img, 500, nullptr, nullptr)) << "null slots";
    EXPECT_TRUE(c->Stop());
    EXPECT_TRUE(c->Stop()) << "harmless when not streaming";
    inside_call = false;
  }
};

TEST_F(BusContract, NamesAndIdentifiersForEveryCamera) {
  int n = dSys->NumCameras();
  for (int i = 0; i < n; ++i) {
    ASSERT_NE(dSys->Names()[i], nullptr) << i;
    EXPECT_GT(strlen(dSys->Names()[i]), 0u);
    ASSERT_NE(dSys->ChipIDs()[i], nullptr) << i;
  }
  EXPECT_GT(strlen(dcamVersion), 0u);
  EXPECT_EQ(open(n), nullptr) << "no camera past the last";
  EXPECT_EQ(open(-1), nullptr);
}

TEST_F(BusContract, EveryCameraOpensFilledAndOpensAgain) {
  for (int i = 0; i < dSys->NumCameras(); ++i) {
    dCamera *c = open(i);
    ASSERT_NE(c, nullptr) << "camera " << i << ": " << (DiagLines::lines().empty() ? "" : DiagLines::lines().back());
    EXPECT_TRUE(c->initialized);
    EXPECT_GE(c->max_width, 160);
    EXPECT_GE(c->max_height, 120);
    EXPECT_GE(c->max_frame_div, 1);
    int dev = c->devID, w = c->max_width;
    bool color = c->has_color;
    EXPECT_EQ(open(i), c) << "the same camera again";
    EXPECT_EQ(c->devID, dev);
    EXPECT_EQ(c->max_width, w);
    EXPECT_EQ(c->has_color, color);
  }
}

TEST_F(BusContract, EveryUsualFormatEitherDeliversItsLayoutOrSaysWhy) {
  for (int i = 0; i < dSys->NumCameras(); ++i) {
    dCamera *c = open(i);
    ASSERT_NE(c, nullptr) << i;
    for (dISIZE s : sizes)
      for (dITYPE t : {S_MONO, S_RGB24}) {
        if (t == S_RGB24 && !c->has_color) continue;
        int w = dims[s][0], h = dims[s][1];
        inside_call = true;
        bool ok = c->SetFormat(s, t, s == S_1280x960 ? S_15 : S_30, 1, false);
        inside_call = false;
        if (!ok) {
          EXPECT_GT(strlen(c->error), 0u) << w << "x" << h << " " << t;
          continue;
        }
        EXPECT_EQ(c->Size(), s);
        EXPECT_EQ(c->Type(), t);
        expect_frames(c, w, h, t == S_RGB24 ? 3 : 1);
      }
  }
}

TEST_F(BusContract, ARefusedFormatKeepsTheLastOne) {
  dCamera *c = open(0);
  ASSERT_NE(c, nullptr);
  dISIZE s = modest_size(c);
  inside_call = true;
  ASSERT_TRUE(c->SetFormat(s, S_MONO, S_15, 1, false)) << c->error;
  EXPECT_FALSE(c->SetFormat(S_1024x768, S_MONO, S_15, 1, false));
  EXPECT_GT(strlen(c->error), 0u);
  EXPECT_FALSE(c->SetFormat(s, S_MONO, S_15, 99, false)) << "divider 99";
  EXPECT_FALSE(c->SetFormat(s, (dITYPE)7, S_15, 1, false));
  inside_call = false;
  EXPECT_EQ(c->Size(), s);
  EXPECT_EQ(c->Type(), S_MONO);
  expect_frames(c, dims[s][0], dims[s][1], 1);
}

TEST_F(BusContract, OpeningAgainWhileStreamingKeepsTheStream) {
  dCamera *c = open(0);
  ASSERT_NE(c, nullptr);
  inside_call = true;
  ASSERT_TRUE(c->SetFormat(modest_size(c), S_MONO, S_30, 1, false));
  ASSERT_TRUE(c->Start());
  unsigned char *img = nullptr;
  int first = -1, next = -1;
  ASSERT_TRUE(c->GetImage(&img, 500, &first, nullptr));
  inside_call = false;
  EXPECT_EQ(open(0), c);
  inside_call = true;
  ASSERT_TRUE(c->GetImage(&img, 500, &next, nullptr));
  EXPECT_GT(next, first);
  c->Stop();
  EXPECT_FALSE(c->GetImage(&img, 50, nullptr, nullptr)) << "stopped";
  inside_call = false;
}

TEST_F(BusContract, ParametersReportWhatWasSetOnTheSameScale) {
  for (int i = 0; i < dSys->NumCameras(); ++i) {
    dCamera *c = open(i);
    ASSERT_NE(c, nullptr) << i;
    inside_call = true;
    if (c->has_manual_exposure) {
      int v = c->max_exposure < 37 ? c->max_exposure : 37;
      c->SetExposure(v, false);
      EXPECT_EQ(c->exposure, v) << i;
      EXPECT_FALSE(c->do_auto_exposure);
    }
    if (c->has_manual_gain) {
      int v = c->max_gain < 21 ? c->max_gain : 21;
      c->SetGain(v, false);
      EXPECT_EQ(c->gain, v) << i;
    }
    if (c->has_auto_gain) {
      c->SetGain(0, true);
      EXPECT_TRUE(c->do_auto_gain);
    }
    c->SetBrightness(50, false);
    c->SetWhiteBalance(50, 50, false);
    c->SetSaturation(50);
    c->SetGamma(false);
    c->SetSharpness(50);
    c->SetYOffset(0, 0);
    inside_call = false;
  }
}

// An IIDC camera answers at its ROM and registers; a camera without them
// (GenICam) answers false there, and a failed read leaves the value.
TEST_F(BusContract, RegistersReadAndFailedReadsLeaveTheValue) {
  for (int i = 0; i < dSys->NumCameras(); ++i) {
    dCamera *c = open(i);
    ASSERT_NE(c, nullptr) << i;
    inside_call = true;
    unsigned long v = 0;
    if (c->ReadQuadlet(0xF0000400, &v)) {
      EXPECT_EQ(v >> 24, 4u) << i << ": bus info block of length 4";
      ASSERT_TRUE(c->ReadQuadlet(0xF0000404, &v)) << i;
      EXPECT_EQ(v, 0x31333934u) << i << ": \"1394\"";
      ASSERT_TRUE(c->ReadQuadlet(0xF0F00100, &v)) << i << ": V_FORMAT_INQ";
      EXPECT_NE(v, 0u) << i;
    } else {
      for (unsigned long addr : {0xF0000404ul, 0xF0F00100ul, 0xF0FFF004ul}) {
        unsigned long keep = 12345;
        EXPECT_FALSE(c->ReadQuadlet(addr, &keep)) << i << std::hex << ": " << addr;
        EXPECT_EQ(keep, 12345u) << i << std::hex << ": " << addr;
      }
    }
    unsigned long keep = 12345;
    EXPECT_FALSE(c->ReadQuadlet(0xF0F00102, &keep)) << i << ": unaligned";
    EXPECT_EQ(keep, 12345u) << i;
    inside_call = false;
  }
}

TEST_F(BusContract, CalibrationAndLocalBlockWhereTheCameraHasThem) {
  for (int i = 0; i < dSys->NumCameras(); ++i) {
    dCamera *c = open(i);
    ASSERT_NE(c, nullptr) << i;
    inside_call = true;
    unsigned long version = 0;
    if (c->ReadQuadlet(0xF0FFF004, &version) && version) {
      EXPECT_TRUE(c->SaveLocalParams()) << i;
    }
    if (c->GetCalib(nullptr, 0)) {
      EXPECT_TRUE(c->SetCalib(nullptr, 0)) << i;
      EXPECT_FALSE(c->GetCalib(nullptr, 0)) << "erased";
    }
    inside_call = false;
  }
}

TEST_F(BusContract, FramesComeInTheOrderTakenAtAnyPace) {
  // a program that stores or draws for a while between its calls
  const int pause_ms[] = {0, 250, 40, 90, 0, 180, 10, 120, 230, 60, 0, 200, 30, 150, 70};
  for (int i = 0; i < dSys->NumCameras(); ++i) {
    dCamera *c = open(i);
    ASSERT_NE(c, nullptr) << i;
    dISIZE s = modest_size(c);
    inside_call = true;
    ASSERT_TRUE(c->SetFormat(s, S_MONO, S_30, 1, false)) << c->error;
    ASSERT_TRUE(c->Start()) << c->error;
    int last = -1, last_code = -1;
    for (int k = 0; k < 30; ++k) {
      usleep(pause_ms[k % 15] * 1000);
      if (k % 7 == 6) c->FlushImages();  // what waited is discarded, still in order
      unsigned char *img = nullptr;
      int frame = -1;
      ASSERT_TRUE(c->GetImage(&img, 1000, &frame, nullptr)) << i << " " << k;
      EXPECT_GT(frame, last) << i << " " << k;
      int code = bar_code(img, dims[s][0]);  // -1 unless the picture tells
      if (code >= 0 && last_code >= 0) {
        int ahead = (code - last_code) & 0xffff;
        EXPECT_TRUE(ahead > 0 && ahead < 0x8000)
            << "camera " << i << ", call " << k << ": picture " << code << " after "
            << last_code;
        EXPECT_EQ(frame - last, ahead) << "numbers advance with the pictures";
      }
      last = frame, last_code = code;
    }
    EXPECT_TRUE(c->Stop());
    inside_call = false;
  }
}

TEST_F(BusContract, FrameNumbersRunOnOverAFormatChangeWhileStreaming) {
  dCamera *c = open(0);
  ASSERT_NE(c, nullptr);
  dISIZE s = modest_size(c), other = s == S_160x120 ? s : S_160x120;
  inside_call = true;
  ASSERT_TRUE(c->SetFormat(s, S_MONO, S_30, 1, false)) << c->error;
  ASSERT_TRUE(c->Start()) << c->error;
  unsigned char *img = nullptr;
  int before = -1, after = -1;
  for (int k = 0; k < 5; ++k) ASSERT_TRUE(c->GetImage(&img, 1000, &before, nullptr));
  ASSERT_TRUE(c->SetFormat(other, S_MONO, S_15, 1, false)) << c->error;
  ASSERT_TRUE(c->GetImage(&img, 1000, &after, nullptr));
  EXPECT_GT(after, before);
  EXPECT_EQ(c->Size(), other);
  EXPECT_TRUE(c->Stop());
  inside_call = false;
}

// What the programs show of a camera follows from the type word of its
// local block, where it has one, so it is the same on every bus.
TEST_F(BusContract, CapabilitiesAgreeWithTheCamerasOwnTypeWord) {
  for (int i = 0; i < dSys->NumCameras(); ++i) {
    dCamera *c = open(i);
    ASSERT_NE(c, nullptr) << i;
    inside_call = true;
    unsigned long version = 0, type = 0;
    if (c->ReadQuadlet(0xF0FFF004, &version) && version &&
        c->ReadQuadlet(0xF0FFF008, &type)) {
      EXPECT_EQ(c->isBayer, (type >> 9 & 1) != 0) << dSys->Names()[i];
      EXPECT_EQ(c->isStereo, (type >> 10 & 1) != 0) << dSys->Names()[i];
    }
    inside_call = false;
  }
}
