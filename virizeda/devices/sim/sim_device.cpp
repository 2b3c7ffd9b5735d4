#include "devices/sim/sim_device.h"

#include <errno.h>
#include <math.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdlib.h>

#include <type_traits>

#include "core/clock.h"
#include "core/diag.h"
#include "core/formats.h"
#include "devices/sim/sim_state.h"

namespace vz {

namespace {

int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

struct FixedMode {
  int format, mode, w, h, coding;
  int qpp[8];  // image quadlets per packet by rate code; -1: not offered
};
// The IIDC modes of Format_0 and Format_2 that our imagers can fill.
const FixedMode fixed_modes[] = {
    {0, 0, 160, 120, iidc::CODING_YUV444, {-1, -1, 15, 30, 60, 120, 240, 480}},
    {0, 1, 320, 240, iidc::CODING_YUV422, {10, 20, 40, 80, 160, 320, 640, 1280}},
    {0, 2, 640, 480, iidc::CODING_YUV411, {30, 60, 120, 240, 480, 960, 1920, 3840}},
    {0, 3, 640, 480, iidc::CODING_YUV422, {40, 80, 160, 320, 640, 1280, 2560, 5120}},
    {0, 4, 640, 480, iidc::CODING_RGB8, {60, 120, 240, 480, 960, 1920, 3840, 7680}},
    {0, 5, 640, 480, iidc::CODING_MONO8, {20, 40, 80, 160, 320, 640, 1280, 2560}},
    {2, 0, 1280, 960, iidc::CODING_YUV422, {160, 320, 640, 1280, 2560, 5120, -1, -1}},
    {2, 1, 1280, 960, iidc::CODING_RGB8, {240, 480, 960, 1920, 3840, 7680, -1, -1}},
    {2, 2, 1280, 960, iidc::CODING_MONO8, {80, 160, 320, 640, 1280, 2560, 5120, -1}},
};
// the rates our imagers run at: 3.75 to 60 fps
const int RATE_MIN = iidc::RATE_3_75, RATE_MAX = iidc::RATE_60;
const int F7_UNIT = 8;

const FixedMode *find_fixed(int format, int mode) {
  for (const FixedMode &m : fixed_modes)
    if (m.format == format && m.mode == mode) return &m;
  return nullptr;
}

// bytes per 2 pixels, so that 4:1:1 stays whole
int bytes_per_2px(int coding) {
  switch (coding) {
    case iidc::CODING_MONO8: case iidc::CODING_RAW8: return 2;
    case iidc::CODING_YUV411: return 3;
    case iidc::CODING_YUV422: return 4;
  }
  return 6;
}

iidc::Coding coding_of(int id) {
  switch (id) {
    case iidc::CODING_RAW8: return iidc::Coding::RAW8;
    case iidc::CODING_RGB8: return iidc::Coding::RGB8;
    case iidc::CODING_YUV411: return iidc::Coding::YUV411;
    case iidc::CODING_YUV422: return iidc::Coding::YUV422;
    case iidc::CODING_YUV444: return iidc::Coding::YUV444;
  }
  return iidc::Coding::MONO8;
}

int coding_id(iidc::Coding c) {
  switch (c) {
    case iidc::Coding::RAW8: return iidc::CODING_RAW8;
    case iidc::Coding::RGB8: return iidc::CODING_RGB8;
    case iidc::Coding::YUV411: return iidc::CODING_YUV411;
    case iidc::Coding::YUV422: return iidc::CODING_YUV422;
    case iidc::Coding::YUV444: return iidc::CODING_YUV444;
    case iidc::Coding::MONO8: break;
  }
  return iidc::CODING_MONO8;
}

double rate_fps(int rate) { return 1.875 * (1 << clampi(rate, 0, 7)); }

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
  f7_coding_ = iidc::CODING_MONO8;
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
  uint32_t m = 1u << (31 - iidc::CODING_MONO8);
  if (conf_.v.has_color) m |= 1u << (31 - iidc::CODING_RAW8);
  if (conf_.v.has_color && conf_.rgb8) m |= 1u << (31 - iidc::CODING_RGB8);
  return m;
}

bool SimDevice::mode_offered(int format, int mode) const {
  if (format == 7) return mode == 0 && conf_.format7;
  const FixedMode *m = find_fixed(format, mode);
  return m && m->w <= conf_.v.max_width && m->h <= conf_.v.max_height &&
         (m->coding == iidc::CODING_MONO8 || conf_.v.has_color) &&
         (m->coding != iidc::CODING_RGB8 || conf_.rgb8);
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
  m.coding = coding_of(f->coding);
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
    m.coding = coding_of(id);
    if (id == iidc::CODING_RAW8)
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
  m.coding = coding_of(f7_coding_);
  if (f7_coding_ == iidc::CODING_RAW8)
    m.filter = conf_.v.isBGGR ? iidc::Filter::BGGR : iidc::Filter::RGGB;
  m.unit_w = m.unit_h = F7_UNIT;
  for (int r = RATE_MIN; r <= RATE_MAX; ++r) m.rates |= 1u << r;
  return m;
}

bool SimDevice::set_mode(const Mode &m, int rate, std::string *why) {
  std::string unused;
  if (!why) why = &unused;
  if (conf_.refuse_format) {
    *why = conf_.refuse_text;
    return false;
  }
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
    int id = coding_id(m.coding);
    int maxw = conf_.v.max_width / F7_UNIT * F7_UNIT;
    int maxh = conf_.v.max_height / F7_UNIT * F7_UNIT;
    if (!(coding_mask() & (1u << (31 - id))) || m.width <= 0 ||
        m.height <= 0 || m.width > maxw || m.height > maxh ||
        m.width % F7_UNIT || m.height % F7_UNIT) {
      *why = "Format_7 does not take " + std::to_string(m.width) + "x" +
             std::to_string(m.height) + " in this coding";
      return false;
    }
    // the library's formats are the whole picture at their size
    f7_w_ = m.width, f7_h_ = m.height, f7_coding_ = id;
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
  int id = coding_id(m.coding);
  return (uint32_t)((uint64_t)m.width * m.height * bytes_per_2px(id) / 2);
}

uint32_t SimDevice::packet_bytes() const {
  if (format_ != 7) {
    const FixedMode *f = find_fixed(format_, mode_);
    int q = f ? f->qpp[clampi(rate_, 0, 7)] : -1;
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
  uint64_t bytes = (uint64_t)f7_w_ * f7_h_ * bytes_per_2px(f7_coding_) / 2;
  double cycles = floor(8000.0 / rate_fps(rate_));
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
  double fps = rate_fps(rate_);
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
  out->readout = inq & (1u << 27);
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
  s.value = val < lo ? lo : (val > hi ? hi : val);
  if (n == iidc::WHITE_BALANCE) {
    // U/B in bits 12-23, V/R in bits 0-11
    uint32_t b = (uint32_t)iidc::ctl_value_hi(v);
    s.value2 = s.value;
    s.value = b < lo ? lo : (b > hi ? hi : b);
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

// ---------------------------------------------------------------- registers

bool SimDevice::read_quadlet(uint32_t a, uint32_t *v) {
  if (!v || (a & 3)) return false;
  if (a >= iidc::ROM_BASE && a < iidc::ROM_BASE + 4 * iidc::ROM_QUADS) {
    *v = rom_[(a - iidc::ROM_BASE) / 4];
    return true;
  }
  if (a >= iidc::DCAM_BASE && a < iidc::DCAM_BASE + iidc::DC_FORMAT7_0 + iidc::F7_BLOCK)
    return read_dcam(a - iidc::DCAM_BASE, v);
  if (a >= iidc::LOCAL_BASE && a < iidc::LOCAL_BASE + 4 * iidc::LOCAL_WORDS)
    return read_local((a - iidc::LOCAL_BASE) / 4, v);
  return read_flash(a, v);
}

// Identity programming writes the chip identifier, in the bus info block
// and in the unique ID leaf, and the CRCs over them; the rest of the ROM is
// read-only, as a camera's is, and a CRC quadlet keeps its lengths, so no
// write makes a ROM that readers misparse.
static bool rom_writable(int i, uint32_t old, uint32_t v) {
  switch (i) {
    case iidc::ROM_CHIP_HI: case iidc::ROM_CHIP_LO:
    case iidc::ROM_UID_LEAF + 1: case iidc::ROM_UID_LEAF + 2:
      return true;
    case iidc::ROM_BUS_INFO: case iidc::ROM_UID_LEAF:
      return old >> 16 == v >> 16;
  }
  return false;
}

bool SimDevice::write_quadlet(uint32_t a, uint32_t v) {
  if (a & 3) return false;
  if (a >= iidc::ROM_BASE && a < iidc::ROM_BASE + 4 * iidc::ROM_QUADS) {
    int i = (int)(a - iidc::ROM_BASE) / 4;
    if (!rom_writable(i, rom_[i], v)) return false;
    // the ROM is flash: each write lands in the state directory at once
    rom_[i] = v;
    std::vector<int> written{i};
    return persist("rom", iidc::quadlets_to_bytes(rom_, iidc::ROM_QUADS), &written);
  }
  if (a >= iidc::DCAM_BASE && a < iidc::DCAM_BASE + iidc::DC_FORMAT7_0 + iidc::F7_BLOCK)
    return write_dcam(a - iidc::DCAM_BASE, v);
  if (a >= iidc::LOCAL_BASE && a < iidc::LOCAL_BASE + 4 * iidc::LOCAL_WORDS) {
    int word = (int)(a - iidc::LOCAL_BASE) / 4;
    if (!write_local(word, v)) return false;
    lp_written_ |= 1u << word;
    return true;
  }
  return write_flash(a, v);
}

bool SimDevice::read_dcam(uint32_t off, uint32_t *v) {
  if (off >= iidc::DC_V_MODE_INQ_0 && off < iidc::DC_V_MODE_INQ_0 + 32) {
    *v = mode_inq((off - iidc::DC_V_MODE_INQ_0) / 4);
    return true;
  }
  if (off >= iidc::DC_V_RATE_INQ && off < iidc::DC_V_RATE_INQ + 3 * 32) {
    int f = (off - iidc::DC_V_RATE_INQ) / 32, m = (off - iidc::DC_V_RATE_INQ) % 32 / 4;
    Mode fm;
    *v = 0;
    if (mode_offered(f, m) && fixed_mode(f, m, &fm))
      for (int r = 0; r < 8; ++r)
        if (fm.rates & (1u << r)) *v |= 1u << (31 - r);
    return true;
  }
  if (off >= iidc::DC_V_CSR_INQ_7_0 && off < iidc::DC_V_CSR_INQ_7_0 + 32) {
    *v = off == iidc::DC_V_CSR_INQ_7_0 && mode_offered(7, 0)
             ? (iidc::DCAM_BASE + iidc::DC_FORMAT7_0 - 0xF0000000u) / 4 : 0;
    return true;
  }
  if (off >= iidc::DC_FEATURE_INQ && off < iidc::DC_FEATURE_INQ + 0x80)
    return read_feature_inq((off - iidc::DC_FEATURE_INQ) / 4, v);
  if (off >= iidc::DC_FEATURE_CTL && off < iidc::DC_FEATURE_CTL + 0x80)
    return read_feature_ctl((off - iidc::DC_FEATURE_CTL) / 4, v);
  if (off >= iidc::DC_FORMAT7_0 && off < iidc::DC_FORMAT7_0 + iidc::F7_BLOCK) {
    if (!mode_offered(7, 0)) return false;
    return read_f7(off - iidc::DC_FORMAT7_0, v);
  }
  // inquiries of what this camera lacks read 0, as libdc1394 asks them all:
  // revisions, optional functions, advanced features, the low features
  if ((off >= 0x2C0 && off < 0x2E0) || (off >= 0x408 && off < 0x410) ||
      (off >= 0x480 && off < 0x490) || (off >= 0x580 && off < 0x600) ||
      (off >= 0x880 && off < 0x900) || off == 0x618 || off == 0x620 ||
      off == 0x624 || off == 0x640 || off == 0x644) {
    *v = 0;
    return true;
  }
  switch (off) {
    case 0x630:  // DATA_DEPTH
      *v = 8u << 24;
      return true;
    case iidc::DC_INITIALIZE:
      *v = 0;
      return true;
    case iidc::DC_BASIC_FUNC_INQ:
      // one shot; 1394b operation mode on an S800 bus
      *v = 1u << 12 | (bus_speed_ >= 800 ? 1u << 23 : 0);
      return true;
    case iidc::DC_V_FORMAT_INQ:
      *v = (mode_inq(0) ? 1u << 31 : 0) | (mode_inq(2) ? 1u << 29 : 0) |
           (mode_offered(7, 0) ? 1u << 24 : 0);
      return true;
    case iidc::DC_FEATURE_HI_INQ: {
      uint32_t bits = 0, inq;
      for (int n = 0; n < iidc::FEATURES; ++n)
        if (read_feature_inq(n, &inq) && inq) bits |= 1u << (31 - n);
      *v = bits;
      return true;
    }
    case iidc::DC_CUR_V_FRM_RATE:
      *v = (uint32_t)rate_ << 29;
      return true;
    case iidc::DC_CUR_V_MODE:
      *v = (uint32_t)mode_ << 29;
      return true;
    case iidc::DC_CUR_V_FORMAT:
      *v = (uint32_t)format_ << 29;
      return true;
    case iidc::DC_ISO_CHANNEL:
      *v = iso_b_mode_ ? 1u << 15 | (uint32_t)iso_channel_ << 8 | (uint32_t)iso_speed_
                       : (uint32_t)iso_channel_ << 28 | (uint32_t)iso_speed_ << 24;
      return true;
    case iidc::DC_CAMERA_POWER:
      *v = 1u << 31;
      return true;
    case iidc::DC_ISO_EN:
      *v = stream_.on ? 1u << 31 : 0;
      return true;
    case iidc::DC_ONE_SHOT:
      *v = one_shot_ ? 1u << 31 : 0;
      return true;
  }
  return false;
}

bool SimDevice::read_f7(uint32_t off, uint32_t *v) {
  int maxw = conf_.v.max_width / F7_UNIT * F7_UNIT;
  int maxh = conf_.v.max_height / F7_UNIT * F7_UNIT;
  bool cur = format_ == 7;
  int w = f7_w_, h = f7_h_;
  uint32_t bytes = (uint32_t)((uint64_t)w * h * bytes_per_2px(f7_coding_) / 2);
  uint32_t packet = f7_packet_ ? f7_packet_ : f7_recommended();
  switch (off) {
    case iidc::F7_MAX_SIZE:
      *v = (uint32_t)maxw << 16 | (uint32_t)maxh;
      return true;
    case iidc::F7_UNIT_SIZE:
    case iidc::F7_UNIT_POSITION:
      *v = (uint32_t)F7_UNIT << 16 | F7_UNIT;
      return true;
    case iidc::F7_POSITION:
      *v = (uint32_t)f7_x_ << 16 | (uint32_t)f7_y_;
      return true;
    case iidc::F7_SIZE:
      *v = (uint32_t)w << 16 | (uint32_t)h;
      return true;
    case iidc::F7_CODING_ID:
      *v = (uint32_t)f7_coding_ << 24;
      return true;
    case iidc::F7_CODING_INQ:
      *v = coding_mask();
      return true;
    case iidc::F7_PIXELS:
      *v = (uint32_t)(w * h);
      return true;
    case iidc::F7_TOTAL_HI:
      *v = 0;
      return true;
    case iidc::F7_TOTAL_LO:
      *v = bytes;
      return true;
    case iidc::F7_PACKET_PARA:
      *v = 4u << 16 | f7_max_packet();
      return true;
    case iidc::F7_BYTE_PER_PACKET:
      *v = packet << 16 | f7_recommended();
      return true;
    case iidc::F7_PACKETS_PER_FRAME:
      *v = (bytes + packet - 1) / packet;
      return true;
    case iidc::F7_FRAME_INTERVAL: {
      float s = (float)((cur ? frame_period_us() : 1e6 / rate_fps(rate_)) /
                        1e6);
      memcpy(v, &s, 4);
      return true;
    }
    case iidc::F7_DATA_DEPTH:
      *v = 8u << 24;
      return true;
    case iidc::F7_COLOR_FILTER:
      *v = (conf_.v.isBGGR ? 3u : 0u) << 24;
      return true;
    case iidc::F7_VALUE_SETTING:
      *v = 0;  // no handshake: values take effect as written
      return true;
  }
  return false;
}

bool SimDevice::write_f7(uint32_t off, uint32_t v) {
  int hi = (int)(v >> 16), lo = (int)(v & 0xffff);
  switch (off) {
    case iidc::F7_POSITION:
      if (!f7_window_fits(hi, lo, f7_w_, f7_h_)) return false;
      f7_x_ = hi, f7_y_ = lo;
      return true;
    case iidc::F7_SIZE:
      if (!f7_window_fits(f7_x_, f7_y_, hi, lo)) return false;
      f7_w_ = hi, f7_h_ = lo;
      break;
    case iidc::F7_CODING_ID: {
      uint32_t id = v >> 24;
      if (id > 31 || !(coding_mask() & (1u << (31 - id)))) return false;
      f7_coding_ = (int)id;
      break;
    }
    case iidc::F7_BYTE_PER_PACKET: {
      uint32_t p = v >> 16;
      if (p == 0 || (p & 3) || p > f7_max_packet()) return false;
      f7_packet_ = p;
      f7_by_packet_ = true;
      if (stream_.on && format_ == 7) pace(vz_mono_us());
      return true;
    }
    default:
      return no_register();
  }
  // a new size or coding needs a packet size of its own
  f7_packet_ = f7_recommended();
  return true;
}

bool SimDevice::write_dcam(uint32_t off, uint32_t v) {
  if (off >= iidc::DC_FEATURE_CTL && off < iidc::DC_FEATURE_CTL + 4 * iidc::FEATURES)
    return write_feature((off - iidc::DC_FEATURE_CTL) / 4, v);
  if (off >= iidc::DC_FORMAT7_0 && off < iidc::DC_FORMAT7_0 + iidc::F7_BLOCK)
    return mode_offered(7, 0) ? write_f7(off - iidc::DC_FORMAT7_0, v) : no_register();
  switch (off) {
    case iidc::DC_INITIALIZE:
      if (v & (1u << 31)) power_on();
      return true;
    case iidc::DC_CUR_V_FRM_RATE: {
      int r = (int)(v >> 29);
      if (r < RATE_MIN || r > RATE_MAX) return false;
      rate_ = r;
      if (!f7_by_packet_) f7_packet_ = f7_recommended();
      if (stream_.on) pace(vz_mono_us());
      return true;
    }
    case iidc::DC_CUR_V_MODE: {
      int m = (int)(v >> 29);
      if (!mode_offered(format_, m)) return false;
      mode_ = m;
      if (stream_.on) pace(vz_mono_us());
      return true;
    }
    case iidc::DC_CUR_V_FORMAT: {
      int f = (int)(v >> 29);
      if (f != 7 && !mode_inq(f)) return false;
      if (f == 7 && !mode_offered(7, 0)) return false;
      format_ = f;
      if (f == 7) mode_ = 0;
      // the first mode the format offers, until a mode is written
      for (int m = 0; m < 8 && f != 7 && !mode_offered(f, mode_); ++m)
        mode_ = m;
      return true;
    }
    case iidc::DC_ISO_CHANNEL: {
      bool b_mode = v & (1u << 15);
      int speed = b_mode ? v & 7 : (v >> 24) & 3;
      if ((b_mode && bus_speed_ < 800) || speed > (b_mode ? 3 : 2)) return false;
      iso_b_mode_ = b_mode;
      iso_channel_ = b_mode ? (v >> 8) & 0x3f : (v >> 28) & 0xf;
      iso_speed_ = speed;
      return true;
    }
    case iidc::DC_ISO_EN:
      if (v & (1u << 31)) return start(nullptr);
      stop();
      return true;
    case iidc::DC_ONE_SHOT:
      one_shot_ = v & (1u << 31);
      return true;
  }
  return no_register();
}

// ---------------------------------------------------------------- local block

bool SimDevice::read_local(int word, uint32_t *v) const {
  if (!conf_.local_params_version) return false;
  const CamValues &c = conf_.v;
  switch (word) {
    case iidc::LP_VERSION:
      *v = conf_.local_params_version;
      return true;
    case iidc::LP_CAM_TYPE:
      *v = ((rom_[iidc::ROM_CHIP_LO] >> 16) & 0xf) << 16 |
           (c.isStereo ? 1u << 10 : 0) | (c.isBayer ? 1u << 9 : 0) |
           (c.has_color ? 1u << 8 : 0) | ((uint32_t)c.camImager & 0xff);
      return true;
    case iidc::LP_CALIB:
      *v = has_calib_ ? (1u << 31) | (uint32_t)(calib_.size() & 0xffffff) : 0;
      return true;
    case iidc::LP_FIRMWARE:
      *v = ((uint32_t)c.fwFirmware & 0xffff) << 16 |
           ((uint32_t)c.camFirmware & 0xffff);
      return true;
  }
  *v = lp_[word];
  return true;
}

bool SimDevice::write_local(int word, uint32_t v) {
  if (!conf_.local_params_version) return no_register();
  const CamValues &c = conf_.v;
  switch (word) {
    case iidc::LP_IMAGER_CMD: {
      // a read request makes the word deliver the register, a write sets it
      uint32_t request = v >> 24, reg = (v >> 16) & 0xff;
      if (request == iidc::IMAGER_READ) {
        lp_[iidc::LP_IMAGER_CMD] = (v & 0xffff0000u) | imager_[reg];
        return true;
      }
      if (request != iidc::IMAGER_WRITE) return false;
      imager_[reg] = (uint16_t)(v & 0xffff);
      lp_[iidc::LP_IMAGER_CMD] = v;
      return true;
    }
    case iidc::LP_IDENT:
      lp_[iidc::LP_IDENT] = v & (0xffffu | iidc::LP_IDENT_INVERT);
      return true;
    case iidc::LP_YOFFSET:
    case iidc::LP_BLACK: {
      bool has = word == iidc::LP_YOFFSET ? c.has_y_offset : c.has_black_offset;
      int max = word == iidc::LP_YOFFSET ? c.max_y_offset : c.max_black_offset;
      int l = v & 0xff, r = (v >> 16) & 0xff;
      if (!has || l > max || r > max || (v & 0xff00ff00u)) return false;
      lp_[word] = v;
      return true;
    }
    case iidc::LP_PROC:
      if (!c.has_proc_mode || (v & 0xff) > 5 || (v >> 24)) return false;
      lp_[iidc::LP_PROC] = v;
      return true;
    case iidc::LP_RATE:
      if (v != iidc::LP_RATE_60 && !(v == iidc::LP_RATE_50 && c.has_50Hz_rate))
        return false;
      lp_[iidc::LP_RATE] = v;
      if (stream_.on) pace(vz_mono_us());
      return true;
  }
  return no_register();  // version, type, calibration and firmware words
}

// ---------------------------------------------------------------- flash

bool SimDevice::read_flash(uint32_t a, uint32_t *v) const {
  if (a == iidc::FLASH_CMD) {
    *v = flash_result_;
    return true;
  }
  if (a == iidc::CALIB_PAGE) {
    *v = calib_page_;
    return true;
  }
  if (a == iidc::CALIB_SIZE) {
    *v = has_calib_ ? (1u << 31) | (uint32_t)calib_.size() : 0;
    return true;
  }
  if (a >= iidc::CALIB_WINDOW && a < iidc::CALIB_WINDOW + iidc::CALIB_WINDOW_BYTES) {
    size_t at = calib_page_ + (a - iidc::CALIB_WINDOW);
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i)
      w = w << 8 | (at + i < calib_.size() ? (uint8_t)calib_[at + i] : 0);
    *v = w;
    return true;
  }
  return false;
}

bool SimDevice::write_flash(uint32_t a, uint32_t v) {
  if (a == iidc::FLASH_CMD) {
    flash_result_ = flash_command(v);
    return flash_result_ != iidc::FLASH_REFUSED;
  }
  if (a == iidc::CALIB_PAGE) {
    if (v % iidc::CALIB_WINDOW_BYTES || v >= (uint32_t)iidc::CALIB_MAX) return false;
    calib_page_ = v;
    return true;
  }
  if (a == iidc::CALIB_SIZE) {
    if (v > (uint32_t)iidc::CALIB_MAX) return false;
    calib_staging_.assign(v, '\0');  // nothing of an earlier staging stays
    return true;
  }
  if (a >= iidc::CALIB_WINDOW && a < iidc::CALIB_WINDOW + iidc::CALIB_WINDOW_BYTES) {
    size_t at = calib_page_ + (a - iidc::CALIB_WINDOW);
    for (int i = 0; i < 4; ++i)
      if (at + i < calib_staging_.size())
        calib_staging_[at + i] = (char)(v >> (24 - 8 * i));
    return true;
  }
  return no_register();
}

uint32_t SimDevice::flash_command(uint32_t cmd) {
  bool kept = false;
  switch (cmd) {
    case iidc::FLASH_SAVE_LOCAL: {
      if (!conf_.local_params_version) return iidc::FLASH_REFUSED;
      memcpy(lp_saved_, lp_, sizeof lp_saved_);
      std::vector<int> written;
      for (int w = 0; w < iidc::LOCAL_WORDS; ++w)
        if (lp_written_ & (1u << w)) written.push_back(w);
      kept = persist("local", iidc::quadlets_to_bytes(lp_, iidc::LOCAL_WORDS),
                     &written);
      if (kept) lp_written_ = 0;
      break;
    }
    case iidc::FLASH_STORE_CALIB:
      if (calib_staging_.empty()) return iidc::FLASH_REFUSED;
      calib_ = calib_staging_;
      has_calib_ = true;
      kept = persist("calib", calib_);
      break;
    case iidc::FLASH_ERASE_CALIB:
      calib_.clear();
      has_calib_ = false;
      kept = persist("calib", calib_);
      break;
    default:
      return iidc::FLASH_REFUSED;
  }
  return kept ? iidc::FLASH_OK : iidc::FLASH_NOT_KEPT;
}

// ---------------------------------------------------------------- stream

bool SimDevice::start(std::string *why) {
  if (conf_.fail_start) {
    if (why) *why = "the camera does not start (fail_start)";
    return false;
  }
  if (stream_.on) return true;
  frame_memory();
  stream_ = Stream();
  stream_.on = true;
  pace(vz_mono_us());
  return true;
}

void SimDevice::stop() { stream_.on = false; }

// Frame timing from now on, the sequence going on where it was.
void SimDevice::pace(int64_t now) {
  stream_.period = frame_period_us();
  stream_.t0 = now - (int64_t)llround(stream_.next * stream_.period);
  stream_.wall0 = vz_wall_us() - (now - stream_.t0);
}

int64_t SimDevice::due(int64_t seq) const {
  return stream_.t0 + (int64_t)llround((seq + 1) * stream_.period);
}

Next SimDevice::next_frame(int wait_ms, Frame *f) {
  if (!stream_.on) return Next::TIMEOUT;
  int64_t now = vz_mono_us();
  int64_t limit = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  int64_t seq = stream_.next;
  long stop_after = conf_.frames_stop_after;
  if (stop_after >= 0 && seq >= stop_after) {
    if (!stream_.stop_reported)
      vz_diag("camera %d: no frames after %ld (frames_stop_after)", num_,
              stop_after);
    stream_.stop_reported = true;
    vz_sleep_until(limit);
    return Next::TIMEOUT;
  }
  uint32_t lost = 0;
  if (!conf_.unpaced) {
    if (due(seq) > now) {
      if (due(seq) > limit) {
        vz_sleep_until(limit);
        return Next::TIMEOUT;
      }
      vz_sleep_until(due(seq));
    } else {
      // the newest frame already due; those before it are lost
      int64_t newest = (int64_t)floor((now - stream_.t0) / stream_.period) - 1;
      while (newest > seq && due(newest) > now) --newest;
      while (due(newest + 1) <= now) ++newest;
      if (stop_after >= 0 && newest >= stop_after) newest = stop_after - 1;
      if (newest > seq) {
        lost = (uint32_t)(newest - seq);
        stream_.dropped += newest - seq;
        seq = newest;
      }
    }
  }
  render((uint64_t)seq, frame_memory());
  stream_.next = seq + 1;
  stream_.delivered++;
  f->data = frame_.data();
  f->bytes = frame_bytes();
  f->seq = (uint64_t)seq;
  f->usec = stream_.wall0 + (due(seq) - stream_.t0);
  f->dropped = lost;
  return Next::FRAME;
}

bool SimDevice::frame_ready(int wait_ms, bool *ready) {
  *ready = false;
  if (!stream_.on) return true;
  int64_t seq = stream_.next;
  long stop_after = conf_.frames_stop_after;
  if (stop_after >= 0 && seq >= stop_after) return true;
  *ready = true;
  if (conf_.unpaced) return true;
  int64_t now = vz_mono_us();
  int64_t limit = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  if (due(seq) <= now) return true;
  if (due(seq) > limit) {
    vz_sleep_until(limit);
    *ready = false;
    return true;
  }
  vz_sleep_until(due(seq));
  return true;
}

void SimDevice::flush() {
  if (!stream_.on || conf_.unpaced) return;
  int64_t now = vz_mono_us();
  while (due(stream_.next) <= now) stream_.next++;
}

// ---------------------------------------------------------------- imager

SceneLook SimDevice::look() const {
  const CamValues &v = conf_.v;
  SceneLook l;
  l.exposure = scale(iidc::SHUTTER);
  l.gain = scale(iidc::GAIN);
  l.brightness = scale(iidc::BRIGHTNESS);
  l.color = v.has_color;
  if (v.has_color) {
    l.redgain = vz_raw_to_scale((int)feat_[iidc::WHITE_BALANCE].value2, 0, 255);
    l.bluegain = scale(iidc::WHITE_BALANCE);
    if (v.has_saturation) l.saturation = scale(iidc::SATURATION);
  }
  if (v.has_sharpness) l.sharpness = scale(iidc::SHARPNESS);
  l.gamma = v.has_gamma && feat_[iidc::GAMMA].on;
  if (v.has_black_offset) {
    l.black[0] = lp_[iidc::LP_BLACK] & 0xff;
    l.black[1] = (lp_[iidc::LP_BLACK] >> 16) & 0xff;
  }
  if (v.has_y_offset) {
    l.yoff[0] = lp_[iidc::LP_YOFFSET] & 0xff;
    l.yoff[1] = (lp_[iidc::LP_YOFFSET] >> 16) & 0xff;
  }
  l.inverted = lp_[iidc::LP_IDENT] & iidc::LP_IDENT_INVERT;
  return l;
}

SimDevice::PictureKey SimDevice::picture_key() const {
  static_assert(std::has_unique_object_representations<PictureKey>::value,
                "compared bytewise: no padding");
  PictureKey k;
  k.format = (uint32_t)format_, k.mode = (uint32_t)mode_;
  k.f7_w = (uint32_t)f7_w_, k.f7_h = (uint32_t)f7_h_;
  k.f7_x = (uint32_t)f7_x_, k.f7_y = (uint32_t)f7_y_;
  k.f7_coding = (uint32_t)f7_coding_;
  for (int f = 0; f < iidc::FEATURES; ++f)
    k.feat[f][0] = feat_[f].value, k.feat[f][1] = feat_[f].value2,
    k.feat[f][2] = feat_[f].on;
  k.black = lp_[iidc::LP_BLACK], k.yoffset = lp_[iidc::LP_YOFFSET], k.ident = lp_[iidc::LP_IDENT];
  return k;
}

unsigned char *SimDevice::frame_memory() {
  if (frame_.empty())
    frame_.assign((size_t)conf_.v.max_width * conf_.v.max_height * 3, 0);
  return frame_.data();
}

unsigned char *SimDevice::make_frame(uint32_t seq) {
  make_into(seq, frame_memory());
  return frame_.data();
}

// At the origin a Format_7 window holds the whole picture at its size, as
// every format does; moved from there it is cut from the imager's picture
// at its position, the bar code written again across its top rows.
void SimDevice::make_into(uint32_t seq, unsigned char *out) {
  PictureKey key = picture_key();
  bool cut = format_ == 7 && (f7_x_ || f7_y_);
  if (!picture_ready_ || !(key == picture_key_)) {
    Mode m = current_mode();
    SceneFormat &f = picture_format_;
    f.w = m.width, f.h = m.height;
    if (cut) {
      f.w = conf_.v.max_width / F7_UNIT * F7_UNIT;
      f.h = conf_.v.max_height / F7_UNIT * F7_UNIT;
    }
    f.stereo = conf_.v.isStereo;
    f.bggr = m.filter == iidc::Filter::BGGR;
    f.type = m.coding == iidc::Coding::MONO8 ? S_MONO
             : m.coding == iidc::Coding::RAW8 ? S_BAYER : S_RGB24;
    f.yuv = m.coding == iidc::Coding::YUV411   ? 4
            : m.coding == iidc::Coding::YUV422 ? 2
            : m.coding == iidc::Coding::YUV444 ? 1 : 0;
    picture_look_ = look();
    picture_key_ = key;
    picture_ready_ = true;
  }
  vz_scene_prepare(&scene_, picture_format_, picture_look_);
  if (!cut) {
    vz_scene_render(&scene_, seq, out);
    return;
  }
  const SceneFormat &f = picture_format_;
  size_t bpp = f.type == S_RGB24 ? 3 : 1, row = (size_t)f7_w_ * bpp;
  whole_.resize((size_t)f.w * f.h * bpp);
  vz_scene_render(&scene_, seq, whole_.data());
  for (int y = 0; y < f7_h_; ++y)
    memcpy(out + y * row,
           &whole_[((size_t)(f7_y_ + y) * f.w + (size_t)f7_x_) * bpp], row);
  vz_barcode_write(out, f7_w_, (int)bpp, seq);
}

// Straight into the caller's buffer: the bus renders into the program's
// queued buffer.
void SimDevice::render(uint64_t seq, unsigned char *out) {
  make_into((uint32_t)seq, out);
  one_shot_ = false;
  auto_step();
}

// One step of the automatic controls after each delivered frame, from the
// brightness of that frame.
void SimDevice::auto_step() {
  const CamValues &c = conf_.v;
  const double kp = c.auto_kp > 0 ? c.auto_kp : 0.5;
  bool ae = feat_[iidc::SHUTTER].automatic, ag = feat_[iidc::GAIN].automatic;
  if (ae || ag) {
    double m = scene_.mean > 1 ? scene_.mean : 1;
    double target = clampi(ae_target_ + (int)c.auto_bias, 1, 254);
    if (fabs(target - m) > c.auto_hyst) {
      double stops = log2(target / m) * kp;
      int d_exp = (int)lround(stops * 25), d_gain = (int)lround(stops * 50);
      int dir = target > m ? 1 : -1;
      if (d_exp == 0) d_exp = dir;
      if (d_gain == 0) d_gain = dir;
      int exposure = scale(iidc::SHUTTER), gain = scale(iidc::GAIN);
      // exposure first when brightening, gain first when darkening
      bool use_gain = ag && (!ae || (dir > 0 && exposure >= c.max_exposure) ||
                             (dir < 0 && gain > 0));
      if (use_gain)
        set_scale(iidc::GAIN,
                  clampi(gain + d_gain, 0, clampi(c.max_gain, 0, 100)));
      else if (ae)
        set_scale(iidc::SHUTTER, clampi(exposure + d_exp, 0,
                                       clampi(c.max_exposure, 0, 100)));
    }
  }
  if (feat_[iidc::BRIGHTNESS].automatic) {
    int d = (16 - scene_.black_level) / 2;
    if (d == 0 && scene_.black_level != 16) d = scene_.black_level < 16 ? 1 : -1;
    set_scale(iidc::BRIGHTNESS, clampi(scale(iidc::BRIGHTNESS) + d, 0,
                                      clampi(c.max_brightness, 0, 100)));
  }
  if (feat_[iidc::WHITE_BALANCE].automatic) {
    // the gains that cancel the imager's tint
    const int red = 58, blue = 43;
    int r = vz_raw_to_scale((int)feat_[iidc::WHITE_BALANCE].value2, 0, 255);
    int b = scale(iidc::WHITE_BALANCE);
    r += (red - r) / 2 + (red > r) - (red < r);
    b += (blue - b) / 2 + (blue > b) - (blue < b);
    set_scale(iidc::WHITE_BALANCE, clampi(b, 0, 100));
    set_scale(iidc::WHITE_BALANCE, clampi(r, 0, 100), true);
  }
}

// ---------------------------------------------------------------- the bus

bool sim_bus_devices(BusConfig *conf,
                     std::vector<std::unique_ptr<SimDevice>> *devices,
                     std::string *why) {
  const char *path = getenv("VIRIZEDA_SIM_CONFIG");
  std::string err;
  BusConfig c;
  if (path && *path) {
    if (!vz_load_config(path, &c, &err)) {
      *why = std::string("configuration ") + path + ": " + err;
      return false;
    }
  } else {
    c = vz_default_bus();
  }
  if (c.bus_fail) {
    *why = std::string("simulated bus cannot be opened (bus_fail in ") +
           (path ? path : "") + ")";
    return false;
  }
  std::string dir = vz_state_dir();
  struct stat st;
  if (!dir.empty()) {
    const char *bad = nullptr;
    if (stat(dir.c_str(), &st) != 0 || access(dir.c_str(), W_OK | X_OK) != 0)
      bad = strerror(errno);
    else if (!S_ISDIR(st.st_mode))
      bad = "not a directory";
    if (bad)
      vz_diag("state directory %s cannot be used: %s; device state will not "
              "persist", dir.c_str(), bad);
  }
  devices->clear();
  for (size_t i = 0; i < c.cams.size(); ++i)
    devices->emplace_back(new SimDevice(c.cams[i], (int)i, c.bus_speed));
  *conf = c;
  return true;
}

}  // namespace vz
