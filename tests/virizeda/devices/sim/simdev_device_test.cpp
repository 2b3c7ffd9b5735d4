// The simulated device on its own, as the emulated FireWire bus and the
// camera implementation reach it: modes, packet sizes, frames, features,
// the flash protocol and the bus factory with its state directory.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/dcam_api.h"
#include "devices/sim/sim_device.h"
#include "test_support.h"

using vz::iidc::Coding;
using vz::Mode;
using vz::SimDevice;

namespace {

const uint32_t DCAM = 0xF0F00000u, F7 = DCAM + 0x1000;

CamConfig camera(const char *kind) {
  BusConfig bus = vz_default_bus();
  CamConfig c = bus.cams[0];                   // stereo colour
  if (!strcmp(kind, "mono")) c = bus.cams[1];
  if (!strcmp(kind, "bayer")) c = bus.cams[2];
  return c;
}

uint32_t rd(SimDevice &d, uint32_t a) {
  uint32_t v = 0xdeadbeef;
  EXPECT_TRUE(d.read_quadlet(a, &v)) << std::hex << a;
  return v;
}

bool has_mode(const std::vector<Mode> &ms, int f, int m, vz::iidc::Coding c) {
  for (const Mode &x : ms)
    if (x.format == f && x.mode == m && x.coding == c) return true;
  return false;
}

}  // namespace

TEST(SimDevice, ModesFollowTheImagerAndFormat7CanBeRemoved) {
  SimDevice color(camera("color"), 0, 800), mono(camera("mono"), 1, 800);
  std::vector<Mode> cm = color.modes(), mm = mono.modes();
  EXPECT_TRUE(has_mode(cm, 0, 0, vz::iidc::Coding::YUV444));
  EXPECT_TRUE(has_mode(cm, 0, 2, vz::iidc::Coding::YUV411));
  EXPECT_TRUE(has_mode(cm, 2, 0, vz::iidc::Coding::YUV422));
  EXPECT_TRUE(has_mode(cm, 7, 0, vz::iidc::Coding::RAW8));
  EXPECT_EQ(rd(color, DCAM + 0x180), 0xFC000000u);
  EXPECT_EQ(rd(color, DCAM + 0x200), 0x3C000000u) << "160x120 from 7.5 fps";
  // only rates the link carries: 1280x960 Mono8 at 60 fps would take 5126
  // of a bus's 4915 units at S800, RGB8 at 30 fps 7686
  SimDevice slow(camera("color"), 0, 400);
  struct { SimDevice *d; uint32_t reg, rates; } carried[] = {
      {&color, 0x248, 0x78000000}, {&color, 0x244, 0x70000000},
      {&color, 0x214, 0x7C000000}, {&slow, 0x248, 0x70000000},
      {&slow, 0x244, 0x60000000}, {&slow, 0x210, 0x78000000}};
  for (auto &k : carried) {
    EXPECT_EQ(rd(*k.d, DCAM + k.reg), k.rates) << std::hex << k.reg;
    for (int r = vz::iidc::RATE_3_75; r <= vz::iidc::RATE_60; ++r)
      if (!(k.rates & (1u << (31 - r)))) {
        Mode m;
        ASSERT_TRUE(k.d->read_quadlet(DCAM + 0x180 + (k.reg - 0x200) / 32 * 4, &m.rates));
        m.format = (int)(k.reg - 0x200) / 32, m.mode = (int)(k.reg - 0x200) % 32 / 4;
        EXPECT_FALSE(k.d->set_mode(m, r, nullptr)) << std::hex << k.reg << " rate " << r;
      }
  }
  for (const Mode &m : mm)
    EXPECT_EQ(m.coding, vz::iidc::Coding::MONO8) << m.format << "/" << m.mode;
  EXPECT_TRUE(has_mode(mm, 7, 0, vz::iidc::Coding::MONO8));

  CamConfig small = camera("color");
  small.format7 = false;
  small.v.max_width = 640, small.v.max_height = 480;
  SimDevice s(small, 0, 400);
  for (const Mode &m : s.modes()) EXPECT_LE(m.format, 0);
  EXPECT_EQ(rd(s, DCAM + 0x100), 0x80000000u) << "Format_0 only";
  EXPECT_EQ(rd(s, DCAM + 0x2E0), 0u);
  uint32_t v;
  EXPECT_FALSE(s.read_quadlet(F7, &v)) << "no Format_7 block";
  Mode f7;
  f7.format = 7, f7.width = 160, f7.height = 120;
  std::string why;
  EXPECT_FALSE(s.set_mode(f7, vz::iidc::RATE_30, &why));
  EXPECT_NE(why.find("not offered"), std::string::npos) << why;
}

TEST(SimDevice, EveryRegisterLibdc1394AsksAtStartReads) {
  SimDevice d(camera("mono"), 1, 800);
  uint32_t v;
  for (uint32_t off : {0x400u, 0x404u, 0x408u, 0x40Cu, 0x480u, 0x2C0u,
                       0x580u, 0x5FCu, 0x880u, 0x60Cu, 0x600u, 0x604u,
                       0x608u, 0x614u, 0x618u, 0x630u})
    EXPECT_TRUE(d.read_quadlet(DCAM + off, &v)) << std::hex << off;
  EXPECT_FALSE(d.read_quadlet(DCAM + 0x700, &v)) << "no absolute values";
  // vendor and model leaves of the unit dependent directory, as
  // libdc1394 finds them: entry address + 4 * offset, text from the fourth
  // quadlet
  const uint32_t *rom = d.rom();
  std::string names[2];
  for (int e = 0; e < 2; ++e) {
    int at = 18;   // the directory's entries, found by key as libdc1394 does
    while (at < 18 + (int)(rom[17] >> 16) && rom[at] >> 24 != 0x81u + e) ++at;
    ASSERT_EQ(rom[at] >> 24, 0x81u + e);
    int leaf = at + (int)(rom[at] & 0xffffff), len = (int)(rom[leaf] >> 16);
    for (int q = 0; q < len - 2; ++q)
      for (int k = 0; k < 4; ++k)
        if (char ch = (char)(rom[leaf + 3 + q] >> (24 - 8 * k))) names[e] += ch;
  }
  EXPECT_EQ(names[0], "virizeda");
  EXPECT_EQ(names[1], "Sim Mono");
  EXPECT_FALSE(d.write_quadlet(DCAM + 0x880, 0x82000001)) << "no zoom";
}

TEST(SimDevice, ModeSetThroughRegistersGivesIidcPacketSizes) {
  SimDevice d(camera("color"), 0, 800);
  // Format_0 Mode_5 (640x480 Mono8) at 15 fps: 160 quadlets a packet
  ASSERT_TRUE(d.write_quadlet(DCAM + 0x608, 0));
  ASSERT_TRUE(d.write_quadlet(DCAM + 0x604, 5u << 29));
  ASSERT_TRUE(d.write_quadlet(DCAM + 0x600, 3u << 29));
  EXPECT_EQ(d.frame_bytes(), 640u * 480);
  EXPECT_EQ(d.packet_bytes(), 640u);
  EXPECT_EQ(d.packets_per_frame(), 480u);
  EXPECT_FALSE(d.write_quadlet(DCAM + 0x604, 6u << 29)) << "no Mode_6";
  // Format_7: size, coding and packet size through the CSRs
  ASSERT_TRUE(d.write_quadlet(DCAM + 0x608, 7u << 29));
  ASSERT_TRUE(d.write_quadlet(F7 + 0x0C, 320u << 16 | 240));
  ASSERT_TRUE(d.write_quadlet(F7 + 0x10, 4u << 24));  // RGB8
  EXPECT_FALSE(d.write_quadlet(F7 + 0x0C, 321u << 16 | 240)) << "not a unit";
  EXPECT_FALSE(d.write_quadlet(F7 + 0x10, 5u << 24)) << "no Mono16";
  EXPECT_EQ(rd(d, F7 + 0x3C), 320u * 240 * 3);
  uint32_t para = rd(d, F7 + 0x40);
  EXPECT_EQ(para & 0xffff, 8188u) << "S800, within 8 packets of libdc1394's descriptor";
  ASSERT_TRUE(d.write_quadlet(F7 + 0x44, 4096u << 16));
  EXPECT_EQ(d.packet_bytes(), 4096u);
  EXPECT_EQ(rd(d, F7 + 0x48), (320u * 240 * 3 + 4095) / 4096);
  EXPECT_EQ(d.frame_period_us(), 125.0 * d.packets_per_frame());
  EXPECT_FALSE(d.write_quadlet(F7 + 0x44, 8196u << 16)) << "above the maximum";
  EXPECT_EQ(d.current_mode().coding, vz::iidc::Coding::RGB8);
  EXPECT_EQ(d.current_mode().width, 320);
}

// A Format_7 window moved from the origin is the part of the imager's
// picture at its position, with the frame's own bar code on top.
TEST(SimDevice, Format7WindowIsCutFromItsPosition) {
  SimDevice d(camera("color"), 0, 800);
  ASSERT_TRUE(d.write_quadlet(DCAM + 0x608, 7u << 29));
  ASSERT_TRUE(d.write_quadlet(F7 + 0x10, 4u << 24));  // RGB8
  ASSERT_TRUE(d.write_quadlet(F7 + 0x0C, 1280u << 16 | 960));
  std::vector<unsigned char> whole(d.frame_bytes());
  d.render(77, whole.data());
  EXPECT_FALSE(d.write_quadlet(F7 + 0x08, 8u << 16)) << "no room at full size";
  ASSERT_TRUE(d.write_quadlet(F7 + 0x0C, 320u << 16 | 240));
  EXPECT_FALSE(d.write_quadlet(F7 + 0x08, 4u << 16)) << "not a whole unit";
  EXPECT_FALSE(d.write_quadlet(F7 + 0x08, 968u << 16)) << "past the right edge";
  ASSERT_TRUE(d.write_quadlet(F7 + 0x08, 64u << 16 | 480));
  EXPECT_EQ(rd(d, F7 + 0x08), 64u << 16 | 480);
  EXPECT_FALSE(d.write_quadlet(F7 + 0x0C, 1280u << 16 | 240)) << "past the edge";
  std::vector<unsigned char> cut(d.frame_bytes());
  ASSERT_EQ(cut.size(), 320u * 240 * 3);
  d.render(77, cut.data());
  EXPECT_EQ(vz_barcode_read(cut.data(), 320, 3), 77);
  for (int y = 8; y < 240; y += 7)
    ASSERT_EQ(0, memcmp(&cut[y * 320 * 3], &whole[((480 + y) * 1280 + 64) * 3], 320 * 3))
        << "row " << y;
  // the library's formats are whole pictures: a mode set goes to the origin
  Mode m = d.current_mode();
  ASSERT_TRUE(d.set_mode(m, vz::iidc::RATE_15, nullptr));
  EXPECT_EQ(rd(d, F7 + 0x08), 0u);
}

TEST(SimDevice, FramesAreTheSameFromEveryDeviceAndYuvIsInIidcOrder) {
  SimDevice a(camera("color"), 0, 800), b(camera("color"), 0, 800);
  Mode m;
  m.format = 0, m.mode = 1;  // 320x240 YUV422
  ASSERT_TRUE(a.set_mode(m, vz::iidc::RATE_30, nullptr));
  ASSERT_TRUE(b.set_mode(m, vz::iidc::RATE_30, nullptr));
  std::vector<unsigned char> fa(a.frame_bytes()), fb(b.frame_bytes());
  a.render(41, fa.data());
  b.render(41, fb.data());
  EXPECT_EQ(fa, fb);
  // bar code of 41 = 0b101001: block 10 is white: U 128, Y 255, V 128, Y 255
  size_t white = 10 * 20 * 2 + 4, black = 9 * 20 * 2 + 4;
  EXPECT_EQ(fa[white], 128);
  EXPECT_EQ(fa[white + 1], 255);
  EXPECT_EQ(fa[white + 2], 128);
  EXPECT_EQ(fa[white + 3], 255);
  EXPECT_EQ(fa[black + 1], 0);
  // Y of the picture is the luma of the RGB8 picture
  Mode rgb;
  rgb.format = 7, rgb.width = 320, rgb.height = 240, rgb.coding = vz::iidc::Coding::RGB8;
  ASSERT_TRUE(b.set_mode(rgb, vz::iidc::RATE_30, nullptr));
  std::vector<unsigned char> fr(b.frame_bytes());
  SimDevice c(camera("color"), 0, 800);
  ASSERT_TRUE(c.set_mode(rgb, vz::iidc::RATE_30, nullptr));
  c.render(41, fr.data());
  int off = 0;
  for (size_t px = 320 * 8; px < 320 * 240; px += 37) {
    const unsigned char *p = &fr[3 * px];
    int y = (77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8;
    if (abs(y - fa[2 * px + 1]) > 1) ++off;
  }
  EXPECT_EQ(off, 0);
}

// The YUV codings are made from converted rows and the object's edges; they
// must equal the colour scene converted pixel group by pixel group, wherever
// the object and the gradient stand and whatever views and looks there are.
TEST(SimDevice, YuvFramesAreTheColourSceneConverted) {
  struct Case { int w, h; bool stereo; int group; };
  const Case cases[] = {{320, 240, true, 2}, {640, 480, true, 4},
                        {160, 120, false, 1}, {200, 64, true, 4},
                        {644, 48, true, 4}, {162, 40, false, 2}};
  for (const Case &c : cases)
    for (int variant = 0; variant < 3; ++variant) {
      SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " group "
                                      << c.group << " look " << variant);
      SceneFormat f;
      f.w = c.w, f.h = c.h, f.stereo = c.stereo, f.type = S_RGB24;
      SceneLook l;
      l.color = true;
      if (variant == 1) l.sharpness = 85, l.yoff[1] = 9, l.saturation = 70;
      if (variant == 2) l.inverted = true, l.sharpness = 20, l.yoff[0] = 5;
      Scene rgb_scene, yuv_scene;
      vz_scene_prepare(&rgb_scene, f, l);
      f.yuv = c.group;
      vz_scene_prepare(&yuv_scene, f, l);
      size_t pixels = (size_t)c.w * c.h;
      std::vector<unsigned char> rgb(pixels * 3), want, got;
      for (uint32_t seq = 0; seq < 400; seq += 7) {
        vz_scene_render(&rgb_scene, seq, rgb.data());
        want.clear();
        for (size_t i = 0; i < pixels; i += c.group) {
          int y[4], su = 0, sv = 0;
          for (int k = 0; k < c.group; ++k) {
            const unsigned char *p = &rgb[3 * (i + k)];
            y[k] = (77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8;
            su += (-43 * p[0] - 85 * p[1] + 128 * p[2]) / 256 + 128;
            sv += (128 * p[0] - 107 * p[1] - 21 * p[2]) / 256 + 128;
          }
          int u = su / c.group, v = sv / c.group;
          if (c.group == 1) want.insert(want.end(), {(uint8_t)u, (uint8_t)y[0], (uint8_t)v});
          if (c.group == 2)
            want.insert(want.end(), {(uint8_t)u, (uint8_t)y[0], (uint8_t)v, (uint8_t)y[1]});
          if (c.group == 4)
            want.insert(want.end(), {(uint8_t)u, (uint8_t)y[0], (uint8_t)y[1],
                                     (uint8_t)v, (uint8_t)y[2], (uint8_t)y[3]});
        }
        got.assign(want.size() + 16, 0xAB);
        vz_scene_render(&yuv_scene, seq, got.data());
        ASSERT_TRUE(std::equal(want.begin(), want.end(), got.begin())) << "seq " << seq;
        EXPECT_EQ(got[want.size()], 0xAB) << "past the frame";
      }
    }
}

TEST(SimDevice, FeaturesRefuseWhatTheyLack) {
  SimDevice m(camera("mono"), 1, 800), b(camera("bayer"), 2, 800);
  vz::FeatureInfo info;
  vz::FeatureState s;
  EXPECT_FALSE(m.feature_info(vz::iidc::WHITE_BALANCE, &info));
  EXPECT_FALSE(m.set_feature(vz::iidc::SATURATION, s));
  EXPECT_FALSE(m.get_feature(99, &s));
  ASSERT_TRUE(b.feature_info(vz::iidc::BRIGHTNESS, &info));
  EXPECT_FALSE(info.has_auto);
  s.automatic = true;
  EXPECT_FALSE(b.set_feature(vz::iidc::BRIGHTNESS, s)) << "no automatic mode";
  s.automatic = false;
  s.value = info.max + 1;
  EXPECT_FALSE(b.set_feature(vz::iidc::BRIGHTNESS, s)) << "above the range";
  s.value = info.max;
  ASSERT_TRUE(b.set_feature(vz::iidc::BRIGHTNESS, s));
  EXPECT_EQ(rd(b, DCAM + 0x800) & 0xfff, info.max);
}

TEST(SimDevice, CalibrationAndLocalBlockGoThroughTheFlashRegisters) {
  TempDir dir;
  ScopedEnv state("VIRIZEDA_SIM_STATE", dir.path().c_str());
  std::string text(3000, 'x');
  for (size_t i = 0; i < text.size(); ++i) text[i] = (char)('a' + i % 26);
  {
    SimDevice d(camera("mono"), 1, 800);
    EXPECT_EQ(rd(d, 0xF0FFF048), 0u) << "nothing stored";
    ASSERT_TRUE(d.write_quadlet(0xF0FFF048, (uint32_t)text.size()));
    for (uint32_t page = 0; page < text.size(); page += 1024) {
      ASSERT_TRUE(d.write_quadlet(0xF0FFF044, page));
      for (uint32_t i = 0; i < 1024 && page + i < text.size(); i += 4) {
        uint32_t w = 0;
        for (int k = 0; k < 4; ++k)
          w = w << 8 | (page + i + k < text.size()
                            ? (unsigned char)text[page + i + k] : 0);
        ASSERT_TRUE(d.write_quadlet(0xF0FFF400 + i, w));
      }
    }
    ASSERT_TRUE(d.write_quadlet(0xF0FFF040, 2));  // store
    EXPECT_EQ(rd(d, 0xF0FFF040), 0u);
    ASSERT_TRUE(d.write_quadlet(0xF0FFF00C, 0x01000077));
    ASSERT_TRUE(d.write_quadlet(0xF0FFF040, 1));  // save the local block
    EXPECT_FALSE(d.write_quadlet(0xF0FFF040, 9)) << "unknown command";
    EXPECT_EQ(rd(d, 0xF0FFF040), 0x80000002u);
    EXPECT_FALSE(d.write_quadlet(0xF0FFF044, 100)) << "not a page";
  }
  SimDevice d(camera("mono"), 1, 800);  // a later process
  EXPECT_EQ(rd(d, 0xF0FFF048), 0x80000000u | 3000);
  ASSERT_TRUE(d.write_quadlet(0xF0FFF044, 2048));
  uint32_t w = rd(d, 0xF0FFF400 + 4);
  EXPECT_EQ((char)(w >> 24), text[2052]);
  EXPECT_EQ(rd(d, 0xF0FFF400 + 952), 0u) << "past the end reads 0";
  EXPECT_EQ(rd(d, 0xF0FFF00C), 0x01000077u);
  // a new size empties the staging area: no byte of an earlier one is stored
  ASSERT_TRUE(d.write_quadlet(0xF0FFF048, 8));
  ASSERT_TRUE(d.write_quadlet(0xF0FFF044, 0));
  ASSERT_TRUE(d.write_quadlet(0xF0FFF400, 0x61626364));
  ASSERT_TRUE(d.write_quadlet(0xF0FFF404, 0x65666768));
  ASSERT_TRUE(d.write_quadlet(0xF0FFF048, 8));
  ASSERT_TRUE(d.write_quadlet(0xF0FFF400, 0x77787980));
  ASSERT_TRUE(d.write_quadlet(0xF0FFF040, 2));
  EXPECT_EQ(rd(d, 0xF0FFF048), 0x80000000u | 8);
  EXPECT_EQ(rd(d, 0xF0FFF400), 0x77787980u);
  EXPECT_EQ(rd(d, 0xF0FFF404), 0u) << "stale staged bytes stored";
  SimDevice bayer(camera("bayer"), 2, 800);
  EXPECT_FALSE(bayer.write_quadlet(0xF0FFF040, 1)) << "no local block to save";
}

TEST(SimDevice, BusFactoryReadsTheConfigurationAndSharesTheState) {
  TempDir dir;
  ScopedEnv state("VIRIZEDA_SIM_STATE", dir.path().c_str());
  ScopedEnv config("VIRIZEDA_SIM_CONFIG", nullptr);
  BusConfig conf;
  std::vector<std::unique_ptr<SimDevice>> devs;
  std::string why;
  ASSERT_TRUE(vz::sim_bus_devices(&conf, &devs, &why)) << why;
  ASSERT_EQ(devs.size(), 3u);
  ASSERT_TRUE(devs[1]->write_quadlet(0xF0000410, 0x00080012));
  std::vector<std::unique_ptr<SimDevice>> again;
  ASSERT_TRUE(vz::sim_bus_devices(&conf, &again, &why));
  EXPECT_EQ(again[1]->rom()[4], 0x00080012u) << "the other path sees it";
  EXPECT_EQ(again[1]->guid() & 0xffffffff, 0x00080012u);

  write_file(dir.file("bad.json"), "{\"cameras\": [{\"colour\": true}]}");
  ScopedEnv bad("VIRIZEDA_SIM_CONFIG", dir.file("bad.json").c_str());
  EXPECT_FALSE(vz::sim_bus_devices(&conf, &again, &why));
  EXPECT_NE(why.find("unknown key \"colour\""), std::string::npos) << why;
}
