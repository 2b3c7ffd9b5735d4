// What the programs rely on from the camera library, one operation at a time,
// on the three default cameras of the simulated bus.
#include <string.h>
#include <unistd.h>

#include "virizeda_test_util.h"

using Contract = SimBusTest;

TEST_F(Contract, BusHoldsTheThreeDefaultCamerasWithNamesAndChipIds) {
  open_bus();
  ASSERT_NE(dSys, nullptr);
  EXPECT_TRUE(dSys->initialized);
  ASSERT_EQ(dSys->NumCameras(), 3);
  EXPECT_STREQ(dSys->Names()[0], "Sim Stereo Color");
  EXPECT_STREQ(dSys->Names()[1], "Sim Mono");
  EXPECT_STREQ(dSys->Names()[2], "Sim Bayer");
  EXPECT_EQ(dSys->Names()[3], nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_GT(strlen(dSys->ChipIDs()[i]), 0u);
  EXPECT_STRNE(dSys->ChipIDs()[0], dSys->ChipIDs()[1]);
  EXPECT_THAT(DiagLines::lines(), HasLine("opened at S800 with 3 cameras"));
  EXPECT_NE(strstr(dcamVersion, "virizeda"), nullptr);
}

TEST_F(Contract, StereoColourCameraHasEveryCapability) {
  dCamera *c = open_camera(0);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(c->initialized);
  EXPECT_TRUE(c->isStereo && c->has_color && !c->isBayer);
  EXPECT_TRUE(c->has_auto_exposure && c->has_manual_exposure);
  EXPECT_TRUE(c->has_auto_gain && c->has_manual_gain);
  EXPECT_TRUE(c->has_auto_brightness && c->has_manual_brightness);
  EXPECT_TRUE(c->has_auto_whitebalance && c->has_saturation && c->has_sharpness);
  EXPECT_TRUE(c->has_gamma && c->gamma);
  EXPECT_TRUE(c->has_frame_div);
  EXPECT_EQ(c->max_frame_div, 3);
  EXPECT_TRUE(c->has_50Hz_rate && c->has_y_offset);
  EXPECT_EQ(c->max_y_offset, 8);
  EXPECT_EQ(c->devID, 0x00081234);
  EXPECT_EQ(c->camImager, 4);
  EXPECT_EQ(c->fwFirmware, 0x0203);
  EXPECT_EQ(c->camFirmware, 0x0412);
  EXPECT_EQ(read(c, 0xF0FFF004), 0x0205u);
  EXPECT_TRUE(c->GetCalib(nullptr, 0));
  EXPECT_EQ(c->max_width, 1280);
  EXPECT_EQ(c->max_height, 960);
}

TEST_F(Contract, MonoAndBayerCamerasAsDescribed) {
  dCamera *m = open_camera(1);
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(m->has_color || m->has_auto_whitebalance || m->has_frame_div ||
               m->has_50Hz_rate || m->has_y_offset);
  EXPECT_EQ(m->devID, 0xffff);
  EXPECT_EQ(m->camImager, 3);
  EXPECT_EQ(read(m, 0xF0FFF004), 0x0200u);
  EXPECT_FALSE(m->GetCalib(nullptr, 0));

  dCamera *b = dSys->InitCamera(2);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(b->isBayer && b->has_color && b->has_gamma);
  EXPECT_EQ(b->camImager, 0);
  EXPECT_EQ(b->devID, 0x00030007);
  unsigned long v = 77;
  EXPECT_FALSE(b->ReadQuadlet(0xF0FFF004, &v)) << "no local block";
  EXPECT_EQ(v, 77u);
}

TEST_F(Contract, InitCameraByNumberNameOrChipIdAndOutOfRange) {
  open_bus();
  dCamera *byNum = dSys->InitCamera(1);
  std::string id = dSys->ChipIDs()[1];
  EXPECT_EQ(dSys->InitCamera((char *)"Sim Mono"), byNum);
  EXPECT_EQ(dSys->InitCamera(&id[0]), byNum);
  EXPECT_EQ(dSys->InitCamera((char *)"No Such"), nullptr);
  EXPECT_EQ(dSys->InitCamera((char *)nullptr), nullptr);
  EXPECT_EQ(dSys->InitCamera(3), nullptr);
  EXPECT_EQ(dSys->InitCamera(-1), nullptr);
  EXPECT_EQ(byNum->Index(), 1);
}

TEST_F(Contract, InitCameraAgainWhileStreamingKeepsTheStreamAndSettings) {
  dCamera *c = open_camera(0);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_RGB24, S_60, 1, false));
  ASSERT_TRUE(c->Start());
  c->SetExposure(70, false);
  unsigned char *img = nullptr;
  int seq = -1;
  ASSERT_TRUE(c->GetImage(&img, 500, &seq, nullptr));
  c->isReversed = true;  // a program's own write, not the device's state
  EXPECT_EQ(dSys->InitCamera(0), c);
  EXPECT_TRUE(c->initialized);
  EXPECT_FALSE(c->isReversed) << "refilled from the device";
  EXPECT_EQ(c->exposure, 70);
  EXPECT_EQ(c->Size(), S_320x240);
  EXPECT_EQ(c->Type(), S_RGB24);
  int next = -1;
  ASSERT_TRUE(c->GetImage(&img, 500, &next, nullptr));
  EXPECT_GT(next, seq) << "the stream runs on";
  EXPECT_THAT(DiagLines::lines(), HasLine("still streaming"));
}

TEST_F(Contract, SetFormatAcceptsAndSizeTypeSpeedReportIt) {
  dCamera *c = open_camera(0);
  EXPECT_TRUE(c->SetFormat(S_160x120, S_BAYER, S_7, 3, false));
  EXPECT_EQ(c->Size(), S_160x120);
  EXPECT_EQ(c->Type(), S_BAYER);
  EXPECT_EQ(c->Speed(), S_7);
  EXPECT_EQ(c->frame_div, 3);
  EXPECT_THAT(DiagLines::lines(), HasLine("format 160x120 Bayer at 7.5 fps, divider 3"));
}

TEST_F(Contract, RefusedFormatsKeepThePreviousOneAndSayWhy) {
  dCamera *c = open_camera(1);
  ASSERT_TRUE(c->SetFormat(S_320x240, S_MONO, S_15, 1, false));
  struct Case {
    dISIZE size;
    dITYPE type;
    dISPEED speed;
    int fdiv;
    const char *why;
  } cases[] = {
      {S_640x480, S_RGB24, S_15, 1, "needs a colour camera"},
      {S_640x480, S_BAYER, S_15, 1, "needs a colour camera"},
      {S_512x384, S_MONO, S_15, 1, "512x384 is not delivered"},
      {S_1024x768, S_MONO, S_15, 1, "1024x768 is not delivered"},
      {(dISIZE)7, S_MONO, S_15, 1, "size 7 is unknown"},
      {S_640x480, S_YUV422, S_15, 1, "YUV422 is not delivered"},
      {S_640x480, (dITYPE)7, S_15, 1, "type 7 is unknown"},
      {S_640x480, S_MONO, (dISPEED)7, 1, "frame rate 7 is unknown"},
      {S_640x480, S_MONO, S_15, 2, "frame divider 2: this camera has none"},
  };
  for (const Case &k : cases) {
    EXPECT_FALSE(c->SetFormat(k.size, k.type, k.speed, k.fdiv, false)) << k.why;
    EXPECT_NE(strstr(c->error, k.why), nullptr) << c->error;
    EXPECT_THAT(DiagLines::lines(), HasLine(k.why));
  }
  EXPECT_EQ(c->Size(), S_320x240);
  EXPECT_EQ(c->Type(), S_MONO);
  dCamera *s = dSys->InitCamera(0);
  EXPECT_FALSE(s->SetFormat(S_640x480, S_MONO, S_15, 4, false));
  EXPECT_NE(strstr(s->error, "out of range 1 to 3"), nullptr) << s->error;
  EXPECT_FALSE(s->SetFormat(S_640x480, S_MONO, S_15, 0, false));
}

TEST_F(Contract, BandwidthRefusalNamesWhatTheFormatNeedsAndTheBusCarries) {
  dCamera *c = open_camera(0);
  EXPECT_FALSE(c->SetFormat(S_1280x960, S_RGB24, S_30, 1, false));
  EXPECT_STREQ(c->error,
               "1280x960 RGB24 at 30 fps needs 105.5 MiB/s; the S800 bus "
               "carries 62.5 MiB/s");
  EXPECT_FALSE(c->SetFormat(S_1280x960, S_MONO, S_60, 1, false));
  // 52.7 MiB/s fits S800 but not S400
  EXPECT_TRUE(c->SetFormat(S_1280x960, S_RGB24, S_15, 1, false));
  EXPECT_TRUE(c->SetFormat(S_640x480, S_RGB24, S_60, 1, false));

  dCamera *slow = open_camera(0, R"({"bus_speed": 400, "cameras": [{"color": true}]})");
  ASSERT_NE(slow, nullptr);
  EXPECT_FALSE(slow->SetFormat(S_1280x960, S_RGB24, S_15, 1, false));
  EXPECT_STREQ(slow->error,
               "1280x960 RGB24 at 15 fps needs 52.7 MiB/s; the S400 bus "
               "carries 31.2 MiB/s");
  EXPECT_FALSE(slow->SetFormat(S_1280x960, S_MONO, S_30, 1, false));
  EXPECT_TRUE(slow->SetFormat(S_640x480, S_RGB24, S_30, 1, false));
}

TEST_F(Contract, StartStopAndStopIsHarmlessWhenNotStreaming) {
  dCamera *c = open_camera(1);
  EXPECT_TRUE(c->Stop());
  unsigned char *img = nullptr;
  EXPECT_FALSE(c->GetImage(&img, 500, nullptr, nullptr)) << "not streaming";
  EXPECT_TRUE(c->Start());
  EXPECT_TRUE(c->Start()) << "already streaming";
  EXPECT_TRUE(c->GetImage(&img, 500, nullptr, nullptr));
  EXPECT_NE(img, nullptr);
  EXPECT_TRUE(c->Stop());
  EXPECT_TRUE(c->Stop());
  EXPECT_THAT(DiagLines::lines(), HasLine("camera 1: started"));
  EXPECT_THAT(DiagLines::lines(), HasLine("camera 1: stopped after 1 frames, 0 dropped"));
}

TEST_F(Contract, GetImageWithNullResultSlotsAndFilledSlots) {
  dCamera *c = open_camera(1, R"({"cameras": [{}, {"unpaced": true}]})");
  ASSERT_TRUE(c->Start());
  unsigned char *img = nullptr;
  EXPECT_TRUE(c->GetImage(&img, 500, nullptr, nullptr));
  int seq = -1;
  unsigned long usec = 0;
  EXPECT_TRUE(c->GetImage(&img, 500, &seq, &usec));
  EXPECT_EQ(seq, 1);
  EXPECT_GT(usec, 1000000000000000ul) << "wall-clock microseconds";
}

TEST_F(Contract, VideoParametersAreAppliedOnTheZeroToHundredScale) {
  dCamera *c = open_camera(0);
  c->SetExposure(63, false);
  c->SetGain(20, false);
  c->SetBrightness(40, false);
  c->SetWhiteBalance(30, 70, false);
  c->SetSaturation(80);
  c->SetSharpness(10);
  c->SetGamma(false);
  EXPECT_EQ(c->exposure, 63);
  EXPECT_EQ(c->gain, 20);
  EXPECT_EQ(c->brightness, 40);
  EXPECT_EQ(c->redgain, 30);
  EXPECT_EQ(c->bluegain, 70);
  EXPECT_EQ(c->saturation, 80);
  EXPECT_EQ(c->sharpness, 10);
  EXPECT_FALSE(c->gamma);
  c->SetExposure(250, false);
  EXPECT_EQ(c->exposure, 100);
  EXPECT_THAT(DiagLines::lines(), HasLine("exposure 250 is out of range 0 to 100; 100 used"));
  c->SetGain(-5, false);
  EXPECT_EQ(c->gain, 0);
  c->SetExposure(10, true);
  EXPECT_TRUE(c->do_auto_exposure);
  c->SetExposure(10, false);
  EXPECT_FALSE(c->do_auto_exposure);
  EXPECT_EQ(c->exposure, 10);
  EXPECT_TRUE(vzsim::called("SetExposure(63,0)"));
  EXPECT_TRUE(vzsim::called("SetWhiteBalance(30,70,0)"));
}

TEST_F(Contract, ControlsACameraLacksAreIgnoredWithAMessage) {
  dCamera *m = open_camera(1);
  m->SetWhiteBalance(10, 10, false);
  EXPECT_EQ(m->redgain, 50);
  EXPECT_THAT(DiagLines::lines(), HasLine("no white balance red control"));
  m->SetYOffset(3, 0);
  EXPECT_EQ(m->y_offset, 0);
  m->SetGamma(true);
  EXPECT_FALSE(m->gamma);
  dCamera *b = dSys->InitCamera(2);
  b->SetBrightness(0, true);
  EXPECT_FALSE(b->auto_brightness);
  EXPECT_THAT(DiagLines::lines(), HasLine("no automatic brightness"));
}

TEST_F(Contract, YOffsetIsAppliedAndShownInTheLocalBlock) {
  dCamera *c = open_camera(0);
  c->SetYOffset(7, 0);
  EXPECT_EQ(c->y_offset, 7);
  EXPECT_EQ(read(c, 0xF0FFF010), 7u);
  c->SetYOffset(20, 3);
  EXPECT_EQ(c->y_offset, 8) << "bounded by max_y_offset";
  EXPECT_EQ(c->y_offset_right, 3);
  EXPECT_TRUE(vzsim::called("SetYOffset(7,0)"));
}

TEST_F(Contract, CalibrationQueryEraseAndStore) {
  dCamera *c = open_camera(0);
  EXPECT_TRUE(c->GetCalib(nullptr, 0));
  EXPECT_TRUE(c->SetCalib(nullptr, 0));
  EXPECT_FALSE(c->GetCalib(nullptr, 0));
  EXPECT_THAT(DiagLines::lines(), HasLine("calibration erased"));
  char data[] = "f 500";
  EXPECT_TRUE(c->SetCalib(data, 5));
  EXPECT_TRUE(c->GetCalib(nullptr, 0));
  char small[3], big[16];
  EXPECT_FALSE(c->GetCalib(small, 3)) << "does not fit";
  EXPECT_TRUE(c->GetCalib(big, sizeof big));
  EXPECT_STREQ(big, "f 500");
  EXPECT_FALSE(c->SetCalib(data, -1));
}

TEST_F(Contract, SaveLocalParamsOnlyWithALocalBlock) {
  open_bus();
  EXPECT_TRUE(dSys->InitCamera(0)->SaveLocalParams());
  EXPECT_FALSE(dSys->InitCamera(2)->SaveLocalParams());
  EXPECT_THAT(DiagLines::lines(), HasLine("camera 2: no local parameter block to save"));
}

TEST_F(Contract, FailedReadLeavesTheValueAndBadWritesFail) {
  dCamera *c = open_camera(0);
  unsigned long v = 0x1234;
  EXPECT_FALSE(c->ReadQuadlet(0xF0000800, &v)) << "past the ROM";
  EXPECT_FALSE(c->ReadQuadlet(0x00000000, &v));
  EXPECT_FALSE(c->ReadQuadlet(0xF0FFF028, &v)) << "past the local block";
  EXPECT_FALSE(c->ReadQuadlet(0xF0F00602, &v)) << "unaligned";
  EXPECT_FALSE(c->ReadQuadlet(0xF0F00700, &v)) << "unmapped DCAM offset";
  EXPECT_EQ(v, 0x1234u);
  EXPECT_FALSE(c->ReadQuadlet(0xF0000400, nullptr));
  EXPECT_FALSE(c->WriteQuadlet(0xF0F00700, 1));
  EXPECT_FALSE(c->WriteQuadlet(0xF0FFF004, 0x300)) << "version is read-only";
  EXPECT_FALSE(c->WriteQuadlet(0xF0F00100, 0)) << "inquiry is read-only";
  EXPECT_TRUE(vzsim::called("WriteQuadlet(f0fff004,00000300)"));
}

TEST_F(Contract, DiagnosticsOnlyFromInsideCalls) {
  dCamera *c = open_camera(0, R"({"cameras": [{"unpaced": false}]})");
  ASSERT_TRUE(c->SetFormat(S_160x120, S_MONO, S_60, 1, false));
  ASSERT_TRUE(c->Start());
  size_t before = DiagLines::lines().size();
  usleep(200000);  // frames fall due and are missed; nothing may be said
  EXPECT_EQ(DiagLines::lines().size(), before);
  c->Stop();
  EXPECT_GT(DiagLines::lines().size(), before);
  dcamDebug = nullptr;  // and no call is made through a null pointer
  c->Start();
  c->Stop();
}

TEST_F(Contract, SecondInitStartsAfreshAndLibraryBaseClassesWork) {
  open_bus();
  dSystem *first = dSys;
  dSys->InitCamera(0)->Start();
  dSysInit();
  ASSERT_NE(dSys, nullptr);
  EXPECT_EQ(dSys->NumCameras(), 3);
  (void)first;  // deleted with its cameras; nothing more to check on it

  struct Fake : dCamera {
    Fake() : dCamera(nullptr, 0) {}
  } fake;
  EXPECT_FALSE(fake.initialized);
  EXPECT_STREQ(fake.error, "");
  unsigned long v = 5;
  EXPECT_FALSE(fake.ReadQuadlet(0xF0000400, &v));
  EXPECT_EQ(v, 5u);
  EXPECT_FALSE(fake.SetFormat(S_640x480, S_MONO, S_15, 1, false));
  EXPECT_TRUE(fake.Stop());
  EXPECT_EQ(vzsim::dropped_frames(&fake), -1);
}
