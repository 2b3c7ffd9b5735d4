// The unmodified libdc1394, through its public API, on the emulated
// FireWire bus: what it finds, reads, sets and captures must be what the
// in-process simulated cameras of the same configuration hold and make.
#include <execinfo.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "devices/sim/scene.h"
#include "emulated_support.h"
#include "iidc/rom.h"

extern char **environ;

namespace {

int64_t wall_us() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

dc1394video_mode_t mode_id(const vz::Mode &m) {
  int base = m.format == 0 ? 64 : m.format == 1 ? 71 : m.format == 2 ? 79 : 88;
  return (dc1394video_mode_t)(base + m.mode);
}

// Copies the video format registers of the emulated camera into the
// in-process device, Format_7 geometry and packet size included.
void mirror_mode(dc1394camera_t *c, vz::SimDevice &ref) {
  for (uint32_t off : {0x608u, 0x604u, 0x600u})
    ref.write_quadlet(0xF0F00000u + off, reg(c, DCAM_REGS + off));
  if (ref.current_mode().format != 7) return;
  for (uint32_t off : {(uint32_t)vz::iidc::F7_CODING_ID, (uint32_t)vz::iidc::F7_SIZE,
                       (uint32_t)vz::iidc::F7_POSITION, (uint32_t)vz::iidc::F7_BYTE_PER_PACKET})
    ref.write_quadlet(0xF0F01000u + off, reg(c, DCAM_REGS + 0x1000 + off));
}

// Captures n frames; each must be, byte for byte, a frame the in-process
// device makes, with sequence numbers that advance.
void expect_frames_of(dc1394camera_t *c, vz::SimDevice &ref, int n) {
  ASSERT_EQ(dc1394_capture_setup(c, 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_transmission(c, DC1394_ON), DC1394_SUCCESS);
  std::vector<unsigned char> want(ref.frame_bytes());
  uint64_t next = 0;
  for (int i = 0; i < n; i++) {
    dc1394video_frame_t *f = nullptr;
    ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f), DC1394_SUCCESS);
    ASSERT_NE(f, nullptr);
    ASSERT_GE(f->image_bytes, want.size());
    bool found = false;
    for (uint64_t s = next; s < next + 8 && !found; s++) {
      ref.render(s, want.data());
      if (memcmp(f->image, want.data(), want.size()) == 0) {
        found = true;
        next = s + 1;
      }
    }
    EXPECT_TRUE(found) << "frame " << i << " of mode " << f->video_mode
                       << " is none of the device's frames from " << next;
    dc1394_capture_enqueue(c, f);
  }
  dc1394_video_set_transmission(c, DC1394_OFF);
  dc1394_capture_stop(c);
}

// Streams c at rate r into four buffers.
void stream_at(dc1394camera_t *c, dc1394framerate_t r) {
  ASSERT_EQ(dc1394_video_set_framerate(c, r), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_capture_setup(c, 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_transmission(c, DC1394_ON), DC1394_SUCCESS);
}

// Takes n frames of a 640-wide mono stream, each with a bar code after the
// one before.
void expect_advancing(dc1394camera_t *c, int n, int *last) {
  for (int i = 0; i < n; i++) {
    dc1394video_frame_t *f = nullptr;
    ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f), DC1394_SUCCESS);
    int code = vz_barcode_read(f->image, 640, 1);
    EXPECT_GT(code, *last) << "frame " << i;
    *last = code;
    dc1394_capture_enqueue(c, f);
  }
}

}  // namespace

TEST_F(EmulatedBus, DefaultCamerasShowTheirNamesModesAndRates) {
  open_all();
  auto ref = reference();
  ASSERT_EQ(cams_.size(), 3u);
  const char *models[] = {"Sim Stereo Color", "Sim Mono", "Sim Bayer"};
  for (size_t i = 0; i < cams_.size(); i++) {
    dc1394camera_t *c = cams_[i];
    EXPECT_STREQ(c->vendor, "virizeda");
    EXPECT_STREQ(c->model, models[i]);
    EXPECT_EQ(c->guid, ref[i]->guid());
    dc1394video_modes_t modes;
    ASSERT_EQ(dc1394_video_get_supported_modes(c, &modes), DC1394_SUCCESS);
    std::vector<vz::Mode> want = ref[i]->modes();
    std::vector<int> got(modes.modes, modes.modes + modes.num), expect;
    for (const vz::Mode &m : want) {
      if (std::find(expect.begin(), expect.end(), mode_id(m)) != expect.end()) continue;
      expect.push_back(mode_id(m));
      if (m.format == 7) continue;
      dc1394framerates_t rates;
      ASSERT_EQ(dc1394_video_get_supported_framerates(c, mode_id(m), &rates), DC1394_SUCCESS);
      uint32_t bits = 0;
      for (uint32_t r = 0; r < rates.num; r++) bits |= 1u << (rates.framerates[r] - 32);
      EXPECT_EQ(bits, m.rates) << models[i] << " mode " << mode_id(m);
    }
    EXPECT_EQ(got, expect) << models[i];
  }
  // a monochrome camera offers Mono8 only: 640x480, 1280x960, Format_7
  dc1394video_modes_t mono;
  dc1394_video_get_supported_modes(cams_[1], &mono);
  EXPECT_EQ(std::vector<int>(mono.modes, mono.modes + mono.num),
            (std::vector<int>{DC1394_VIDEO_MODE_640x480_MONO8,
                              DC1394_VIDEO_MODE_1280x960_MONO8,
                              DC1394_VIDEO_MODE_FORMAT7_0}));
}

TEST_F(EmulatedBus, ConfiguredCameraOffersWhatItsImagerHas) {
  configure(R"({"bus_speed": 400, "cameras": [{"name": "Small", "color": true,
               "max_width": 640, "max_height": 480, "format7": false}]})");
  open_all();
  ASSERT_EQ(cams_.size(), 1u);
  EXPECT_STREQ(cams_[0]->model, "Small");
  dc1394video_modes_t modes;
  ASSERT_EQ(dc1394_video_get_supported_modes(cams_[0], &modes), DC1394_SUCCESS);
  EXPECT_EQ(std::vector<int>(modes.modes, modes.modes + modes.num),
            (std::vector<int>{64, 65, 66, 67, 68, 69}));
  dc1394speed_t speed;
  ASSERT_EQ(dc1394_video_get_iso_speed(cams_[0], &speed), DC1394_SUCCESS);
  EXPECT_EQ(speed, DC1394_ISO_SPEED_400);
}

TEST_F(EmulatedBus, FeaturesKeepBoundariesValuesAndAutoModes) {
  open_all();
  auto ref = reference();
  for (size_t i = 0; i < cams_.size(); i++) {
    dc1394camera_t *c = cams_[i];
    dc1394featureset_t fs;
    ASSERT_EQ(dc1394_feature_get_all(c, &fs), DC1394_SUCCESS);
    for (int n = 0; n < vz::iidc::FEATURES; n++) {
      vz::FeatureInfo info;
      bool present = ref[i]->feature_info(n, &info);
      const dc1394feature_info_t &f = fs.feature[n];
      dc1394feature_t id = (dc1394feature_t)(DC1394_FEATURE_MIN + n);
      SCOPED_TRACE(std::string(c->model) + " feature " + std::to_string(n));
      EXPECT_EQ(f.available == DC1394_TRUE, present);
      if (!present) continue;
      EXPECT_EQ(f.min, info.min);
      EXPECT_EQ(f.max, info.max);
      if (info.has_manual) {
        ASSERT_EQ(dc1394_feature_set_mode(c, id, DC1394_FEATURE_MODE_MANUAL), DC1394_SUCCESS);
        for (uint32_t v : {info.min, info.max, (info.min + info.max) / 2}) {
          uint32_t b = 0, r = 0;
          if (n == vz::iidc::WHITE_BALANCE) {
            ASSERT_EQ(dc1394_feature_whitebalance_set_value(c, v, info.max - v + info.min), DC1394_SUCCESS);
            dc1394_feature_whitebalance_get_value(c, &b, &r);
            EXPECT_EQ(r, info.max - v + info.min);
          } else {
            ASSERT_EQ(dc1394_feature_set_value(c, id, v), DC1394_SUCCESS);
            dc1394_feature_get_value(c, id, &b);
          }
          EXPECT_EQ(b, v);
        }
      }
      dc1394feature_mode_t mode;
      dc1394_feature_set_mode(c, id, DC1394_FEATURE_MODE_AUTO);
      ASSERT_EQ(dc1394_feature_get_mode(c, id, &mode), DC1394_SUCCESS);
      EXPECT_EQ(mode == DC1394_FEATURE_MODE_AUTO, info.has_auto);
    }
  }
}

TEST_F(EmulatedBus, RegistersOfRomCommandsAndLocalBlockAreTheDevices) {
  open_all();
  auto ref = reference();
  for (size_t i = 0; i < cams_.size(); i++) {
    dc1394camera_t *c = cams_[i];
    SCOPED_TRACE(c->model);
    uint32_t rom[256];
    ASSERT_EQ(dc1394_get_registers(c, 0x400, rom, 256), DC1394_SUCCESS);   // block read
    EXPECT_EQ(memcmp(rom, ref[i]->rom(), sizeof rom), 0);
    EXPECT_EQ(reg(c, 0x410), ref[i]->rom()[4]);
    // inquiry and the local parameter block, in one block read each
    for (uint32_t base : {0xF0F00400u, 0xF0F00500u, 0xF0FFF000u}) {
      uint32_t got[10], want[10];
      bool mapped = true;
      for (int k = 0; k < 10; k++) mapped &= ref[i]->read_quadlet(base + 4 * k, &want[k]);
      bool read = dc1394_get_registers(c, base - 0xF0000000u, got, 10) == DC1394_SUCCESS;
      ASSERT_EQ(read, mapped) << std::hex << base;
      if (mapped) {
        EXPECT_EQ(memcmp(got, want, sizeof got), 0) << std::hex << base;
      }
    }
    // a block write lands in each register it covers
    uint32_t ctl[2] = {reg(c, DCAM_REGS + 0x800), reg(c, DCAM_REGS + 0x804)};
    ctl[0] = (ctl[0] & ~0xfffu) | (reg(c, DCAM_REGS + 0x500) >> 12 & 0xfff);   // min
    ASSERT_EQ(dc1394_set_registers(c, DCAM_REGS + 0x800, ctl, 2), DC1394_SUCCESS);
    EXPECT_EQ(reg(c, DCAM_REGS + 0x800), ctl[0]);
    EXPECT_EQ(reg(c, DCAM_REGS + 0x804), ctl[1]);
    if (i == 0) {
      uint32_t y = reg(c, 0xFFF010) ^ 0x1;   // vertical offset of the left imager
      ASSERT_EQ(dc1394_set_registers(c, 0xFFF010, &y, 1), DC1394_SUCCESS);
      EXPECT_EQ(reg(c, 0xFFF010), y);
    }
    uint32_t none;
    EXPECT_NE(dc1394_get_registers(c, 0x200, &none, 1), DC1394_SUCCESS) << "unmapped";
  }
}

TEST_F(EmulatedBus, EveryCodingArrivesAsTheInProcessDeviceMakesIt) {
  open_all();
  auto ref = reference();
  dc1394camera_t *color = cams_[0], *bayer = cams_[2];
  ASSERT_EQ(dc1394_video_set_operation_mode(color, DC1394_OPERATION_MODE_1394B), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_iso_speed(color, DC1394_ISO_SPEED_800), DC1394_SUCCESS);
  const dc1394video_mode_t fixed[] = {
      DC1394_VIDEO_MODE_160x120_YUV444, DC1394_VIDEO_MODE_320x240_YUV422,
      DC1394_VIDEO_MODE_640x480_YUV411, DC1394_VIDEO_MODE_640x480_YUV422,
      DC1394_VIDEO_MODE_640x480_RGB8, DC1394_VIDEO_MODE_640x480_MONO8,
      DC1394_VIDEO_MODE_1280x960_YUV422, DC1394_VIDEO_MODE_1280x960_RGB8,
      DC1394_VIDEO_MODE_1280x960_MONO8};
  for (dc1394video_mode_t m : fixed) {
    SCOPED_TRACE(m);
    dc1394framerates_t rates;
    ASSERT_EQ(dc1394_video_set_mode(color, m), DC1394_SUCCESS);
    ASSERT_EQ(dc1394_video_get_supported_framerates(color, m, &rates), DC1394_SUCCESS);
    dc1394framerate_t rate = rates.framerates[0];
    for (uint32_t r = 0; r < rates.num; r++)
      if (rates.framerates[r] <= DC1394_FRAMERATE_15) rate = rates.framerates[r];
    ASSERT_EQ(dc1394_video_set_framerate(color, rate), DC1394_SUCCESS);
    mirror_mode(color, *ref[0]);
    expect_frames_of(color, *ref[0], 3);
  }
  // the raw mosaic of the Bayer camera, reported as such
  ASSERT_EQ(dc1394_video_set_mode(bayer, DC1394_VIDEO_MODE_FORMAT7_0), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_format7_set_roi(bayer, DC1394_VIDEO_MODE_FORMAT7_0,
                                   DC1394_COLOR_CODING_RAW8, DC1394_USE_MAX_AVAIL,
                                   0, 0, 640, 480), DC1394_SUCCESS);
  dc1394color_filter_t filter;
  ASSERT_EQ(dc1394_format7_get_color_filter(bayer, DC1394_VIDEO_MODE_FORMAT7_0, &filter),
            DC1394_SUCCESS);
  EXPECT_EQ(filter, DC1394_COLOR_FILTER_RGGB);
  mirror_mode(bayer, *ref[2]);
  expect_frames_of(bayer, *ref[2], 3);
}

TEST_F(EmulatedBus, TwoCamerasStreamTogetherAndAThirdFindsTheBusFull) {
  configure(R"({"bus_speed": 400, "cameras": [{"color": true}, {"color": true},
               {"color": true}]})");
  open_all();
  ASSERT_EQ(cams_.size(), 3u);
  for (dc1394camera_t *c : cams_) {   // 1932 of 4915 units each at S400
    ASSERT_EQ(dc1394_video_set_mode(c, DC1394_VIDEO_MODE_640x480_RGB8), DC1394_SUCCESS);
    ASSERT_EQ(dc1394_video_set_framerate(c, DC1394_FRAMERATE_15), DC1394_SUCCESS);
  }
  for (int i = 0; i < 2; i++) {
    ASSERT_EQ(dc1394_capture_setup(cams_[i], 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
    ASSERT_EQ(dc1394_video_set_transmission(cams_[i], DC1394_ON), DC1394_SUCCESS);
  }
  uint32_t ch0, ch1;
  dc1394_video_get_iso_channel(cams_[0], &ch0);
  dc1394_video_get_iso_channel(cams_[1], &ch1);
  EXPECT_NE(ch0, ch1);
  EXPECT_EQ(dc1394_capture_setup(cams_[2], 4, DC1394_CAPTURE_FLAGS_DEFAULT),
            DC1394_NO_BANDWIDTH);
  for (int round = 0; round < 3; round++)
    for (int i = 0; i < 2; i++) {
      dc1394video_frame_t *f = nullptr;
      ASSERT_EQ(dc1394_capture_dequeue(cams_[i], DC1394_CAPTURE_POLICY_WAIT, &f), DC1394_SUCCESS);
      ASSERT_NE(f, nullptr);
      dc1394_capture_enqueue(cams_[i], f);
    }
  // stopping one gives its bandwidth and channel back
  dc1394_video_set_transmission(cams_[0], DC1394_OFF);
  ASSERT_EQ(dc1394_capture_stop(cams_[0]), DC1394_SUCCESS);
  EXPECT_EQ(dc1394_capture_setup(cams_[2], 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  dc1394_capture_stop(cams_[2]);
  dc1394_video_set_transmission(cams_[1], DC1394_OFF);
  dc1394_capture_stop(cams_[1]);
  int free_units = 0;
  EMU(virizeda_emu_iso_free)(&free_units, nullptr);
  EXPECT_EQ(free_units, 4915);
}

TEST_F(EmulatedBus, FramesLandOnlyInQueuedBuffersWithTimestampsOfTheBusClock) {
  open_all();
  dc1394camera_t *c = cams_[1];
  ASSERT_EQ(dc1394_video_set_mode(c, DC1394_VIDEO_MODE_640x480_MONO8), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_framerate(c, DC1394_FRAMERATE_60), DC1394_SUCCESS);
  int64_t before = wall_us();
  ASSERT_EQ(dc1394_capture_setup(c, 2, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_transmission(c, DC1394_ON), DC1394_SUCCESS);
  dc1394video_frame_t *f[3] = {};
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f[0]), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f[1]), DC1394_SUCCESS);
  int64_t after = wall_us();
  int64_t t0 = (int64_t)f[0]->timestamp, t1 = (int64_t)f[1]->timestamp;
  int64_t periods = (t1 - t0 + 8333) / 16667;   // 1 unless the bus fell behind
  EXPECT_GE(periods, 1);
  EXPECT_NEAR(t1 - t0, periods * 16667, 250) << "whole frame periods apart";
  // wall-clock times of the stream's own frames, however slow the machine
  EXPECT_GT(t0, before);
  EXPECT_LT(t1, after);
  usleep(200000);   // both buffers held: what comes now finds none
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_POLL, &f[2]), DC1394_SUCCESS);
  EXPECT_EQ(f[2], nullptr);
  unsigned long long sent = 0, received = 0, dropped = 0;
  EMU(virizeda_emu_stats)(1, &sent, &received, &dropped);
  EXPECT_EQ(received, 2u);
  EXPECT_GE(dropped, 5u);
  EXPECT_EQ(sent, received + dropped);
  dc1394_capture_enqueue(c, f[0]);
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f[2]), DC1394_SUCCESS);
  EXPECT_EQ(f[2], f[0]) << "the ring goes on in the slot given back";
  dc1394_capture_stop(c);
}

TEST_F(EmulatedBus, BusResetAndBusyAnswersDuringRegisterAccessAreRetried) {
  open_all();
  dc1394camera_t *c = cams_[0];
  uint32_t node, gen0, gen1;
  dc1394_camera_get_node(c, &node, &gen0);
  uint32_t before = reg(c, DCAM_REGS + 0x608);
  EMU(virizeda_emu_reset_at_request)(0);
  EXPECT_EQ(reg(c, DCAM_REGS + 0x608), before);
  dc1394_camera_get_node(c, &node, &gen1);
  EXPECT_EQ(gen1, gen0 + 1);
  EMU(virizeda_emu_busy_requests)(5);
  EXPECT_EQ(reg(c, DCAM_REGS + 0x608), before);
  EMU(virizeda_emu_busy_requests)(40);   // beyond libdc1394's 20 tries
  uint32_t v;
  EXPECT_NE(dc1394_get_registers(c, DCAM_REGS + 0x608, &v, 1), DC1394_SUCCESS);
  EMU(virizeda_emu_busy_requests)(0);
  EXPECT_EQ(reg(c, DCAM_REGS + 0x608), before);
}

TEST_F(EmulatedBus, CaptureGoesOnThroughABusReset) {
  setenv("VIRIZEDA_EMU_FAULTS", "reset_at_frame=3", 1);
  open_all();
  dc1394camera_t *c = cams_[1];
  stream_at(c, DC1394_FRAMERATE_30);
  int last = -1;
  expect_advancing(c, 8, &last);
  EXPECT_EQ(dc1394_video_set_transmission(c, DC1394_OFF), DC1394_SUCCESS);
  uint32_t node, gen;
  dc1394_camera_get_node(c, &node, &gen);
  EXPECT_EQ(gen, 2u) << "the register access met the reset and went on";
  EXPECT_EQ(dc1394_capture_stop(c), DC1394_SUCCESS);
}

TEST_F(EmulatedBus, UnpluggedCameraHangsUpWithoutHangingTheProgram) {
  open_all();
  dc1394camera_t *c = cams_[2], *other = cams_[0];
  ASSERT_EQ(dc1394_capture_setup(c, 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_transmission(c, DC1394_ON), DC1394_SUCCESS);
  ASSERT_EQ(EMU(virizeda_emu_unplug)(2, 2), 0);
  alarm(60);   // a hang fails loudly rather than stalling the suite
  dc1394video_frame_t *f = nullptr;
  int frames = 0;
  while (dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f) == DC1394_SUCCESS && f) {
    frames++;
    dc1394_capture_enqueue(c, f);
    ASSERT_LT(frames, 10);
  }
  EXPECT_EQ(frames, 2);
  struct pollfd p = {dc1394_capture_get_fileno(c), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  uint32_t v;
  EXPECT_NE(dc1394_get_registers(c, DCAM_REGS + 0x608, &v, 1), DC1394_SUCCESS);
  EXPECT_EQ(dc1394_get_registers(other, DCAM_REGS + 0x608, &v, 1), DC1394_SUCCESS)
      << "the others still answer";
  dc1394_capture_stop(c);
  alarm(0);
  dc1394camera_list_t *now = nullptr;
  ASSERT_EQ(dc1394_camera_enumerate(dc_, &now), DC1394_SUCCESS);
  EXPECT_EQ(now->num, 2u);
  dc1394_camera_free_list(now);
}

TEST_F(EmulatedBus, ConfiguredRefusalsShowAsARealCameraWould) {
  configure(R"({"cameras": [{"name": "Broken", "fail_open": true},
      {"name": "Picky", "refuse_format": "no"},
      {"name": "Stuck", "fail_start": true},
      {"name": "Tired", "frames_stop_after": 2}]})");
  open_all();
  ASSERT_EQ(cams_.size(), 3u) << "a camera that cannot be opened is not listed";
  EXPECT_STREQ(cams_[0]->model, "Picky");
  EXPECT_NE(dc1394_video_set_mode(cams_[0], DC1394_VIDEO_MODE_1280x960_MONO8), DC1394_SUCCESS);
  EXPECT_NE(dc1394_video_set_transmission(cams_[1], DC1394_ON), DC1394_SUCCESS);
  dc1394camera_t *tired = cams_[2];
  ASSERT_EQ(dc1394_video_set_framerate(tired, DC1394_FRAMERATE_60), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_capture_setup(tired, 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_transmission(tired, DC1394_ON), DC1394_SUCCESS);
  // the two frames come however late; a third never does
  struct pollfd p = {dc1394_capture_get_fileno(tired), POLLIN, 0};
  int frames = 0;
  for (int wait_ms : {5000, 5000, 300}) {
    if (poll(&p, 1, wait_ms) != 1) break;
    dc1394video_frame_t *f = nullptr;
    if (dc1394_capture_dequeue(tired, DC1394_CAPTURE_POLICY_POLL, &f) != DC1394_SUCCESS || !f)
      break;
    frames++;
    dc1394_capture_enqueue(tired, f);
  }
  EXPECT_EQ(frames, 2);
  dc1394_capture_stop(tired);
}

TEST_F(EmulatedBus, BadFaultSettingIsReportedAndSetsNone) {
  setenv("VIRIZEDA_EMU_FAULTS", "reset_at_request=0,unplug=x", 1);
  testing::internal::CaptureStderr();
  open_all();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("cannot use \"unplug=x\""), std::string::npos) << err;
  EXPECT_EQ(cams_.size(), 3u);
  uint32_t node, gen;
  dc1394_camera_get_node(cams_[0], &node, &gen);
  EXPECT_EQ(gen, 1u) << "no bus reset was set either";
}

TEST_F(EmulatedBus, FaultForACameraThatIsNotThereIsReportedAndSetsNone) {
  setenv("VIRIZEDA_EMU_FAULTS", "unplug=1@0,unplug=3@0", 1);
  testing::internal::CaptureStderr();
  open_all();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("\"unplug=3@0\": the bus has no camera of that number"),
            std::string::npos) << err;
  ASSERT_EQ(cams_.size(), 3u);
  ASSERT_EQ(dc1394_capture_setup(cams_[1], 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_transmission(cams_[1], DC1394_ON), DC1394_SUCCESS);
  dc1394video_frame_t *f = nullptr;
  ASSERT_EQ(dc1394_capture_dequeue(cams_[1], DC1394_CAPTURE_POLICY_WAIT, &f), DC1394_SUCCESS);
  EXPECT_NE(f, nullptr) << "camera 1 was not unplugged either";
  dc1394_capture_stop(cams_[1]);
}

// ffmpeg's libdc1394 input on the bus: its frames carry advancing bar codes.
TEST_F(EmulatedBus, FfmpegCapturesAdvancingFrames) {
  std::string out = dir_.file("frames.uyvy");
  const char *argv[] = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                        "-f", "libdc1394", "-video_size", "640x480", "-pixel_format",
                        "uyvy422", "-framerate", "15", "-i", "any", "-frames:v", "6",
                        "-f", "rawvideo", "-y", out.c_str(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, (char **)argv, environ), 0)
      << "ffmpeg is missing: scripts/setup installs it";
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string data = read_file(out);
  const size_t frame = 640 * 480 * 2;
  ASSERT_EQ(data.size(), 6 * frame);
  int last = -1;
  for (size_t i = 0; i < 6; i++) {
    unsigned char luma[640];
    for (int x = 0; x < 640; x++) luma[x] = (unsigned char)data[i * frame + 2 * x + 1];
    int seq = vz_barcode_read(luma, 640, 1);
    EXPECT_GT(seq, last) << "frame " << i;
    last = seq;
  }
}

// A new process on the same state directory; passes when it finds the
// camera with the GUID the parent named.
TEST_F(EmulatedBus, IdentityChild) {
  const char *want = getenv("EMU_TEST_WANT_GUID");
  if (!want) GTEST_SKIP() << "started by ProgrammedRomIsSeenAfterABusResetAndInANewProcess";
  setenv("VIRIZEDA_SIM_STATE", getenv("EMU_TEST_STATE"), 1);
  open_all();
  bool seen = false;
  for (dc1394camera_t *c : cams_) seen |= c->guid == strtoull(want, nullptr, 16);
  EXPECT_TRUE(seen);
}

TEST_F(EmulatedBus, ProgrammedRomIsSeenAfterABusResetAndInANewProcess) {
  setenv("VIRIZEDA_SIM_STATE", dir_.path().c_str(), 1);
  open_all();
  dc1394camera_t *c = cams_[1];   // Sim Mono, not programmed
  uint64_t old_guid = c->guid;
  uint32_t rom[256];
  ASSERT_EQ(dc1394_get_registers(c, 0x400, rom, 256), DC1394_SUCCESS);
  rom[4] = 0x00080012;            // device type 8, serial 0x12
  rom[12] = rom[4];               // and the unique ID leaf
  rom[0] = (rom[0] & 0xffff0000u) | vz::iidc::crc16(rom + 1, 4);
  rom[10] = (rom[10] & 0xffff0000u) | vz::iidc::crc16(rom + 11, 2);
  for (int q : {4, 12, 0, 10})
    ASSERT_EQ(dc1394_set_registers(c, 0x400 + 4 * q, &rom[q], 1), DC1394_SUCCESS);
  uint64_t new_guid = (old_guid & 0xffffffff00000000ull) | rom[4];
  dc1394camera_list_t *l = nullptr;
  ASSERT_EQ(dc1394_camera_enumerate(dc_, &l), DC1394_SUCCESS);
  EXPECT_EQ(l->ids[1].guid, old_guid) << "the kernel's copy until a bus reset";
  dc1394_camera_free_list(l);
  EMU(virizeda_emu_bus_reset)();
  ASSERT_EQ(dc1394_camera_enumerate(dc_, &l), DC1394_SUCCESS);
  EXPECT_EQ(l->ids[1].guid, new_guid);
  dc1394_camera_free_list(l);

  char guid[32];
  snprintf(guid, sizeof guid, "%llx", (unsigned long long)new_guid);
  setenv("EMU_TEST_WANT_GUID", guid, 1);
  setenv("EMU_TEST_STATE", dir_.path().c_str(), 1);
  char filter[] = "--gtest_filter=EmulatedBus.IdentityChild";
  char self[] = "/proc/self/exe";
  char *argv[] = {self, filter, nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ), 0);
  unsetenv("EMU_TEST_WANT_GUID");
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the new process saw it";
}

TEST_F(EmulatedBus, OneShotSendsOneFrame) {
  open_all();
  dc1394camera_t *c = cams_[1];
  ASSERT_EQ(dc1394_video_set_framerate(c, DC1394_FRAMERATE_60), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_capture_setup(c, 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_one_shot(c, DC1394_ON), DC1394_SUCCESS);
  dc1394video_frame_t *f = nullptr;
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f), DC1394_SUCCESS);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(vz_barcode_read(f->image, 640, 1), 0);
  dc1394_capture_enqueue(c, f);
  usleep(150000);
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_POLL, &f), DC1394_SUCCESS);
  EXPECT_EQ(f, nullptr) << "one frame only";
  dc1394bool_t pending = DC1394_TRUE;
  dc1394_video_get_one_shot(c, &pending);
  EXPECT_EQ(pending, DC1394_FALSE);
  dc1394_capture_stop(c);
}

// A child that hangs says where before it ends.
static void say_where_and_end(int) {
  void *at[64];
  int n = backtrace(at, 64);
  backtrace_symbols_fd(at, n, 2);
  _exit(2);
}

TEST_F(EmulatedBus, ForkedChildUsesTheBusAndExitsWhileTheParentStreams) {
  open_all();
  dc1394camera_t *c = cams_[0];
  ASSERT_EQ(dc1394_video_set_mode(c, DC1394_VIDEO_MODE_640x480_YUV422), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_capture_setup(c, 4, DC1394_CAPTURE_FLAGS_DEFAULT), DC1394_SUCCESS);
  ASSERT_EQ(dc1394_video_set_transmission(c, DC1394_ON), DC1394_SUCCESS);
  dc1394video_frame_t *f = nullptr;
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f), DC1394_SUCCESS);
  dc1394_capture_enqueue(c, f);
  // frames made back to back keep the bus busy while the program forks
  auto send = EMU(virizeda_emu_send_frame);
  auto nodes = EMU(virizeda_emu_nodes);
  std::atomic<bool> busy{true};
  std::atomic<int> sent{0};
  std::thread sender([&] {
    while (busy) send(0), sent++;
  });
  // The sanitizers' runtime takes no locks around a fork: a thread still
  // starting (or looking up a symbol) may leave one held in the child. The
  // pacing thread has made a frame, and the sender runs, before any fork.
  while (sent < 2) usleep(1000);
  void *warm[1];
  backtrace(warm, 1);   // loads the unwinder before any fork
  int stuck = 0;
  for (int i = 0; i < 10; i++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    // the child starts a stream of its own while the parent's thread waits
    if (pid == 0) {
      signal(SIGALRM, say_where_and_end);
      alarm(15);
      uint32_t on = 1u << 31;
      bool ok = nodes() == 3 &&
                dc1394_set_registers(cams_[1], DCAM_REGS + 0x614, &on, 1) == DC1394_SUCCESS;
      exit(ok ? 0 : 1);   // runs atexit
    }
    // a hang never ends; a child's exit under the sanitizers' leak scan
    // may take seconds on a busy machine
    int status = -1;
    for (int t = 0; t < 2000 && waitpid(pid, &status, WNOHANG) == 0; t++) usleep(10000);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      if (!WIFEXITED(status)) kill(pid, SIGKILL), waitpid(pid, &status, 0);
      stuck++;
      break;
    }
  }
  busy = false;
  sender.join();
  EXPECT_EQ(stuck, 0) << "children that hung or failed on the bus";
  ASSERT_EQ(dc1394_capture_dequeue(c, DC1394_CAPTURE_POLICY_WAIT, &f), DC1394_SUCCESS);
  EXPECT_NE(f, nullptr) << "the parent's frames go on";
}

// A child that streams a camera of its own never feeds the descriptors it
// inherited: the parent's frames come once each, in order.
TEST_F(EmulatedBus, ForkedChildStreamingLeavesTheParentsFramesAlone) {
  open_all();
  dc1394camera_t *c = cams_[1];
  stream_at(c, DC1394_FRAMERATE_30);
  int last = -1;
  expect_advancing(c, 1, &last);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    uint32_t on = 1u << 31;
    bool ok = dc1394_set_registers(cams_[0], DCAM_REGS + 0x614, &on, 1) == DC1394_SUCCESS;
    usleep(400000);
    _exit(ok ? 0 : 1);
  }
  expect_advancing(c, 15, &last);
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  dc1394_capture_stop(c);
}
