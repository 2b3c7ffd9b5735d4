// The GenICam device over aravis's in-process simulated camera (Fake_1):
// formats, controls, pictures, frames and registers. Its picture is a
// diagonal ramp, value (x + y + frame id) % 255.
#include <arv.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/camera.h"
#include "core/convert.h"
#include "core/diag.h"
#include "devices/aravis/aravis_bus.h"
#include "devices/aravis/aravis_device.h"
#include "test_support.h"

using namespace vz;

namespace {

std::vector<std::string> lines;
void collect(char *l) { lines.push_back(l); }

class FakeDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    lines.clear();
    vz_diag_set_sink(collect);
    std::string why;
    dev = AravisDevice::open("Fake_1", arv_fake_interface_get_instance(), &why);
    ASSERT_TRUE(dev) << why;
  }
  Mode mode(iidc::Coding c, iidc::Filter f, int w, int h) {
    for (Mode m : dev->modes())
      if (m.coding == c && m.filter == f) {
        m.width = w, m.height = h;
        return m;
      }
    ADD_FAILURE() << "no such mode";
    return Mode();
  }
  std::unique_ptr<AravisDevice> dev;
};

// The column of row y where the ramp wraps from 254 to 0.
int wrap_column(const unsigned char *p, int w, int y, int bpp) {
  int best = 1, jump = 0;
  for (int x = 1; x < w; ++x) {
    int d = 0;
    for (int c = 0; c < bpp; ++c)
      d += abs(p[(y * w + x) * bpp + c] - p[(y * w + x - 1) * bpp + c]);
    if (d > jump) jump = d, best = x;
  }
  return best;
}

}  // namespace

TEST_F(FakeDevice, FormatsAreOfferedAndSetCentredWithRefusalsThatKeepTheLast) {
  bool mono = false, rgb = false, gr = false;
  for (const Mode &m : dev->modes()) {
    EXPECT_EQ(m.width, 2048);
    mono |= m.coding == iidc::Coding::MONO8;
    rgb |= m.coding == iidc::Coding::RGB8;
    gr |= m.coding == iidc::Coding::RAW8 && m.filter == iidc::Filter::GRBG;
    EXPECT_TRUE(m.rates & (1u << iidc::RATE_30));
  }
  EXPECT_TRUE(mono && rgb && gr);
  std::string why;
  ASSERT_TRUE(dev->set_mode(mode(iidc::Coding::MONO8, iidc::Filter::NONE, 640, 480), iidc::RATE_15, &why)) << why;
  GError *e = nullptr;
  int x, y, w, h;
  arv_camera_get_region(dev->camera(), &x, &y, &w, &h, &e);
  EXPECT_EQ(x, (2048 - 640) / 2);
  EXPECT_EQ(y, (2048 - 480) / 2);
  EXPECT_EQ(w, 640);
  EXPECT_NEAR(arv_camera_get_frame_rate(dev->camera(), &e), 15.0, 0.15);
  // too wide: refused with what the camera takes, the last format kept
  EXPECT_FALSE(dev->set_mode(mode(iidc::Coding::RGB8, iidc::Filter::NONE, 4096, 480), iidc::RATE_15, &why));
  EXPECT_NE(why.find("it takes 1 to 2048"), std::string::npos) << why;
  arv_camera_get_region(dev->camera(), &x, &y, &w, &h, &e);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(arv_camera_get_pixel_format(dev->camera(), &e), ARV_PIXEL_FORMAT_MONO_8);
  // slower rates by the camera itself, read back
  ASSERT_TRUE(dev->set_decimation(3));
  EXPECT_NEAR(arv_camera_get_frame_rate(dev->camera(), &e), 5.0, 0.05);
  EXPECT_EQ(e, nullptr);
}

TEST_F(FakeDevice, ControlsSetAndReadBackAtTheirBoundsAndAuto) {
  FeatureInfo in;
  FeatureState s;
  ASSERT_TRUE(dev->feature_info(iidc::SHUTTER, &in));
  EXPECT_FALSE(in.has_auto);  // the simulator has no ExposureAuto
  GError *e = nullptr;
  for (uint32_t raw : {in.min, in.max}) {
    s.value = raw;
    ASSERT_TRUE(dev->set_feature(iidc::SHUTTER, s));
    FeatureState back;
    ASSERT_TRUE(dev->get_feature(iidc::SHUTTER, &back));
    EXPECT_EQ(back.value, raw);
  }
  EXPECT_NEAR(arv_camera_get_exposure_time(dev->camera(), &e), 1e7, 1);
  ASSERT_TRUE(dev->feature_info(iidc::GAIN, &in));
  EXPECT_TRUE(in.has_auto);
  EXPECT_EQ(in.max, 10u);  // GainRaw 0-10, an integer
  s.value = 10;
  ASSERT_TRUE(dev->set_feature(iidc::GAIN, s));
  EXPECT_EQ(arv_camera_get_gain(dev->camera(), &e), 10);
  s.automatic = true;
  ASSERT_TRUE(dev->set_feature(iidc::GAIN, s));
  ASSERT_TRUE(dev->get_feature(iidc::GAIN, &s));
  EXPECT_TRUE(s.automatic);
  // what the camera lacks is absent
  for (int f : {iidc::BRIGHTNESS, iidc::WHITE_BALANCE, iidc::GAMMA, iidc::SATURATION, iidc::SHARPNESS})
    EXPECT_FALSE(dev->feature_info(f, &in)) << f;
}

TEST_F(FakeDevice, NewestFrameStaysUntilTheNextAndFramesGoForward) {
  std::string why;
  ASSERT_TRUE(dev->set_mode(mode(iidc::Coding::MONO8, iidc::Filter::NONE, 320, 240), iidc::RATE_30, &why));
  ASSERT_TRUE(dev->start(&why)) << why;
  Frame a, b;
  ASSERT_EQ(dev->next_frame(2000, &a), Next::FRAME);
  std::vector<unsigned char> copy(a.data, a.data + a.bytes);
  usleep(300000);  // frames keep coming; the one handed out stays
  EXPECT_EQ(memcmp(copy.data(), a.data, copy.size()), 0);
  ASSERT_EQ(dev->next_frame(2000, &b), Next::FRAME);
  EXPECT_GT(b.seq, a.seq + 1);
  EXPECT_EQ(b.dropped, b.seq - a.seq - 1);  // the older ones were returned
  EXPECT_EQ(b.bytes, 320u * 240u);
  // the ramp moves on by as many frames as the count says
  EXPECT_EQ((b.data[0] + 255 - a.data[0]) % 255, (int)((b.seq - a.seq) % 255));
  uint64_t last = b.seq;
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(dev->next_frame(2000, &b), Next::FRAME);
    EXPECT_GT(b.seq, last);
    last = b.seq;
  }
  dev->stop();
  EXPECT_EQ(dev->next_frame(50, &b), Next::TIMEOUT);
}

TEST_F(FakeDevice, RegistersAnswerAndIidcAddressesAreRefusedUntouched) {
  uint32_t v = 0;
  EXPECT_TRUE(dev->read_quadlet(0x0, &v));
  // the simulator would crash on any of these
  for (uint32_t a : {0xF0000400u, 0xF0F00000u, 0xF0FFF000u, 0xFFFFFFFCu}) {
    EXPECT_FALSE(dev->read_quadlet(a, &v)) << std::hex << a;
    EXPECT_FALSE(dev->write_quadlet(a, 1)) << std::hex << a;
  }
}

TEST_F(FakeDevice, LinesLoggedOnAravisThreadsWaitForTheNextCall) {
  auto has = [](const char *part) {
    for (auto &l : lines)
      if (l.find(part) != std::string::npos) return true;
    return false;
  };
  std::thread([] {
    g_log("Aravis", G_LOG_LEVEL_WARNING, "from a stream thread");
    g_log("Aravis", G_LOG_LEVEL_DEBUG, "chatter");
  }).join();
  EXPECT_FALSE(has("from a stream thread"));
  bool ready = false;
  dev->frame_ready(0, &ready);
  EXPECT_TRUE(has("Aravis warning: from a stream thread"));
  EXPECT_FALSE(has("chatter"));  // only with ARV_DEBUG
}

// Through the one camera implementation, as the programs see it.
class FakeBus : public ::testing::Test {
 protected:
  void SetUp() override {
    lines.clear();
    vz_diag_set_sink(collect);
    AravisProbe p;
    aravis_probe(&p, " Fake_1 , ", false, false);
    ASSERT_EQ(p.devices.size(), 1u);
    bus.reset(vz_aravis_bus_open(&p));
    cam = static_cast<Camera *>(bus->InitCamera(0));
    ASSERT_NE(cam, nullptr);
  }
  std::unique_ptr<dSystem> bus;
  Camera *cam = nullptr;
};

TEST_F(FakeBus, IdentityComesFromTheDeviceAndIsNeverUnprogrammed) {
  EXPECT_STREQ(bus->Names()[0], "Aravis Fake");
  std::string id = bus->ChipIDs()[0];
  EXPECT_EQ(id.size(), 16u);
  EXPECT_EQ(bus->InitCamera((char *)id.c_str()), cam);
  EXPECT_EQ(bus->InitCamera((char *)"Fake_1"), cam);
  EXPECT_EQ(cam->devID, 1);  // its serial number
  EXPECT_FALSE(cam->isStereo);
  EXPECT_TRUE(cam->isBayer);
  EXPECT_EQ(cam->max_width, 2048);
  lines.clear();
  EXPECT_FALSE(cam->SaveLocalParams());
  EXPECT_FALSE(cam->GetCalib(nullptr, 0));
  EXPECT_FALSE(cam->SetCalib(nullptr, 0));
  EXPECT_EQ(lines.size(), 3u);
  unsigned long v = 7;
  EXPECT_FALSE(cam->ReadQuadlet(0xF0F00000, &v));
  EXPECT_EQ(v, 7u);
  EXPECT_TRUE(cam->ReadQuadlet(0x0, &v));
}

TEST_F(FakeBus, FormatsOfTheProgramsWithoutBandwidthLimits) {
  EXPECT_TRUE(cam->SetFormat(S_1280x960, S_RGB24, S_60, 1, false)) << cam->error;
  EXPECT_FALSE(cam->SetFormat(S_512x384, S_MONO, S_30, 1, false));
  EXPECT_TRUE(cam->SetFormat(S_160x120, S_MONO, S_5, 1, false)) << cam->error;
  cam->SetExposure(100, false);
  EXPECT_EQ(cam->exposure, 100);
  EXPECT_FALSE(cam->has_manual_brightness);
  cam->SetGain(0, true);
  EXPECT_TRUE(cam->do_auto_gain);
}

TEST_F(FakeBus, PicturesInEveryTypeNativeOnesUncopied) {
  struct Case {
    dITYPE type;
    int bpp;
  } cases[] = {{S_MONO, 1}, {S_RGB24, 3}, {S_BAYER, 1}};
  for (const Case &c : cases) {
    ASSERT_TRUE(cam->SetFormat(S_640x480, c.type, S_30, 1, false)) << cam->error;
    ASSERT_TRUE(cam->Start());
    unsigned char *p1 = nullptr, *p2 = nullptr;
    int n1 = 0, n2 = 0;
    ASSERT_TRUE(cam->GetImage(&p1, 2000, &n1, nullptr));
    if (c.type == S_MONO) {  // the ramp, whole
      for (int y = 0; y < 480; y += 37)
        for (int x = 0; x < 640; x += 29)
          ASSERT_EQ(p1[y * 640 + x], (p1[0] + x + y) % 255) << x << "," << y;
    }
    ASSERT_TRUE(cam->GetImage(&p2, 2000, &n2, nullptr));
    EXPECT_GT(n2, n1);
    EXPECT_NE(p1, p2) << "a native frame is handed over where it landed";
    cam->Stop();
  }
}

// The jet map: red just before the ramp wraps to 0, blue just after; the
// simulator's GR8 and GB8 mosaics are right (its RG8 and BG8 are swapped).
TEST_F(FakeDevice, ColoursOfRgbAndOfBayerThroughTheDemosaic) {
  struct Case {
    iidc::Coding coding;
    iidc::Filter filter;
  } cases[] = {{iidc::Coding::RGB8, iidc::Filter::NONE}, {iidc::Coding::RAW8, iidc::Filter::GRBG},
               {iidc::Coding::RAW8, iidc::Filter::GBRG}};
  std::vector<unsigned char> rgb(640 * 480 * 3);
  for (const Case &c : cases) {
    std::string why;
    ASSERT_TRUE(dev->set_mode(mode(c.coding, c.filter, 640, 480), iidc::RATE_30, &why)) << why;
    ASSERT_TRUE(dev->start(&why)) << why;
    Frame f;
    ASSERT_EQ(dev->next_frame(2000, &f), Next::FRAME);
    ASSERT_GE(f.bytes, 640u * 480u * (c.coding == iidc::Coding::RGB8 ? 3 : 1));
    if (c.coding == iidc::Coding::RGB8)
      memcpy(rgb.data(), f.data, rgb.size());
    else
      ASSERT_TRUE(convert(c.coding, c.filter, Pixels::RGB24, f.data, rgb.data(), 640, 480));
    dev->stop();
    int y = 240, x = wrap_column(rgb.data(), 640, y, 3);
    if (x < 8 || x > 632) x = wrap_column(rgb.data(), 640, y = 100, 3);
    const unsigned char *before = &rgb[(y * 640 + x - 6) * 3];
    const unsigned char *after = &rgb[(y * 640 + x + 6) * 3];
    EXPECT_GT(before[0], before[2] + 40) << (int)c.filter;
    EXPECT_GT(after[2], after[0] + 40) << (int)c.filter;
  }
}

// The row's probe opens exactly the cameras named, unnamed or named, and
// never asks the GigE Vision side to broadcast; unnamed without a list it
// looks at USB only.
TEST(AravisRow, NamedCamerasAreOpenedWithoutDiscovery) {
  int before = aravis_discoveries();
  std::string why;
  {
    ScopedEnv ids("VIRIZEDA_GENICAM_DEVICES", "Fake_1");
    for (bool named : {true, false}) {
      ASSERT_TRUE(vz_aravis_probe(named, &why)) << why;
      EXPECT_EQ(why, "GenICam bus: it finds 1 camera of VIRIZEDA_GENICAM_DEVICES=Fake_1");
      std::unique_ptr<dSystem> bus(vz_aravis_open());
      EXPECT_EQ(bus->NumCameras(), 1);
    }
  }
  ScopedEnv unset("VIRIZEDA_GENICAM_DEVICES", nullptr);
  vz_aravis_probe(false, &why);
  delete vz_aravis_open();
  EXPECT_EQ(aravis_discoveries(), before);
}

// The library's own dSysInit: the GenICam bus after the simulated one, its
// camera numbered on and found by its chip id; the one line names both.
TEST(AravisRow, ListedBusesShareOneListOfCameras) {
  ScopedEnv ids("VIRIZEDA_GENICAM_DEVICES", "Fake_1"), conf("VIRIZEDA_SIM_CONFIG", nullptr),
      state("VIRIZEDA_SIM_STATE", nullptr), bus("VIRIZEDA_BUS", "sim,genicam");
  lines.clear();
  dcamDebug = collect;
  dSysInit();
  ASSERT_NE(dSys, nullptr);
  EXPECT_STREQ(dcamVersion, "virizeda 1.0 (simulated bus, GenICam bus)");
  EXPECT_EQ(lines.back(), "virizeda: simulated bus, GenICam bus (VIRIZEDA_BUS=sim,genicam)");
  int n = dSys->NumCameras();
  ASSERT_GT(n, 1);
  EXPECT_STREQ(dSys->Names()[n - 1], "Aravis Fake");
  EXPECT_EQ(dSys->Names()[n], nullptr);
  dCamera *cam = dSys->InitCamera(dSys->ChipIDs()[n - 1]);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(cam->Index(), n - 1);
  EXPECT_EQ(dSys->InitCamera(n - 1), cam);
  delete dSys;
  dSys = nullptr;
  dcamDebug = nullptr;
}

// A camera that stopped answering is not asked until frames come again;
// then it is asked at once, and each change is said once.
TEST(AravisLinkState, FramesAgainUnmuteTheLinkAndEachChangeIsSaidOnce) {
  lines.clear();
  vz_diag_set_sink(collect);
  AravisLink link;
  link.id = "Fake_1";
  link.heard();  // answering all along: nothing to say
  EXPECT_FALSE(link.muted());
  link.mute("no frame for 2.0 s");
  link.mute("timeout");
  EXPECT_TRUE(link.muted());
  link.heard();
  link.heard();
  EXPECT_FALSE(link.muted());
  vz_diag_flush();
  int muted = 0, again = 0;
  for (auto &l : lines) {
    muted += l.find("no frame for 2.0 s; it is not asked again") != std::string::npos;
    again += l.find("camera Fake_1 answers again") != std::string::npos;
  }
  EXPECT_EQ(muted, 1);
  EXPECT_EQ(again, 1);
  EXPECT_EQ(lines.size(), 2u) << "the second mute says nothing";
  vz_diag_set_sink(nullptr);
}
