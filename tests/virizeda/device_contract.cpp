// What every vz::Device must do, whoever made it: one suite over a factory
// per device. A new device adds its factory and one name in Devices.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/convert.h"
#include "core/device.h"
#ifdef VIRIZEDA_HAVE_ARAVIS
#include "devices/aravis/aravis_device.h"
#endif
#include "devices/dc1394/dc1394_device.h"
#include "devices/dc1394/dc1394_probe.h"
#include "devices/sim/sim_device.h"
#include "iidc/iidc.h"
#include "plain_device.h"
#include "test_support.h"

using namespace vz;

namespace {

double rate_hz(int rate) { return 1.875 * (1 << rate); }

// Devices that stream on their own: frames pass while the test waits.
void wait_periods(int n, double fps) {
  std::this_thread::sleep_for(std::chrono::microseconds((int64_t)(n * 1e6 / fps)));
}

}  // namespace

// Factories by plain names, as the tests are listed. The test's own device, whose frames are what the test queues.
struct PlainFactory {
  static const char *missing() { return nullptr; }
  std::unique_ptr<Device> make() { return std::make_unique<PlainDevice>(); }
  // n frames pass unread: the next two queued lie that far beyond the last
  // one taken.
  void let_frames_pass(Device *d, int n, double) {
    PlainDevice *p = static_cast<PlainDevice *>(d);
    p->seqs.resize(p->next);
    uint64_t last = p->seqs.empty() ? (uint64_t)-1 : p->seqs.back();
    p->seqs.push_back(last + n);
    p->seqs.push_back(last + n + 1);
  }
};

// The simulated bus's first camera, in the library's own process.
struct SimFactory {
  ScopedEnv config{"VIRIZEDA_SIM_CONFIG", nullptr}, state{"VIRIZEDA_SIM_STATE", nullptr};
  static const char *missing() { return nullptr; }
  std::unique_ptr<Device> make() {
    BusConfig conf;
    std::vector<std::unique_ptr<SimDevice>> devs;
    std::string why;
    if (!sim_bus_devices(&conf, &devs, &why) || devs.empty()) return nullptr;
    return std::move(devs[0]);
  }
  void let_frames_pass(Device *, int n, double fps) { wait_periods(n, fps); }
};

// libdc1394's first camera on the emulated FireWire bus.
struct Dc1394Factory {
  ScopedEnv config{"VIRIZEDA_SIM_CONFIG", nullptr}, state{"VIRIZEDA_SIM_STATE", nullptr};
  static const char *missing() {
    return dlsym(RTLD_DEFAULT, "virizeda_emu_nodes") ? nullptr : "not on the emulated bus";
  }
  std::unique_ptr<Device> make() {
    BusProbe p;
    probe_bus(&p, "/dev");
    auto cams = open_cameras(&p, "/dev");
    if (cams.empty()) return nullptr;
    return std::move(cams[0]);
  }
  void let_frames_pass(Device *, int n, double fps) { wait_periods(n, fps); }
};

#ifdef VIRIZEDA_HAVE_ARAVIS
// aravis's in-process simulated camera, opened by its id: nothing is sent.
struct AravisFactory {
  static const char *missing() { return nullptr; }
  std::unique_ptr<Device> make() {
    std::string why;
    return AravisDevice::open("Fake_1", arv_fake_interface_get_instance(), &why);
  }
  void let_frames_pass(Device *, int n, double fps) { wait_periods(n, fps); }
};
using Devices = ::testing::Types<PlainFactory, SimFactory, Dc1394Factory, AravisFactory>;
#else
using Devices = ::testing::Types<PlainFactory, SimFactory, Dc1394Factory>;
#endif

namespace {

size_t mode_bytes(const Mode &m) { return coding_bytes(m.coding, (size_t)m.width * m.height); }

std::string describe(const Mode &m) {
  return "Format_" + std::to_string(m.format) + " Mode_" + std::to_string(m.mode) + " " +
         std::to_string(m.width) + "x" + std::to_string(m.height);
}

int lowest_rate(uint32_t rates) { return rates ? __builtin_ctz(rates) : -1; }

// The fastest rate up to 30 fps, or the slowest: frames come soon and
// without flooding a loaded machine.
int calm_rate(uint32_t rates) {
  for (int r = iidc::RATE_30; r >= 0; r--)
    if (rates & 1u << r) return r;
  return lowest_rate(rates);
}

template <class F>
class DeviceContract : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char *why = F::missing()) GTEST_SKIP() << why;
    dev = factory.make();
    ASSERT_TRUE(dev) << "the factory made no device";
  }
  void TearDown() override {
    if (dev) dev->stop();
  }

  // The first fixed mode (or the first of all) at a calm rate.
  Mode set_calm_mode() {
    std::vector<Mode> ms = dev->modes();
    Mode m = ms.empty() ? Mode() : ms[0];
    for (const Mode &x : ms)
      if (x.format != 7) {
        m = x;
        break;
      }
    rate = calm_rate(m.rates);
    std::string why;
    EXPECT_TRUE(dev->set_mode(m, rate, &why)) << describe(m) << ": " << why;
    return m;
  }
  // Waits for frames as limits only: a loaded machine is slow, not wrong.
  Next take(Frame *f, int n = 1) {
    factory.let_frames_pass(dev.get(), n, rate_hz(rate));
    return dev->next_frame(2000, f);
  }
  bool start() {
    std::string why;
    bool ok = dev->start(&why);
    EXPECT_TRUE(ok) << why;
    return ok;
  }

  F factory;
  std::unique_ptr<Device> dev;
  int rate = iidc::RATE_15;
};

TYPED_TEST_SUITE(DeviceContract, Devices);

TYPED_TEST(DeviceContract, ModesAreWholeAndEachCanBeSet) {
  Device &d = *this->dev;
  std::vector<Mode> ms = d.modes();
  ASSERT_FALSE(ms.empty());
  for (const Mode &m : ms) {
    SCOPED_TRACE(describe(m));
    EXPECT_GT(m.width, 0);
    EXPECT_GT(m.height, 0);
    ASSERT_NE(m.rates, 0u) << "a mode without a rate";
    if (m.format == 7) {
      ASSERT_GT(m.unit_w, 0);
      ASSERT_GT(m.unit_h, 0);
      EXPECT_EQ(m.width % m.unit_w, 0);
      EXPECT_EQ(m.height % m.unit_h, 0);
    }
    std::string why;
    EXPECT_TRUE(d.set_mode(m, lowest_rate(m.rates), &why)) << why;
    // Format_7 offers the rates of one unit; its whole size may need a slower one
    this->rate = calm_rate(m.rates);
    while (m.format == 7 && this->rate > lowest_rate(m.rates) && !d.set_mode(m, this->rate, &why))
      this->rate = calm_rate(m.rates & ((1u << this->rate) - 1));
    ASSERT_TRUE(d.set_mode(m, this->rate, &why)) << why;
    ASSERT_TRUE(this->start());
    Frame f;
    ASSERT_EQ(this->take(&f), Next::FRAME);
    EXPECT_EQ(f.bytes, mode_bytes(m)) << "a frame of the mode's size and coding";
    d.stop();
  }
}

TYPED_TEST(DeviceContract, ARefusedModeKeepsTheLastOne) {
  Device &d = *this->dev;
  Mode good = this->set_calm_mode();
  Mode bad;
  int bad_rate = -1;
  for (const Mode &m : d.modes())
    if (m.format == 7 && m.unit_w > 1) {  // a size off its unit
      bad = m, bad.width = m.width - 1, bad_rate = calm_rate(m.rates);
      break;
    }
  for (int r = 0; bad_rate < 0 && r <= iidc::RATE_240; r++)
    if (!(good.rates & 1u << r)) bad = good, bad_rate = r;  // a rate not offered
  for (const Mode &m : d.modes())
    if (bad_rate < 0 && m.format == 7) {  // wider than the imager
      bad = m, bad.width = m.width + std::max(m.unit_w, 1), bad_rate = calm_rate(m.rates);
    }
  ASSERT_GE(bad_rate, 0) << "every rate offered and no Format_7";
  std::string why;
  EXPECT_FALSE(d.set_mode(bad, bad_rate, &why)) << describe(bad) << " at rate " << bad_rate;
  EXPECT_FALSE(why.empty()) << "a refusal says why";
  ASSERT_TRUE(this->start());
  Frame f;
  ASSERT_EQ(this->take(&f), Next::FRAME);
  EXPECT_EQ(f.bytes, mode_bytes(good)) << "frames of " << describe(good);
}

TYPED_TEST(DeviceContract, FeaturesRoundTripWithinTheirRanges) {
  Device &d = *this->dev;
  int manual = 0;
  for (int n = 0; n < iidc::FEATURES; n++) {
    SCOPED_TRACE("feature " + std::to_string(n));
    FeatureInfo in;
    if (!d.feature_info(n, &in) || !in.present) continue;
    EXPECT_LE(in.min, in.max);
    bool two = n == iidc::WHITE_BALANCE;
    FeatureState now;
    if (d.get_feature(n, &now) && !now.automatic) {
      EXPECT_TRUE(now.value >= in.min && now.value <= in.max) << now.value;
      if (two) {
        EXPECT_TRUE(now.value2 >= in.min && now.value2 <= in.max) << now.value2;
      }
    }
    if (!in.has_manual) continue;
    manual++;
    for (int k = 0; k < 2; k++) {  // each end; white balance's two values apart
      FeatureState s;
      s.value = k ? in.max : in.min;
      s.value2 = k ? in.min : in.max;
      ASSERT_TRUE(d.set_feature(n, s)) << s.value;
      FeatureState back;
      ASSERT_TRUE(d.get_feature(n, &back));
      EXPECT_EQ(back.value, s.value);
      if (two) {
        EXPECT_EQ(back.value2, s.value2);
      }
    }
  }
  EXPECT_GT(manual, 0) << "no feature to set";
}

TYPED_TEST(DeviceContract, StartAndStop) {
  Device &d = *this->dev;
  this->set_calm_mode();
  Frame f;
  EXPECT_NE(d.next_frame(0, &f), Next::FRAME) << "no frame before start";
  for (int round = 0; round < 2; round++) {  // and again after a stop
    ASSERT_TRUE(this->start());
    EXPECT_EQ(this->take(&f), Next::FRAME);
    d.stop();
    EXPECT_NE(d.next_frame(200, &f), Next::FRAME) << "a frame after stop";
  }
}

TYPED_TEST(DeviceContract, NewestFrameAndDroppedCount) {
  this->set_calm_mode();
  ASSERT_TRUE(this->start());
  Frame a, b, c;
  ASSERT_EQ(this->take(&a), Next::FRAME);
  const int n = 3;
  ASSERT_EQ(this->take(&b, n), Next::FRAME);
  // (a device pacing itself on a busy machine may have sent fewer than n)
  EXPECT_GE(b.seq, a.seq + 2) << "the newest frame, not the next one";
  EXPECT_EQ(b.dropped, b.seq - a.seq - 1) << "the frames between are counted";
  ASSERT_EQ(this->take(&c), Next::FRAME);
  EXPECT_GT(c.seq, b.seq);
  EXPECT_EQ(c.dropped, c.seq - b.seq - 1);
}

TYPED_TEST(DeviceContract, FramesStayWhenTheDeviceSaysSo) {
  Device &d = *this->dev;
  if (!d.frames_stay()) GTEST_SKIP() << "its frames do not outlive the next call";
  this->set_calm_mode();
  ASSERT_TRUE(this->start());
  Frame f;
  ASSERT_EQ(this->take(&f), Next::FRAME);
  std::vector<unsigned char> copy(f.data, f.data + f.bytes);
  this->factory.let_frames_pass(&d, 2, rate_hz(this->rate));
  d.stop();
  EXPECT_EQ(memcmp(copy.data(), f.data, f.bytes), 0) << "the last frame changed after stop";
}

}  // namespace
