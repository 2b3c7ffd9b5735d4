// The libdc1394 device on the emulated FireWire bus: the real libdc1394
// against the simulated cameras. Run under scripts/with-emulated-bus.
// Bandwidth, unplug and bus reset are tested through dcam.h
// (dc1394cam_camera_test.cpp).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/convert.h"
#include "core/diag.h"
#include "devices/dc1394/dc1394_device.h"
#include "devices/dc1394/dc1394_probe.h"
#include "devices/sim/scene.h"
#include "devices/sim/sim_config.h"
#include "devices/sim/sim_device.h"
#include "diag_lines.h"
#include "test_support.h"

using namespace vz;

namespace {

template <typename F>
F hook(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
}

class EmuDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!hook<int (*)()>("virizeda_emu_nodes")) GTEST_SKIP() << "not on the emulated bus";
    DiagLines::clear();
    vz_diag_set_sink(DiagLines::sink);
  }
  void TearDown() override { vz_diag_set_sink(nullptr); }

  // The bus of a configuration (empty: the default cameras), as dSysInit
  // would open it.
  std::vector<std::unique_ptr<Dc1394Device>> open(const std::string &conf = "") {
    if (!conf.empty()) {
      write_file(dir_.file("bus.json"), conf);
      env_.reset(new ScopedEnv("VIRIZEDA_SIM_CONFIG", dir_.file("bus.json").c_str()));
    }
    BusProbe p;
    probe_bus(&p, "/dev");
    auto cams = open_cameras(&p, "/dev");
    nodes_ = p.nodes;
    return cams;
  }

  const Mode *find(const std::vector<Mode> &ms, int w, iidc::Coding c, int format = -1) {
    for (const Mode &m : ms)
      if (m.width == w && m.coding == c && (format < 0 || m.format == format)) {
        mode_ = m;
        return &mode_;
      }
    return nullptr;
  }

  TempDir dir_;
  std::unique_ptr<ScopedEnv> env_;
  std::vector<FwNode> nodes_;
  Mode mode_;
};

}  // namespace

TEST_F(EmuDevice, CamerasNodesModesAndRates) {
  auto cams = open();
  ASSERT_EQ(cams.size(), 3u);
  ASSERT_EQ(nodes_.size(), 4u) << "the cameras and the host controller";
  EXPECT_FALSE(nodes_[3].iidc);
  for (size_t i = 0; i < cams.size(); ++i) {
    EXPECT_EQ(nodes_[i].open_errno, 0);
    EXPECT_TRUE(nodes_[i].iidc) << nodes_[i].path;
    EXPECT_NE(nodes_[i].guid, 0u);
    EXPECT_EQ(cams[i]->guid(), nodes_[i].guid);
    EXPECT_FALSE(cams[i]->vendor().empty());
    EXPECT_FALSE(cams[i]->model().empty());
  }
  // the colour camera: every fixed mode of the programs' sizes and Format_7
  std::vector<Mode> ms = cams[0]->modes();
  const Mode *m = find(ms, 640, iidc::Coding::YUV422, 0);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->height, 480);
  EXPECT_TRUE(m->rates & (1u << iidc::RATE_30));
  EXPECT_TRUE(find(ms, 160, iidc::Coding::YUV444, 0));
  EXPECT_TRUE(find(ms, 640, iidc::Coding::YUV411, 0));
  EXPECT_TRUE(find(ms, 1280, iidc::Coding::RGB8, 2));
  m = find(ms, 1280, iidc::Coding::MONO8, 7);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->unit_w, 8);
  // the monochrome camera offers no colour at all
  for (const Mode &x : cams[1]->modes()) EXPECT_EQ(x.coding, iidc::Coding::MONO8);
  // the Bayer camera's raw mosaic with its filter
  ms = cams[2]->modes();
  m = find(ms, 1280, iidc::Coding::RAW8, 7);
  ASSERT_TRUE(m);
  EXPECT_NE(m->filter, iidc::Filter::NONE);
  std::string why;
  Mode bad = *m;
  bad.width = 644;  // not whole units
  EXPECT_FALSE(cams[2]->set_mode(bad, iidc::RATE_15, &why));
  EXPECT_NE(why.find("644x"), std::string::npos) << why;
}

TEST_F(EmuDevice, NewestFrameWithBarCodesAndAStablePointer) {
  auto cams = open();
  ASSERT_FALSE(cams.empty());
  Dc1394Device &c = *cams[0];
  std::string why;
  const Mode *m = find(c.modes(), 640, iidc::Coding::RGB8, 0);
  ASSERT_TRUE(m);
  ASSERT_TRUE(c.set_mode(*m, iidc::RATE_30, &why)) << why;
  ASSERT_TRUE(c.start(&why)) << why;
  Frame f;
  ASSERT_EQ(c.next_frame(1000, &f), Next::FRAME);
  EXPECT_EQ(f.bytes, 640u * 480 * 3);
  int code = vz_barcode_read(f.data, 640, 3);
  ASSERT_GE(code, 0);
  // the frame stays as it is while the camera sends on
  std::vector<unsigned char> copy(f.data, f.data + f.bytes);
  usleep(300000);
  EXPECT_EQ(0, memcmp(copy.data(), f.data, f.bytes));
  // then the newest: about 9 frames later, those between counted dropped
  Frame g;
  ASSERT_EQ(c.next_frame(1000, &g), Next::FRAME);
  int code2 = vz_barcode_read(g.data, 640, 3);
  EXPECT_GE(code2 - code, 7);
  EXPECT_EQ((int)(g.seq - f.seq), code2 - code);
  EXPECT_EQ(g.dropped, g.seq - f.seq - 1);
  // and from then on one frame after the other
  for (int i = 0; i < 5; ++i) {
    Frame h;
    ASSERT_EQ(c.next_frame(1000, &h), Next::FRAME);
    EXPECT_EQ(vz_barcode_read(h.data, 640, 3), code2 + i + 1);
    EXPECT_EQ(h.dropped, 0u);
  }
  // a stopped camera gives no frame
  c.stop();
  EXPECT_EQ(c.next_frame(200, &f), Next::TIMEOUT);
}

TEST_F(EmuDevice, AShortWaitRunsOutAndTakesNoFrame) {
  auto cams = open();
  ASSERT_FALSE(cams.empty());
  Dc1394Device &c = *cams[0];
  std::string why;
  const Mode *m = find(c.modes(), 640, iidc::Coding::MONO8, 0);
  ASSERT_TRUE(m && (m->rates & (1u << iidc::RATE_3_75)));
  ASSERT_TRUE(c.set_mode(*m, iidc::RATE_3_75, &why)) << why;
  ASSERT_TRUE(c.start(&why)) << why;
  Frame f;
  ASSERT_EQ(c.next_frame(3000, &f), Next::FRAME);
  int last = vz_barcode_read(f.data, 640, 1);
  // frames 267 ms apart: a 100 ms wait just after one runs out, unless a
  // busy machine let the next frame come first (then it is tried again)
  bool ran_out = false;
  for (int i = 0; i < 5 && !ran_out; ++i) {
    Next r = c.next_frame(100, &f);
    ran_out = r == Next::TIMEOUT;
    if (ran_out) r = c.next_frame(3000, &f);
    ASSERT_EQ(r, Next::FRAME);
    int code = vz_barcode_read(f.data, 640, 1);
    EXPECT_EQ(code, last + 1 + (int)f.dropped) << "no frame lost uncounted";
    last = code;
  }
  EXPECT_TRUE(ran_out) << "a short wait waited for the next frame";
  c.stop();
}

TEST_F(EmuDevice, ConvertedFramesMatchTheScene) {
  // the same frame number in YUV from the emulated camera and in RGB8 from
  // an in-process simulated camera of the same configuration
  auto cams = open();
  ASSERT_FALSE(cams.empty());
  BusConfig conf;
  std::vector<std::unique_ptr<SimDevice>> sims;
  std::string why;
  ASSERT_TRUE(sim_bus_devices(&conf, &sims, &why)) << why;
  struct Case {
    int w;
    iidc::Coding c;
    Pixels to;
  } cases[] = {{160, iidc::Coding::YUV444, Pixels::RGB24}, {320, iidc::Coding::YUV422, Pixels::RGB24},
               {640, iidc::Coding::YUV411, Pixels::RGB24}, {640, iidc::Coding::YUV422, Pixels::MONO},
               {640, iidc::Coding::RGB8, Pixels::MONO}};
  for (const Case &k : cases) {
    Dc1394Device &c = *cams[0];
    const Mode *m = find(c.modes(), k.w, k.c, 0);
    ASSERT_TRUE(m) << k.w;
    int w = m->width, h = m->height;
    ASSERT_TRUE(c.set_mode(*m, iidc::RATE_15, &why)) << why;
    ASSERT_TRUE(c.start(&why)) << why;
    Frame f;
    ASSERT_EQ(c.next_frame(1000, &f), Next::FRAME);
    size_t n = (size_t)w * h;
    std::vector<uint8_t> ours(n * 3);
    ASSERT_TRUE(convert(k.c, iidc::Filter::NONE, k.to, f.data, ours.data(), w, h));
    // the reference: the scene in RGB8 (or mono) for that frame number
    SimDevice &s = *sims[0];
    const Mode *rm = find(s.modes(), 1280, k.to == Pixels::MONO ? iidc::Coding::MONO8 : iidc::Coding::RGB8, 7);
    ASSERT_TRUE(rm) << w;
    Mode sized = *rm;
    sized.width = w, sized.height = h;
    ASSERT_TRUE(s.set_mode(sized, iidc::RATE_15, &why)) << why;
    std::vector<uint8_t> want(s.frame_bytes());
    s.render(f.seq, want.data());
    int bpp = k.to == Pixels::MONO ? 1 : 3;
    ASSERT_EQ(vz_barcode_read(ours.data(), w, bpp), vz_barcode_read(want.data(), w, bpp));
    // chroma is shared by 2 or 4 pixels: compare away from vertical edges
    long far = 0, total = 0;
    for (size_t i = 8 * w * bpp; i < n * bpp; ++i, ++total)
      if (abs((int)ours[i] - (int)want[i]) > 12) ++far;
    EXPECT_LT(far, total / 50) << k.w << " coding " << (int)k.c;
    c.stop();
  }
}

TEST_F(EmuDevice, RegistersRomAndIdentityAfterAWrite) {
  auto cams = open();
  ASSERT_EQ(cams.size(), 3u);
  Dc1394Device &c = *cams[1];  // the camera that is not programmed
  uint32_t v = 0;
  ASSERT_TRUE(c.read_quadlet(0xF0000404, &v));
  EXPECT_EQ(v, 0x31333934u);  // "1394"
  ASSERT_TRUE(c.read_quadlet(0xF0FFF008, &v));  // the local block
  uint32_t keep = 0xDEADBEEF;
  EXPECT_FALSE(cams[2]->read_quadlet(0xF0FFF008, &keep));  // none on this one
  EXPECT_EQ(keep, 0xDEADBEEFu);
  EXPECT_FALSE(c.read_quadlet(0xF0000402, &v));  // not a quadlet address
  EXPECT_FALSE(c.read_quadlet(0x00000400, &v));  // below the register space
  // a new chip identifier low part is seen as the new GUID at once
  uint64_t before = c.guid();
  ASSERT_TRUE(c.write_quadlet(0xF0000410, 0x00080012));
  EXPECT_EQ(c.guid(), (before & ~0xFFFFFFFFull) | 0x00080012);
  // features with ranges, read back
  FeatureInfo fi;
  ASSERT_TRUE(c.feature_info(iidc::GAIN, &fi));
  ASSERT_TRUE(fi.present && fi.has_manual && fi.max > fi.min);
  FeatureState s;
  s.automatic = false;
  s.value = fi.max;
  ASSERT_TRUE(c.set_feature(iidc::GAIN, s));
  FeatureState back;
  ASSERT_TRUE(c.get_feature(iidc::GAIN, &back));
  EXPECT_EQ(back.value, fi.max);
  EXPECT_FALSE(back.automatic);
  EXPECT_FALSE(c.feature_info(iidc::FEATURES, &fi));
}
