// A device that is not ours: a plain IIDC camera that tells nothing beyond
// its registers, cannot skip frames, hands frames that do not outlive the
// next one, refuses and goes away. Its frames are the sequence numbers a
// test queues, while it is started.
#ifndef TESTS_PLAIN_DEVICE_H
#define TESTS_PLAIN_DEVICE_H

#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "core/convert.h"
#include "core/device.h"
#include "iidc/iidc.h"
#include "iidc/maker_block.h"
#include "iidc/rom.h"

class PlainDevice : public vz::Device {
 public:
  std::map<uint32_t, uint32_t> regs;
  std::vector<vz::Mode> offered;
  std::vector<uint64_t> seqs;  // frames the stream hands out, in order
  size_t next = 0;
  bool gone = false, refuse_mode = false, streaming = false;
  std::vector<unsigned char> memory;
  vz::FeatureState shutter;
  vz::Mode mode_set;
  int rate_set = -1;
  size_t short_by = 0;  // bytes each frame lacks

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
    mode_set.width = 160, mode_set.height = 120;
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
    if (!offers(m, rate)) {
      *why = "not offered";
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
  bool start(std::string *) override {
    streaming = true;
    return true;
  }
  void stop() override { streaming = false; }
  vz::Next next_frame(int, vz::Frame *f) override {
    if (gone) return vz::Next::GONE;
    if (!streaming || next >= seqs.size()) return vz::Next::TIMEOUT;
    using namespace vz;  // coding_bytes
    uint64_t s = seqs[next++];
    memory.assign(coding_bytes(mode_set.coding, (size_t)mode_set.width * mode_set.height) -
                      short_by,
                  (unsigned char)(s & 0xff));
    f->data = memory.data();
    f->bytes = (uint32_t)memory.size();
    f->seq = s;
    f->usec = 1000 * (int64_t)s;
    f->dropped = next > 1 ? (uint32_t)(s - seqs[next - 2] - 1) : (uint32_t)s;
    return vz::Next::FRAME;
  }

 private:
  // A mode as offered: a fixed one whole, Format_7 in whole units up to its
  // size; and one of its rates.
  bool offers(const vz::Mode &m, int rate) const {
    for (const vz::Mode &o : offered) {
      if (o.format != m.format || o.mode != m.mode || o.coding != m.coding) continue;
      if (rate < 0 || rate > 31 || !(o.rates & 1u << rate)) return false;
      if (o.format != 7) return m.width == o.width && m.height == o.height;
      return m.width > 0 && m.height > 0 && m.width <= o.width &&
             m.height <= o.height && m.width % o.unit_w == 0 &&
             m.height % o.unit_h == 0;
    }
    return false;
  }
};

#endif
