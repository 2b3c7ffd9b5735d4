// The camera implementation over a device that is not ours: a plain IIDC
// camera that tells nothing beyond its registers, cannot skip frames, hands
// frames that do not outlive the next one, refuses and goes away.
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "core/camera.h"
#include "core/diag.h"
#include "iidc/iidc.h"

namespace {

std::vector<std::string> diag;
void collect(char *line) { diag.push_back(line); }
bool saw(const std::string &t) {
  for (const std::string &l : diag)
    if (l.find(t) != std::string::npos) return true;
  return false;
}

class PlainDevice : public vz::Device {
 public:
  std::map<uint32_t, uint32_t> regs;
  std::vector<vz::Mode> offered;
  std::vector<uint64_t> seqs;  // frames the stream hands out, in order
  size_t next = 0;
  bool gone = false, refuse_mode = false;
  unsigned char memory[160 * 120];
  vz::FeatureState shutter;
  vz::Mode mode_set;
  int rate_set = -1;

  PlainDevice() {
    vz::Mode m;
    m.format = 0, m.mode = 5, m.width = 640, m.height = 480;
    m.rates = 1u << vz::iidc::RATE_30 | 1u << vz::iidc::RATE_15;
    offered.push_back(m);
    m.format = 7, m.mode = 0, m.width = 320, m.height = 240, m.unit_w = 160;
    m.unit_h = 120;
    offered.push_back(m);
    regs[vz::iidc::ROM_BASE + 4 * vz::iidc::ROM_CHIP_LO] = 0x00050042;
    regs[vz::iidc::LOCAL_BASE + 4 * vz::iidc::LP_VERSION] = 0x0200;
    regs[vz::iidc::LOCAL_BASE + 4 * vz::iidc::LP_CAM_TYPE] = 1u << 10 | 7;  // stereo, imager 7
    regs[vz::iidc::LOCAL_BASE + 4 * vz::iidc::LP_FIRMWARE] = 0x01020304;
    regs[vz::iidc::DCAM_BASE + vz::iidc::DC_ISO_CHANNEL] = 2u << 24;
    shutter.value = 100;
  }
  uint64_t guid() const override { return 0x0a13940000050042ull; }
  std::string vendor() const override { return "Plain"; }
  std::string model() const override { return "IIDC"; }
  std::vector<vz::Mode> modes() override { return offered; }
  bool set_mode(const vz::Mode &m, int rate, std::string *why) override {
    if (refuse_mode) {
      *why = "busy with something else";
      return false;
    }
    mode_set = m, rate_set = rate;
    return true;
  }
  bool feature_info(int f, vz::FeatureInfo *out) override {
    if (f != vz::iidc::SHUTTER) return false;
    out->present = out->has_manual = true;
    out->min = 0, out->max = 400;
    return true;
  }
  bool get_feature(int f, vz::FeatureState *out) override {
    if (f != vz::iidc::SHUTTER) return false;
    *out = shutter;
    return true;
  }
  bool set_feature(int f, const vz::FeatureState &s) override {
    if (f != vz::iidc::SHUTTER || s.value > 400) return false;
    shutter = s;
    return true;
  }
  bool read_quadlet(uint32_t a, uint32_t *v) override {
    auto it = regs.find(a);
    if (it == regs.end()) return false;
    *v = it->second;
    return true;
  }
  bool write_quadlet(uint32_t a, uint32_t v) override {
    if (!regs.count(a)) return false;
    regs[a] = v;
    return true;
  }
  bool start(std::string *) override { return true; }
  void stop() override {}
  vz::Next next_frame(int, vz::Frame *f) override {
    if (gone) return vz::Next::GONE;
    if (next >= seqs.size()) return vz::Next::TIMEOUT;
    uint64_t s = seqs[next++];
    memset(memory, (int)(s & 0xff), sizeof memory);
    f->data = memory;
    f->bytes = sizeof memory;
    f->seq = s;
    f->usec = 1000 * (int64_t)s;
    f->dropped = next > 1 ? (uint32_t)(s - seqs[next - 2] - 1) : (uint32_t)s;
    return vz::Next::FRAME;
  }
};

class CameraOverDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    diag.clear();
    vz_diag_set_sink(collect);
    cam.open();
  }
  void TearDown() override { vz_diag_set_sink(nullptr); }
  PlainDevice dev;
  vz::Camera cam{nullptr, 0, &dev};
};

}  // namespace

TEST_F(CameraOverDevice, IdentityComesFromTheRomAndTheLocalBlock) {
  EXPECT_EQ(cam.devID, 0x00050042);
  EXPECT_TRUE(cam.isStereo);
  EXPECT_EQ(cam.camImager, 7);
  EXPECT_EQ(cam.fwFirmware, 0x0102);
  EXPECT_EQ(cam.camFirmware, 0x0304);
  EXPECT_FALSE(cam.has_color);
  EXPECT_EQ(cam.max_width, 640);
  EXPECT_TRUE(cam.has_manual_exposure && !cam.has_auto_exposure);
  EXPECT_EQ(cam.exposure, 25) << "raw 100 of 0-400";
  // a ROM write shows in devID at once, whoever made it
  ASSERT_TRUE(cam.WriteQuadlet(vz::iidc::ROM_BASE + 4 * vz::iidc::ROM_CHIP_LO, 0x00050099));
  EXPECT_EQ(cam.devID, 0x00050099);
}

TEST_F(CameraOverDevice, ModesAreChosenNativeFirstOrRefusedWithWhatIsOffered) {
  ASSERT_TRUE(cam.SetFormat(S_640x480, S_MONO, S_15, 1, false)) << cam.error;
  EXPECT_EQ(dev.mode_set.format, 0);
  EXPECT_EQ(dev.rate_set, vz::iidc::RATE_15);
  ASSERT_TRUE(cam.SetFormat(S_160x120, S_MONO, S_30, 1, false)) << cam.error;
  EXPECT_EQ(dev.mode_set.format, 7);
  EXPECT_EQ(dev.mode_set.width, 160) << "Format_7 cut to the size";
  EXPECT_FALSE(cam.SetFormat(S_640x480, S_MONO, S_60, 1, false));
  EXPECT_NE(strstr(cam.error, "60 fps is not offered for 640x480 Mono; it offers "),
            nullptr) << cam.error;
  dev.refuse_mode = true;
  EXPECT_FALSE(cam.SetFormat(S_640x480, S_MONO, S_30, 1, false));
  EXPECT_STREQ(cam.error, "busy with something else");
  EXPECT_EQ(cam.Size(), S_160x120) << "the last accepted format stays";
  dev.offered.pop_back();  // without Format_7 and reopened
  dev.refuse_mode = false;
  cam.open();
  EXPECT_FALSE(cam.SetFormat(S_320x240, S_MONO, S_30, 1, false));
  EXPECT_STREQ(cam.error, "320x240 is not offered by this camera; it offers 640x480");
}

TEST_F(CameraOverDevice, FramesAreCopiedAndSkippedWhenTheDeviceCannot) {
  // 10 fps: the imager at 30, every third frame, which this device leaves
  // to the camera
  ASSERT_TRUE(cam.SetFormat(S_160x120, S_MONO, S_10, 1, false));
  EXPECT_EQ(dev.rate_set, vz::iidc::RATE_30);
  dev.seqs = {0, 1, 2, 3, 4, 5, 6, 10, 11, 17};
  ASSERT_TRUE(cam.Start());
  unsigned char *img = nullptr;
  int k = -1;
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 0) << "imager frame 2";
  EXPECT_EQ(img[0], 2);
  EXPECT_NE(img, dev.memory) << "the device's memory does not stay";
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 1) << "imager frame 5";
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 3) << "imager frame 11; frame 2 (8) was lost";
  EXPECT_EQ(cam.dropped(), 1);
  EXPECT_TRUE(saw("1 frames dropped"));
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 5);
  EXPECT_EQ(img[0], 17);
  EXPECT_FALSE(cam.GetImage(&img, 0, &k, nullptr)) << "nothing more";
  EXPECT_EQ(img[0], 17) << "the program's frame untouched";
}

TEST_F(CameraOverDevice, ReadyImageKeepsTheFrameForGetImageAndAGoneDeviceEnds) {
  ASSERT_TRUE(cam.SetFormat(S_160x120, S_MONO, S_30, 1, false));
  dev.seqs = {0, 1};
  ASSERT_TRUE(cam.Start());
  EXPECT_TRUE(cam.ReadyImage(0));
  unsigned char *img = nullptr;
  int k = -1;
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 0) << "the frame ReadyImage saw";
  dev.gone = true;
  EXPECT_FALSE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_TRUE(saw("the device is gone"));
  EXPECT_EQ(img[0], 0);
}

TEST_F(CameraOverDevice, ControlsRefusedByTheDeviceLeaveTheFields) {
  cam.SetExposure(60, false);
  EXPECT_EQ(cam.exposure, 60);
  EXPECT_EQ(dev.shutter.value, 240u);
  cam.SetExposure(0, true);
  EXPECT_TRUE(saw("no automatic exposure"));
  cam.SetGain(10, false);
  EXPECT_TRUE(saw("no gain control"));
  EXPECT_FALSE(cam.SaveLocalParams()) << "no flash command word";
  EXPECT_TRUE(saw("the device refused to save the local parameters"));
  EXPECT_FALSE(cam.GetCalib(nullptr, 0));
  char text[] = "calibration";
  EXPECT_FALSE(cam.SetCalib(text, (int)sizeof text));
}

TEST_F(CameraOverDevice, StartFailsWhenTheFormatCannotBeAppliedAgain) {
  ASSERT_TRUE(cam.SetFormat(S_640x480, S_MONO, S_15, 1, false));
  dev.refuse_mode = true;
  EXPECT_FALSE(cam.Start()) << "would stream in whatever mode the device is in";
  EXPECT_STREQ(cam.error, "busy with something else");
  dev.refuse_mode = false;
  ASSERT_TRUE(cam.Start());
  EXPECT_STREQ(cam.error, "") << "no stale text after a success";
}
