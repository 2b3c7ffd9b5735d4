#include "devices/sim/sim_device.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "core/clock.h"
#include "core/convert.h"
#include "core/diag.h"
#include "core/formats.h"
#include "devices/sim/sim_state.h"
#include "iidc/rom.h"

namespace vz {

namespace {

struct FixedMode {
  int format, mode, w, h;
  iidc::Coding coding;
  int qpp[8];  // image quadlets per packet by rate code; -1: not offered
};
// The IIDC modes of Format_0 and Format_2 that our imagers can fill.
const FixedMode fixed_modes[] = {
    {0, 0, 160, 120, iidc::Coding::YUV444, {-1, -1, 15, 30, 60, 120, 240, 480}},
    {0, 1, 320, 240, iidc::Coding::YUV422, {10, 20, 40, 80, 160, 320, 640, 1280}},
    {0, 2, 640, 480, iidc::Coding::YUV411, {30, 60, 120, 240, 480, 960, 1920, 3840}},
    {0, 3, 640, 480, iidc::Coding::YUV422, {40, 80, 160, 320, 640, 1280, 2560, 5120}},
    {0, 4, 640, 480, iidc::Coding::RGB8, {60, 120, 240, 480, 960, 1920, 3840, 7680}},
    {0, 5, 640, 480, iidc::Coding::MONO8, {20, 40, 80, 160, 320, 640, 1280, 2560}},
    {2, 0, 1280, 960, iidc::Coding::YUV422, {160, 320, 640, 1280, 2560, 5120, -1, -1}},
    {2, 1, 1280, 960, iidc::Coding::RGB8, {240, 480, 960, 1920, 3840, 7680, -1, -1}},
    {2, 2, 1280, 960, iidc::Coding::MONO8, {80, 160, 320, 640, 1280, 2560, 5120, -1}},
};

const FixedMode *find_fixed(int format, int mode) {
  for (const FixedMode &m : fixed_modes)
    if (m.format == format && m.mode == mode) return &m;
  return nullptr;
}

struct Range {
  int lo, hi;
};
// raw register ranges behind the programs' 0-100 scale
const Range ranges[iidc::FEATURES] = {{0, 255}, {0, 255}, {0, 255},
                                  {0, 255}, {0, 0},   {0, 255},
                                  {0, 1},   {1, 1000}, {0, 255}};

}  // namespace

// ---------------------------------------------------------------- life

SimDevice::SimDevice(const CamConfig &conf, int num, int bus_speed)
    : conf_(conf), num_(num), bus_speed_(bus_speed) {
  const CamValues &v = conf_.v;
  iidc::rom_build(rom_, vz_camera_guid(conf_, num), bus_speed, conf_.name);
  memset(lp_saved_, 0, sizeof lp_saved_);
  lp_saved_[iidc::LP_IDENT] = ((uint32_t)v.devID & 0xffff) |
                        (v.isReversed ? iidc::LP_IDENT_INVERT : 0);
  lp_saved_[iidc::LP_YOFFSET] =
      (uint32_t)v.y_offset | ((uint32_t)v.y_offset_right << 16);
  lp_saved_[iidc::LP_BLACK] =
      (uint32_t)v.black_offset | ((uint32_t)v.black_offset_right << 16);
  lp_saved_[iidc::LP_PROC] = (uint32_t)v.procMode;
  lp_saved_[iidc::LP_RATE] = v.is_50Hz_rate ? iidc::LP_RATE_50 : iidc::LP_RATE_60;
  has_calib_ = conf_.has_calib;
  calib_ = conf_.calib;
  iso_channel_ = num & 0xf;
  iso_speed_ = bus_speed >= 800 ? 3 : 2;
  iso_b_mode_ = bus_speed >= 800;   // S800 needs the 1394b layout of ISO_DATA
  load_state();
  power_on();
}

SimDevice::~SimDevice() {}

// Flash contents that an earlier process left in the state directory.
void SimDevice::load_state() {
  if (vz_state_dir().empty()) return;
  std::string path = vz_state_file(num_, conf_.chip_id, "rom");
  std::string data = iidc::quadlets_to_bytes(rom_, iidc::ROM_QUADS);
  if (vz_state_load(path, &data)) {
    if (data.size() == 4 * iidc::ROM_QUADS) {
      iidc::quadlets_from_bytes(data, rom_, iidc::ROM_QUADS);
    } else {
      vz_diag("state file %s holds %zu bytes, not %d; factory ROM used",
              path.c_str(), data.size(), 4 * iidc::ROM_QUADS);
    }
  }
  path = vz_state_file(num_, conf_.chip_id, "local");
  data = iidc::quadlets_to_bytes(lp_saved_, iidc::LOCAL_WORDS);
  if (conf_.local_params_version && vz_state_load(path, &data)) {
    if (data.size() == 4 * iidc::LOCAL_WORDS) {
      uint32_t w[iidc::LOCAL_WORDS];
      iidc::quadlets_from_bytes(data, w, iidc::LOCAL_WORDS);
      for (int i : {iidc::LP_IDENT, iidc::LP_YOFFSET, iidc::LP_BLACK, iidc::LP_PROC, iidc::LP_RATE})
        lp_saved_[i] = w[i];
    } else {
      vz_diag("state file %s holds %zu bytes, not %d; defaults used",
              path.c_str(), data.size(), 4 * iidc::LOCAL_WORDS);
    }
  }
  path = vz_state_file(num_, conf_.chip_id, "calib");
  if (vz_state_load(path, &data)) {
    has_calib_ = !data.empty();
    calib_ = data;
  }
}

bool SimDevice::persist(const char *kind, const std::string &data,
                        const std::vector<int> *written) {
  if (vz_state_dir().empty()) return true;
  return vz_state_save(vz_state_file(num_, conf_.chip_id, kind), data, written);
}

void SimDevice::power_on() {
  const CamValues &v = conf_.v;
  memcpy(lp_, lp_saved_, sizeof lp_);
  lp_written_ = 0;
  memset(imager_, 0, sizeof imager_);
  imager_[0] = (uint16_t)(0x1300 | (v.camImager & 0xff));
  stream_ = Stream();
  decimation_ = 1;
  one_shot_ = false;
  ae_target_ = 110;
  flash_result_ = iidc::FLASH_OK;
  calib_staging_.clear();
  calib_page_ = 0;
  for (Feat &f : feat_) f = Feat();
  set_scale(iidc::BRIGHTNESS, v.brightness);
  feat_[iidc::BRIGHTNESS].automatic = v.auto_brightness;
  set_scale(iidc::SHARPNESS, v.sharpness);
  set_scale(iidc::WHITE_BALANCE, v.bluegain);
  set_scale(iidc::WHITE_BALANCE, v.redgain, true);
  feat_[iidc::WHITE_BALANCE].automatic = v.auto_whitebalance;
  set_scale(iidc::SATURATION, v.saturation);
  feat_[iidc::GAMMA].on = v.gamma;
  feat_[iidc::GAMMA].value = v.gamma ? 1 : 0;
  set_scale(iidc::SHUTTER, v.exposure);
  feat_[iidc::SHUTTER].automatic = v.do_auto_exposure;
  set_scale(iidc::GAIN, v.gain);
  feat_[iidc::GAIN].automatic = v.do_auto_gain;
  feat_[iidc::AUTO_EXPOSURE].value = (uint32_t)ae_target_;
  // 640x480 Mono8 where the imager is that large, else Format_7
  rate_ = iidc::RATE_15;
  format_ = 0, mode_ = 5;
  f7_w_ = v.max_width / F7_UNIT * F7_UNIT;
  f7_h_ = v.max_height / F7_UNIT * F7_UNIT;
  f7_coding_ = iidc::Coding::MONO8;
  f7_x_ = f7_y_ = 0;
  if (!mode_offered(0, 5) && conf_.format7) {
    format_ = 7, mode_ = 0;
    int w = 320, h = 240;
    if (v.max_width < 320 || v.max_height < 240) w = 160, h = 120;
    f7_w_ = w, f7_h_ = h;
  }
  f7_packet_ = f7_recommended();
  f7_by_packet_ = false;
}

// ---------------------------------------------------------------- identity

uint64_t SimDevice::guid() const {
  return (uint64_t)rom_[iidc::ROM_CHIP_HI] << 32 | rom_[iidc::ROM_CHIP_LO];
}

std::string SimDevice::vendor() const { return "virizeda"; }
std::string SimDevice::model() const { return conf_.name; }

bool SimDevice::extras(Extras *out) {
  const CamValues &v = conf_.v;
  Extras e;
  e.stereo = v.isStereo, e.bayer = v.isBayer, e.bggr = v.isBGGR;
  e.imager = v.camImager, e.fw_firmware = v.fwFirmware;
  e.cam_firmware = v.camFirmware, e.proc_firmware = v.procFirmware;
  e.color_alg = v.colorAlg;
  e.has_proc_mode = v.has_proc_mode, e.has_chip_balance = v.has_chip_balance;
  e.has_frame_div = v.has_frame_div, e.max_frame_div = v.max_frame_div;
  e.has_50Hz_rate = v.has_50Hz_rate;
  e.has_y_offset = v.has_y_offset, e.max_y_offset = v.max_y_offset;
  e.has_black_offset = v.has_black_offset;
  e.max_black_offset = v.max_black_offset;
  e.max_brightness = v.max_brightness, e.max_exposure = v.max_exposure;
  e.max_gain = v.max_gain, e.max_sharpness = v.max_sharpness;
  e.max_saturation = v.max_saturation, e.max_white_gain = v.max_white_gain;
  e.auto_kp = v.auto_kp, e.auto_hyst = v.auto_hyst, e.auto_bias = v.auto_bias;
  *out = e;
  return true;
}

// ---------------------------------------------------------------- modes

uint32_t SimDevice::coding_mask() const {
  uint32_t m = coding_bit(iidc::Coding::MONO8);
  if (conf_.v.has_color) m |= coding_bit(iidc::Coding::RAW8);
  if (conf_.v.has_color && conf_.rgb8) m |= coding_bit(iidc::Coding::RGB8);
  return m;
}

bool SimDevice::mode_offered(int format, int mode) const {
  if (format == 7) return mode == 0 && conf_.format7;
  const FixedMode *m = find_fixed(format, mode);
  return m && m->w <= conf_.v.max_width && m->h <= conf_.v.max_height &&
         (m->coding == iidc::Coding::MONO8 || conf_.v.has_color) &&
         (m->coding != iidc::Coding::RGB8 || conf_.rgb8);
}

uint32_t SimDevice::mode_inq(int format) const {
  uint32_t bits = 0;
  for (int m = 0; m < 8; ++m)
    if (mode_offered(format, m)) bits |= 1u << (31 - m);
  return bits;
}

bool SimDevice::fixed_mode(int format, int mode, Mode *out) const {
  const FixedMode *f = find_fixed(format, mode);
  if (!f) return false;
  Mode m;
  m.format = format, m.mode = mode, m.width = f->w, m.height = f->h;
  m.coding = f->coding;
  // only the rates whose packets the camera's own link speed carries
  for (int r = RATE_MIN; r <= RATE_MAX; ++r)
    if (f->qpp[r] > 0 && vz_iso_fits(4u * (uint32_t)f->qpp[r], bus_speed_))
      m.rates |= 1u << r;
  *out = m;
  return true;
}

std::vector<Mode> SimDevice::modes() {
  std::vector<Mode> out;
  for (const FixedMode &f : fixed_modes) {
    Mode m;
    if (mode_offered(f.format, f.mode) && fixed_mode(f.format, f.mode, &m))
      out.push_back(m);
  }
  if (!mode_offered(7, 0)) return out;
  for (int id = 0; id < 32; ++id) {
    if (!(coding_mask() & (1u << (31 - id)))) continue;
    Mode m;
    m.format = 7, m.mode = 0;
    m.width = conf_.v.max_width / F7_UNIT * F7_UNIT;
    m.height = conf_.v.max_height / F7_UNIT * F7_UNIT;
    m.coding = (iidc::Coding)id;
    if (m.coding == iidc::Coding::RAW8)
      m.filter = conf_.v.isBGGR ? iidc::Filter::BGGR : iidc::Filter::RGGB;
    for (int r = RATE_MIN; r <= RATE_MAX; ++r) m.rates |= 1u << r;
    m.unit_w = m.unit_h = F7_UNIT;
    out.push_back(m);
  }
  return out;
}

Mode SimDevice::current_mode() const {
  Mode m;
  if (format_ != 7) {
    fixed_mode(format_, mode_, &m);
    return m;
  }
  m.format = 7, m.mode = 0, m.width = f7_w_, m.height = f7_h_;
  m.coding = f7_coding_;
  if (f7_coding_ == iidc::Coding::RAW8)
    m.filter = conf_.v.isBGGR ? iidc::Filter::BGGR : iidc::Filter::RGGB;
  m.unit_w = m.unit_h = F7_UNIT;
  for (int r = RATE_MIN; r <= RATE_MAX; ++r) m.rates |= 1u << r;
  return m;
}

bool SimDevice::set_mode(const Mode &m, int rate, std::string *why) {
  std::string unused;
  if (!why) why = &unused;
  if (faults().refuses_mode(why)) return false;
  if (!mode_offered(m.format, m.mode)) {
    *why = "Format_" + std::to_string(m.format) + " Mode_" +
           std::to_string(m.mode) + " is not offered";
    return false;
  }
  if (rate < RATE_MIN || rate > RATE_MAX) {
    *why = "frame rate code " + std::to_string(rate) + " is not offered";
    return false;
  }
  if (m.format == 7) {
    int maxw = conf_.v.max_width / F7_UNIT * F7_UNIT;
    int maxh = conf_.v.max_height / F7_UNIT * F7_UNIT;
    if (!(coding_mask() & coding_bit(m.coding)) || m.width <= 0 ||
        m.height <= 0 || m.width > maxw || m.height > maxh ||
        m.width % F7_UNIT || m.height % F7_UNIT) {
      *why = "Format_7 does not take " + std::to_string(m.width) + "x" +
             std::to_string(m.height) + " in this coding";
      return false;
    }
    // the library's formats are the whole picture at their size
    f7_w_ = m.width, f7_h_ = m.height, f7_coding_ = m.coding;
    f7_x_ = f7_y_ = 0;
  } else {
    Mode fm;
    fixed_mode(m.format, m.mode, &fm);
    if (!(fm.rates & (1u << rate))) {
      *why = "frame rate code " + std::to_string(rate) +
             " is not offered in this mode";
      return false;
    }
  }
  format_ = m.format, mode_ = m.mode, rate_ = rate;
  f7_packet_ = f7_recommended();  // what the rate needs
  f7_by_packet_ = false;
  if (stream_.on) pace(vz_mono_us());
  return true;
}

uint32_t SimDevice::frame_bytes() const {
  Mode m = current_mode();
  return (uint32_t)coding_bytes(m.coding, (size_t)m.width * m.height);
}

uint32_t SimDevice::packet_bytes() const {
  if (format_ != 7) {
    const FixedMode *f = find_fixed(format_, mode_);
    int q = f ? f->qpp[std::clamp(rate_, 0, 7)] : -1;
    return q > 0 ? 4u * (uint32_t)q : 0;
  }
  return f7_packet_ ? f7_packet_ : f7_recommended();
}

// The smallest Format_7 packet that carries a frame within the period of
// the rate set.
// The largest packet of the ISO speed, but at S800 (8192 bytes) 4 less:
// libdc1394 queues 8 packets per kernel descriptor, whose payload length
// has 16 bits, so 8192-byte packets would wrap to nothing.
uint32_t SimDevice::f7_max_packet() const {
  return std::min(1024u << iso_speed_, 8188u);
}

uint32_t SimDevice::f7_recommended() const {
  uint64_t bytes = coding_bytes(f7_coding_, (size_t)f7_w_ * f7_h_);
  double cycles = floor(8000.0 / iidc::rate_fps(rate_));
  uint32_t need = ((uint32_t)ceil(bytes / cycles) + 3) & ~3u;
  uint32_t max = f7_max_packet();
  return need > max ? max : (need ? need : 4);
}

// A window of whole units inside the imager.
bool SimDevice::f7_window_fits(int x, int y, int w, int h) const {
  int maxw = conf_.v.max_width / F7_UNIT * F7_UNIT;
  int maxh = conf_.v.max_height / F7_UNIT * F7_UNIT;
  return w > 0 && h > 0 && x >= 0 && y >= 0 && x + w <= maxw &&
         y + h <= maxh && !(w % F7_UNIT) && !(h % F7_UNIT) &&
         !(x % F7_UNIT) && !(y % F7_UNIT);
}

uint32_t SimDevice::packets_per_frame() const {
  uint32_t p = packet_bytes();
  return p ? (frame_bytes() + p - 1) / p : 0;
}

double SimDevice::frame_period_us() const {
  // Format_7 packets written from the bus set the pace: one per cycle
  if (format_ == 7 && f7_by_packet_)
    return 125.0 * decimation_ * packets_per_frame();
  double fps = iidc::rate_fps(rate_);
  if (conf_.v.has_50Hz_rate && lp_[iidc::LP_RATE] == iidc::LP_RATE_50) fps *= 5.0 / 6.0;
  return 1e6 * decimation_ / fps;
}

bool SimDevice::set_decimation(int n) {
  if (n < 1 || n > 64) return false;
  decimation_ = n;
  if (stream_.on) pace(vz_mono_us());
  return true;
}

// ---------------------------------------------------------------- features

int SimDevice::scale(int n) const {
  return vz_raw_to_scale((int)feat_[n].value, ranges[n].lo, ranges[n].hi);
}

void SimDevice::set_scale(int n, int v, bool second) {
  uint32_t raw = (uint32_t)vz_scale_to_raw(v, ranges[n].lo, ranges[n].hi);
  (second ? feat_[n].value2 : feat_[n].value) = raw;
}

bool SimDevice::read_feature_inq(int n, uint32_t *v) const {
  *v = 0;  // features this camera lacks read as absent
  if (n < 0 || n >= iidc::FEATURES) return true;
  const CamValues &c = conf_.v;
  const Range &r = ranges[n];
  switch (n) {
    case iidc::BRIGHTNESS:
      *v = iidc::feature_inq(c.has_manual_brightness || c.has_auto_brightness,
                          c.has_auto_brightness, c.has_manual_brightness,
                          false, r.lo, r.hi);
      break;
    case iidc::AUTO_EXPOSURE:
      *v = iidc::feature_inq(c.has_auto_exposure, false, true, true, r.lo, r.hi);
      break;
    case iidc::SHARPNESS:
      *v = iidc::feature_inq(c.has_sharpness, false, true, false, r.lo, r.hi);
      break;
    case iidc::WHITE_BALANCE:
      *v = iidc::feature_inq(
          c.has_color && (c.has_manual_whitebalance || c.has_auto_whitebalance),
          c.has_auto_whitebalance, c.has_manual_whitebalance, false, r.lo,
          r.hi);
      break;
    case iidc::SATURATION:
      *v = iidc::feature_inq(c.has_color && c.has_saturation, false, true, false,
                          r.lo, r.hi);
      break;
    case iidc::GAMMA:
      *v = iidc::feature_inq(c.has_gamma, false, true, true, r.lo, r.hi);
      break;
    case iidc::SHUTTER:
      *v = iidc::feature_inq(c.has_manual_exposure || c.has_auto_exposure,
                          c.has_auto_exposure, c.has_manual_exposure, false,
                          r.lo, r.hi);
      break;
    case iidc::GAIN:
      *v = iidc::feature_inq(c.has_manual_gain || c.has_auto_gain,
                          c.has_auto_gain, c.has_manual_gain, false, r.lo,
                          r.hi);
      break;
  }
  return true;
}

bool SimDevice::read_feature_ctl(int n, uint32_t *v) const {
  uint32_t inq = 0;
  read_feature_inq(n, &inq);
  *v = 0;
  if (!inq) return true;
  const Feat &f = feat_[n];
  if (n == iidc::WHITE_BALANCE)
    *v = iidc::wb_ctl(true, f.automatic, (int)f.value, (int)f.value2);
  else if (n == iidc::AUTO_EXPOSURE)
    *v = iidc::feature_ctl(true, feat_[iidc::SHUTTER].automatic, false,
                        ae_target_);
  else if (n == iidc::GAMMA)
    *v = iidc::feature_ctl(true, f.on, false, (int)f.value);
  else
    *v = iidc::feature_ctl(true, true, f.automatic, (int)f.value);
  return true;
}

bool SimDevice::feature_info(int n, FeatureInfo *out) {
  uint32_t inq = 0;
  if (n < 0 || n >= iidc::FEATURES || !read_feature_inq(n, &inq) || !inq) {
    *out = FeatureInfo();
    return false;
  }
  out->present = true;
  out->on_off = inq & (1u << 26);
  out->has_auto = inq & (1u << 25);
  out->has_manual = inq & (1u << 24);
  out->min = (inq >> 12) & 0xfff;
  out->max = inq & 0xfff;
  return true;
}

bool SimDevice::get_feature(int n, FeatureState *out) {
  FeatureInfo info;
  if (!feature_info(n, &info)) return false;
  const Feat &f = feat_[n];
  out->on = n == iidc::AUTO_EXPOSURE ? feat_[iidc::SHUTTER].automatic : f.on;
  out->automatic = f.automatic;
  out->value = n == iidc::AUTO_EXPOSURE ? (uint32_t)ae_target_ : f.value;
  out->value2 = f.value2;
  return true;
}

bool SimDevice::set_feature(int n, const FeatureState &s) {
  FeatureInfo info;
  if (!feature_info(n, &info)) return false;
  if (s.automatic && !info.has_auto) return false;
  if (!s.automatic && !info.has_manual) return false;
  if (s.value < info.min || s.value > info.max) return false;
  if (n == iidc::WHITE_BALANCE && (s.value2 < info.min || s.value2 > info.max))
    return false;
  Feat &f = feat_[n];
  if (n == iidc::AUTO_EXPOSURE) {
    ae_target_ = (int)s.value;  // the level automatic exposure aims at
    return true;
  }
  f.automatic = s.automatic;
  if (info.on_off) f.on = s.on;
  // a control in automatic mode keeps the value its loop reached
  if (!s.automatic) {
    f.value = s.value;
    if (n == iidc::WHITE_BALANCE) f.value2 = s.value2;
  }
  return true;
}

bool SimDevice::write_feature(int n, uint32_t v) {
  FeatureInfo info;
  if (!feature_info(n, &info)) return no_register();
  FeatureState s;
  s.on = iidc::ctl_on(v);
  s.automatic = iidc::ctl_auto(v);
  uint32_t lo = info.min, hi = info.max;
  uint32_t val = (uint32_t)iidc::ctl_value(v);
  s.value = std::clamp(val, lo, hi);
  if (n == iidc::WHITE_BALANCE) {
    // U/B in bits 12-23, V/R in bits 0-11
    uint32_t b = (uint32_t)iidc::ctl_value_hi(v);
    s.value2 = s.value;
    s.value = std::clamp(b, lo, hi);
  }
  if (n == iidc::GAMMA && !s.on && s.value) s.on = true;
  if (n == iidc::AUTO_EXPOSURE) {
    if (val > 255) return false;
    s.value = val;
    s.automatic = false;
  }
  if (s.automatic && !info.has_auto) return false;
  if (!s.automatic && !info.has_manual) return false;
  return set_feature(n, s);
}

bool SimDevice::set_device_value(const std::string &name, int value) {
  struct Named {
    const char *name;
    int feature;
    bool second;
  } known[] = {{"exposure", iidc::SHUTTER, false},
               {"gain", iidc::GAIN, false},
               {"brightness", iidc::BRIGHTNESS, false},
               {"redgain", iidc::WHITE_BALANCE, true},
               {"bluegain", iidc::WHITE_BALANCE, false},
               {"saturation", iidc::SATURATION, false},
               {"sharpness", iidc::SHARPNESS, false}};
  for (const Named &k : known)
    if (name == k.name) {
      if (value < 0 || value > 100) return false;
      set_scale(k.feature, value, k.second);
      return true;
    }
  if (name == "y_offset" && value >= 0 && value <= 255) {
    lp_[iidc::LP_YOFFSET] = (lp_[iidc::LP_YOFFSET] & ~0xffu) | (uint32_t)value;
    lp_written_ |= 1u << iidc::LP_YOFFSET;
    return true;
  }
  return false;
}

}  // namespace vz
