// The camera implementation over a device that is not ours: a plain IIDC
// camera that tells nothing beyond its registers, cannot skip frames, hands
// frames that do not outlive the next one, refuses and goes away
// (plain_device.h).
#include <gtest/gtest.h>
#include <string.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/camera.h"
#include "core/diag.h"
#include "diag_lines.h"
#include "iidc/iidc.h"
#include "iidc/maker_block.h"
#include "iidc/rom.h"
#include "plain_device.h"

namespace {

class CameraOverDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    DiagLines::clear();
    vz_diag_set_sink(DiagLines::sink);
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
  EXPECT_NE(img, dev.memory.data()) << "the device's memory does not stay";
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 1) << "imager frame 5";
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 3) << "imager frame 11; frame 2 (8) was lost";
  EXPECT_EQ(cam.dropped(), 1);
  EXPECT_THAT(DiagLines::lines(), HasLine("1 frames dropped"));
  ASSERT_TRUE(cam.GetImage(&img, 0, &k, nullptr));
  EXPECT_EQ(k, 5);
  EXPECT_EQ(img[0], 17);
  EXPECT_FALSE(cam.GetImage(&img, 0, &k, nullptr)) << "nothing more";
  EXPECT_EQ(img[0], 17) << "the program's frame untouched";
}

// The program copies a whole frame of the size last set, also after a
// change while streaming: a shorter frame would be read past its end.
TEST_F(CameraOverDevice, AFrameShorterThanTheFormatIsNeverHandedOver) {
  ASSERT_TRUE(cam.SetFormat(S_160x120, S_MONO, S_30, 1, false));
  dev.seqs = {0, 1, 2, 3};
  dev.short_by = 1;
  ASSERT_TRUE(cam.Start());
  unsigned char *img = nullptr;
  EXPECT_FALSE(cam.GetImage(&img, 0, nullptr, nullptr));
  EXPECT_EQ(img, nullptr);
  EXPECT_THAT(DiagLines::lines(),
              HasLine("a frame of 19199 bytes is shorter than 19200; skipped"));
  dev.short_by = 0;
  ASSERT_TRUE(cam.GetImage(&img, 0, nullptr, nullptr));
  EXPECT_EQ(img[19199], 1);
  ASSERT_TRUE(cam.SetFormat(S_320x240, S_MONO, S_30, 1, false));
  dev.short_by = 320 * 240 - 160 * 120;  // a frame of the size before
  EXPECT_FALSE(cam.GetImage(&img, 0, nullptr, nullptr));
  EXPECT_THAT(DiagLines::lines(),
              HasLine("a frame of 19200 bytes is shorter than 76800; skipped"));
  dev.short_by = 0;
  ASSERT_TRUE(cam.GetImage(&img, 0, nullptr, nullptr));
  EXPECT_EQ(img[76799], 3);
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
  EXPECT_THAT(DiagLines::lines(), HasLine("the device is gone"));
  EXPECT_EQ(img[0], 0);
}

TEST_F(CameraOverDevice, ControlsRefusedByTheDeviceLeaveTheFields) {
  cam.SetExposure(60, false);
  EXPECT_EQ(cam.exposure, 60);
  EXPECT_EQ(dev.shutter.value, 240u);
  cam.SetExposure(0, true);
  EXPECT_THAT(DiagLines::lines(), HasLine("no automatic exposure"));
  cam.SetGain(10, false);
  EXPECT_THAT(DiagLines::lines(), HasLine("no gain control"));
  EXPECT_FALSE(cam.SaveLocalParams()) << "no flash command word";
  EXPECT_THAT(DiagLines::lines(), HasLine("the device refused to save the local parameters"));
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

// dcamDebug may run only inside the program's calls: a library thread's
// lines wait for the next one, and a flood is counted, not kept.
TEST(DiagThreads, OtherThreadsLinesWaitForTheNextFlushAndAFloodIsCounted) {
  DiagLines::clear();
  vz_diag_set_sink(DiagLines::sink);
  vz_diag_own_thread();
  vz_diag_later("usb", "usb: on the caller's thread");
  EXPECT_THAT(DiagLines::lines(), HasLine("on the caller's thread")) << "the program's thread: at once";
  std::thread t([] {
    for (int i = 1; i <= 65; ++i) vz_diag_later("usb", "usb: line " + std::to_string(i));
  });
  t.join();
  EXPECT_THAT(DiagLines::lines(), testing::Not(HasLine("usb: line 1"))) << "held until the next call";
  vz_diag_flush();
  EXPECT_THAT(DiagLines::lines(), HasLine("usb: line 64"));
  EXPECT_THAT(DiagLines::lines(), testing::Not(HasLine("usb: line 65")));
  EXPECT_THAT(DiagLines::lines(), HasLine("usb: 1 more log lines were left out"));
  DiagLines::clear();
  vz_diag_flush();
  EXPECT_TRUE(DiagLines::lines().empty()) << "sent once";
  vz_diag_set_sink(nullptr);
}
