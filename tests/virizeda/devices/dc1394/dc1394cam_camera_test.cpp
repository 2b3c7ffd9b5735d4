// The camera library on the libdc1394 bus, as programs see it through
// dcam.h, with the simulated cameras behind the emulated FireWire bus.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "dcam.h"
#include "devices/sim/scene.h"
#include "devices/sim/sim_config.h"
#include "devices/sim/sim_state.h"
#include "diag_lines.h"
#include "iidc/iidc.h"
#include "iidc/rom.h"
#include "test_support.h"

namespace {


template <typename F>
F hook(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

class Dc1394Bus : public ::testing::Test {
 protected:
  Dc1394Bus() : bus_("VIRIZEDA_BUS", nullptr), conf_("VIRIZEDA_SIM_CONFIG", nullptr) {}
  void SetUp() override {
    if (!hook<int (*)()>("virizeda_emu_nodes")) GTEST_SKIP() << "not on the emulated bus";
    DiagLines::clear();
    dcamDebug = DiagLines::sink;
  }
  void TearDown() override {
    delete dSys;
    dSys = nullptr;
    dcamDebug = nullptr;
  }
  // The emulated cameras of a configuration (empty: the default three),
  // through libdc1394.
  void open(const std::string &conf = "") {
    if (!conf.empty()) {
      write_file(dir_.file("bus.json"), conf);
      setenv("VIRIZEDA_SIM_CONFIG", dir_.file("bus.json").c_str(), 1);
      setenv("VIRIZEDA_BUS", "1394", 1);
    }
    dSysInit();
    ASSERT_NE(dSys, nullptr);
  }
  int code(const unsigned char *img, int w, int bpp) { return vz_barcode_read(img, w, bpp); }

  TempDir dir_;
  ScopedEnv bus_, conf_;
};

// colour and mono cameras without Format_7: conversions must be used
const char *kFixedOnly = R"({"bus_speed": 800, "cameras": [
  {"name": "Colour", "chip_id": "c", "color": true, "format7": false},
  {"name": "Mono", "chip_id": "m", "format7": false},
  {"name": "Bayer", "chip_id": "b", "color": true, "bayer": true}]})";

// A camera whose saved flash gives its ROM a vendor leaf of this length.
void save_vendor_leaf(const TempDir &dir, int cam, const char *chip_id, uint32_t len) {
  setenv("VIRIZEDA_SIM_STATE", dir.path().c_str(), 1);
  uint32_t rom[vz::iidc::ROM_QUADS];
  vz::iidc::rom_build(rom, (uint64_t)VZ_VENDOR_ID << 40 | (uint64_t)cam << 32 | 0x00050042u, 400, "Broken");
  rom[vz::iidc::ROM_VENDOR_LEAF] = len << 16;
  write_file(vz_state_file(cam, chip_id, "rom"), vz::iidc::quadlets_to_bytes(rom, vz::iidc::ROM_QUADS));
}

const char *kGoodAndBroken = R"({"cameras": [{"name": "Good", "chip_id": "g"},
                                             {"name": "Broken", "chip_id": "b"}]})";

}  // namespace

TEST_F(Dc1394Bus, ChosenNamedAndOpenedByGuid) {
  open();  // nothing set: the FireWire nodes decide
  EXPECT_STREQ(dcamVersion, "virizeda 1.0 (libdc1394 bus)");
  EXPECT_THAT(DiagLines::lines(), HasLine("libdc1394 bus: it finds 3 cameras"));
  ASSERT_EQ(dSys->NumCameras(), 3);
  EXPECT_STREQ(dSys->Names()[1], "virizeda Sim Mono");
  std::string id = dSys->ChipIDs()[1];
  ASSERT_EQ(id.size(), 16u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
  std::string upper = "0X" + id;
  for (char &ch : upper) ch = (char)toupper(ch);
  dCamera *c = dSys->InitCamera((char *)upper.c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c, dSys->InitCamera(1));
  EXPECT_EQ(dSys->InitCamera((char *)"0a13"), nullptr);
  EXPECT_EQ(dSys->InitCamera((char *)"virizeda Sim Mono"), c);
  // capabilities from the feature inquiry; the divider is the library's
  EXPECT_TRUE(c->has_manual_exposure);
  EXPECT_TRUE(c->has_frame_div);
  EXPECT_FALSE(c->has_color);
  EXPECT_EQ(c->max_width, 1280);
}

TEST_F(Dc1394Bus, ModesRatesAndWhatIsOfferedInstead) {
  open(kFixedOnly);
  dCamera *mono = dSys->InitCamera(1);
  ASSERT_NE(mono, nullptr);
  EXPECT_FALSE(mono->SetFormat(S_320x240, S_MONO, S_15, 1, false));
  EXPECT_STREQ(mono->error,
               "320x240 is not offered by this camera; it offers 640x480 and 1280x960");
  EXPECT_TRUE(mono->SetFormat(S_640x480, S_MONO, S_60, 1, false)) << mono->error;
  dCamera *colour = dSys->InitCamera(0);
  ASSERT_NE(colour, nullptr);
  EXPECT_FALSE(colour->SetFormat(S_160x120, S_RGB24, S_3, 1, false));
  EXPECT_STREQ(colour->error,
               "3.75 fps is not offered for 160x120 RGB24; it offers 60, 30, 15, 10, 7.5 and 5 fps");
  // 10 fps is every third frame of 30
  EXPECT_TRUE(colour->SetFormat(S_160x120, S_RGB24, S_10, 1, false)) << colour->error;
  // 160x120 comes only as YUV444: mono and RGB24 are made from it
  EXPECT_TRUE(colour->SetFormat(S_160x120, S_RGB24, S_30, 1, false)) << colour->error;
  EXPECT_TRUE(colour->SetFormat(S_160x120, S_MONO, S_30, 1, false)) << colour->error;
  EXPECT_FALSE(colour->SetFormat(S_160x120, S_BAYER, S_30, 1, false));
  EXPECT_STREQ(colour->error,
               "160x120 Bayer is not offered by this camera; at 160x120 it offers Mono and RGB24");
  // Bayer only from the Bayer imager, raw
  dCamera *bayer = dSys->InitCamera(2);
  ASSERT_NE(bayer, nullptr);
  EXPECT_TRUE(bayer->SetFormat(S_640x480, S_BAYER, S_15, 1, false)) << bayer->error;
  EXPECT_EQ(bayer->Type(), S_BAYER);
}

TEST_F(Dc1394Bus, ConvertedFramesShowTheSceneAndNativeOnesAreNotCopied) {
  open(kFixedOnly);
  dCamera *c = dSys->InitCamera(0);
  ASSERT_NE(c, nullptr);
  struct Case {
    dISIZE size;
    int w;
    dITYPE type;
    bool native;
  } cases[] = {{S_640x480, 640, S_RGB24, true},    // RGB8
               {S_640x480, 640, S_MONO, true},     // Mono8
               {S_320x240, 320, S_RGB24, false},   // from YUV422
               {S_320x240, 320, S_MONO, false},    // luma of YUV422
               {S_160x120, 160, S_RGB24, false}};  // from YUV444
  for (const Case &k : cases) {
    ASSERT_TRUE(c->SetFormat(k.size, k.type, S_30, 1, false)) << c->error;
    ASSERT_TRUE(c->Start());
    int bpp = k.type == S_RGB24 ? 3 : 1;
    unsigned char *a = nullptr, *b = nullptr;
    int fa = -1, fb = -1;
    ASSERT_TRUE(c->GetImage(&a, 1000, &fa, nullptr));
    EXPECT_EQ(code(a, k.w, bpp), fa & 0xffff) << k.w << " type " << k.type;
    // the second of the eight colour bars is yellow, converted or not
    if (bpp == 3) {
      int h = k.w * 3 / 4;
      double sum[3] = {0, 0, 0}, n = 0;
      for (int y = h / 8; y < h / 2; ++y)
        for (int x = k.w * 5 / 32; x < k.w * 7 / 32; ++x, ++n)
          for (int ch = 0; ch < 3; ++ch) sum[ch] += a[3 * ((size_t)y * k.w + x) + ch];
      EXPECT_GT(sum[0] / n, 120) << k.w;
      EXPECT_GT(sum[1] / n, 120) << k.w;
      EXPECT_LT(sum[2] / n, 100) << k.w;
    }
    size_t bytes = (size_t)k.w * k.w * 3 / 4 * bpp;
    ASSERT_TRUE(c->GetImage(&b, 1000, &fb, nullptr));
    EXPECT_GT(fb, fa);
    // frames straight from the DMA ring differ in place; converted ones
    // land in the library's one buffer
    if (k.native) {
      EXPECT_NE(a, b);
    } else {
      EXPECT_EQ(a, b);
    }
    // the frame handed out stays as it is while the ring goes round, and
    // after Stop
    unsigned char *keep = b;
    std::vector<unsigned char> kept(b, b + bytes);
    usleep(700000);
    EXPECT_EQ(0, memcmp(kept.data(), keep, kept.size()));
    c->Stop();
    EXPECT_EQ(0, memcmp(kept.data(), keep, kept.size()));
    EXPECT_EQ(code(keep, k.w, bpp), fb & 0xffff);
  }
}

// libdc1394 crashes on these ROMs: in its listing, which reads every node's
// ROM, or in opening the camera
TEST_F(Dc1394Bus, ACameraWhoseRomLibdc1394WouldMisreadIsLeftOut) {
  ScopedEnv state("VIRIZEDA_SIM_STATE", nullptr);
  save_vendor_leaf(dir_, 1, "b", 1);
  open(kGoodAndBroken);
  ASSERT_EQ(dSys->NumCameras(), 1);
  EXPECT_STREQ(dSys->Names()[0], "virizeda Good");
  EXPECT_THAT(DiagLines::lines(), HasLine("is left out: libdc1394 would misread its configuration ROM: the "
                   "text leaf at 0xF0000458 has length 1"));
}

TEST_F(Dc1394Bus, ANodeThatWouldCrashTheListingIsNamedAndNothingIsListed) {
  ScopedEnv state("VIRIZEDA_SIM_STATE", nullptr);
  save_vendor_leaf(dir_, 1, "b", 0);
  open(kGoodAndBroken);
  EXPECT_EQ(dSys->NumCameras(), 0);
  EXPECT_THAT(DiagLines::lines(), HasLine("the text leaf at 0xF0000458 has length 0"));
  EXPECT_THAT(DiagLines::lines(), HasLine("no camera is listed while it is on the bus"));
}

TEST_F(Dc1394Bus, DividerAndNewestFrame) {
  open(kFixedOnly);
  dCamera *c = dSys->InitCamera(1);
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(c->SetFormat(S_640x480, S_MONO, S_30, 3, false)) << c->error;
  ASSERT_TRUE(c->Start());
  unsigned char *img = nullptr;
  ASSERT_TRUE(c->GetImage(&img, 1000, nullptr, nullptr));
  std::vector<int> codes = {code(img, 640, 1)};
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(c->GetImage(&img, 1000, nullptr, nullptr));
    codes.push_back(code(img, 640, 1));
  }
  // one frame in three, each one new: the rate follows from the bar codes
  for (size_t i = 1; i < codes.size(); ++i) EXPECT_EQ(codes[i] - codes[i - 1], 3);
  // a slow program gets the newest frame; those it missed are dropped
  c->Stop();
  ASSERT_TRUE(c->SetFormat(S_640x480, S_MONO, S_30, 1, false));
  ASSERT_TRUE(c->Start());
  int f1 = 0, f2 = 0;
  ASSERT_TRUE(c->GetImage(&img, 1000, &f1, nullptr));
  usleep(400000);
  DiagLines::clear();
  ASSERT_TRUE(c->GetImage(&img, 1000, &f2, nullptr));
  EXPECT_GE(f2 - f1, 10);
  EXPECT_EQ(code(img, 640, 1), f2 & 0xffff);
  EXPECT_THAT(DiagLines::lines(), HasLine("frames dropped"));
  c->Stop();
}

TEST_F(Dc1394Bus, SecondCameraRefusedWhenTheBusIsFull) {
  open(R"({"bus_speed": 400, "cameras": [{"name": "A", "chip_id": "a", "color": true},
                                         {"name": "B", "chip_id": "b", "color": true}]})");
  dCamera *a = dSys->InitCamera(0), *b = dSys->InitCamera(1);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->SetFormat(S_640x480, S_RGB24, S_30, 1, false)) << a->error;
  ASSERT_TRUE(b->SetFormat(S_640x480, S_RGB24, S_30, 1, false)) << b->error;
  ASSERT_TRUE(a->Start());
  EXPECT_FALSE(b->Start());
  EXPECT_THAT(DiagLines::lines(), HasLine("needs 3852 bandwidth units and the bus has 1063 free"));
  unsigned char *img = nullptr;
  EXPECT_TRUE(a->GetImage(&img, 1000, nullptr, nullptr));
  EXPECT_FALSE(b->GetImage(&img, 100, nullptr, nullptr));
  EXPECT_TRUE(b->Stop());
}

TEST_F(Dc1394Bus, AFormatThatDoesNotFitTheBusLeavesTheStreamAsItWas) {
  open(R"({"bus_speed": 400, "cameras": [{"name": "A", "chip_id": "a", "color": true},
                                         {"name": "B", "chip_id": "b", "color": true}]})");
  dCamera *a = dSys->InitCamera(0), *b = dSys->InitCamera(1);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->SetFormat(S_640x480, S_RGB24, S_30, 1, false)) << a->error;
  ASSERT_TRUE(b->SetFormat(S_320x240, S_MONO, S_30, 1, false)) << b->error;
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(b->Start());
  unsigned char *img = nullptr;
  int before = -1, after = -1;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(b->GetImage(&img, 1000, &before, nullptr));
  EXPECT_FALSE(b->SetFormat(S_640x480, S_RGB24, S_30, 1, false));
  EXPECT_NE(strstr(b->error, "bandwidth"), nullptr) << b->error;
  EXPECT_EQ(b->Size(), S_320x240);
  ASSERT_TRUE(b->GetImage(&img, 1000, &after, nullptr)) << "still streaming";
  EXPECT_GT(after, before) << "numbered on";
  EXPECT_GE(code(img, 320, 1), 0) << "a frame of the old mode";
  EXPECT_TRUE(b->Stop());
  ASSERT_TRUE(b->Start()) << b->error;
  EXPECT_STREQ(b->error, "") << "no stale text after a success";
}

TEST_F(Dc1394Bus, UnplugAndBusResetWhileStreaming) {
  open();
  dCamera *a = dSys->InitCamera(0), *b = dSys->InitCamera(1);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(a->SetFormat(S_320x240, S_MONO, S_30, 1, false)) << a->error;
  ASSERT_TRUE(b->SetFormat(S_320x240, S_MONO, S_30, 1, false)) << b->error;
  ASSERT_TRUE(a->Start());
  ASSERT_TRUE(b->Start());
  unsigned char *img = nullptr;
  int f0 = 0, f1 = 0;
  ASSERT_TRUE(a->GetImage(&img, 1000, &f0, nullptr));
  hook<int (*)()>("virizeda_emu_bus_reset")();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a->GetImage(&img, 1000, &f1, nullptr));
  EXPECT_GT(f1, f0);
  // camera 1 unplugged while streaming
  ASSERT_TRUE(b->GetImage(&img, 1000, nullptr, nullptr));
  hook<int (*)(int, long)>("virizeda_emu_unplug")(1, 0);
  // frames already on their way may still come; then the waits run out
  bool got = true;
  for (int i = 0; i < 4 && got; ++i) got = b->GetImage(&img, 500, nullptr, nullptr);
  EXPECT_FALSE(got);
  EXPECT_THAT(DiagLines::lines(), HasLine("gone from the bus"));
  EXPECT_TRUE(b->Stop());
  EXPECT_FALSE(b->Start());
  EXPECT_FALSE(b->GetImage(&img, 100, nullptr, nullptr));
  EXPECT_TRUE(a->GetImage(&img, 1000, nullptr, nullptr));
}

TEST_F(Dc1394Bus, LocalBlockCamerasAndForeignOnes) {
  open(R"({"cameras": [
    {"name": "Ours", "chip_id": "o", "dev_id": "0xffff", "local_params_version": 512,
     "calibration": true},
    {"name": "Foreign", "chip_id": "f", "dev_id": "0xffff", "calibration": true}]})");
  dCamera *ours = dSys->InitCamera(0), *foreign = dSys->InitCamera(1);
  ASSERT_TRUE(ours && foreign);
  // ours may be programmed; theirs never shows as unprogrammed
  EXPECT_EQ(ours->devID & 0xffff, 0xffff);
  EXPECT_NE(foreign->devID & 0xffff, 0xffff);
  EXPECT_TRUE(ours->GetCalib(nullptr, 0));
  EXPECT_TRUE(ours->SaveLocalParams());
  DiagLines::clear();
  EXPECT_FALSE(foreign->GetCalib(nullptr, 0));
  EXPECT_FALSE(foreign->SetCalib(nullptr, 0));
  EXPECT_FALSE(foreign->SaveLocalParams());
  EXPECT_THAT(DiagLines::lines(), HasLine("no local parameter block"));
  unsigned long v = 0x1234;
  EXPECT_FALSE(foreign->ReadQuadlet(0xF0FFF008, &v));
  EXPECT_EQ(v, 0x1234u);
  EXPECT_TRUE(ours->ReadQuadlet(0xF0FFF008, &v));
  // the ROM through libdc1394's register calls
  EXPECT_TRUE(ours->ReadQuadlet(0xF0000404, &v));
  EXPECT_EQ(v, 0x31333934u);
  EXPECT_TRUE(ours->WriteQuadlet(0xF0000410, 0x00080042));
  EXPECT_EQ(ours->devID, 0x80042);
  EXPECT_NE(std::string(dSys->ChipIDs()[0]).find("00080042"), std::string::npos);
}
