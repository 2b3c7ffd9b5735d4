// Register access of a simulated camera: configuration ROM, DCAM (IIDC)
// registers and the local parameter block.
#include <stdio.h>
#include <string.h>

#include "diag.h"
#include "formats.h"
#include "sim_camera.h"
#include "sim_internal.h"

namespace {

struct FeatureRange {
  int lo, hi;
};
// raw register ranges behind the programs' 0-100 scale
const FeatureRange ranges[FEAT_COUNT] = {
    {0, 255}, {0, 255}, {0, 255}, {0, 255}, {0, 0},
    {0, 255}, {0, 1},   {1, 1000}, {0, 255}};

const int F7 = 7;

}  // namespace

bool SimCamera::ReadQuadlet(unsigned long addr, unsigned long *value) {
  uint32_t a = (uint32_t)addr, v = 0;
  vz_log_call("ReadQuadlet(%08x)", a);
  bool ok = false;
  if (!value || (a & 3)) return false;
  if (a >= VZ_ROM_BASE && a < VZ_ROM_BASE + 4 * VZ_ROM_QUADS) {
    v = dev_.rom[(a - VZ_ROM_BASE) / 4];
    ok = true;
  } else if (a >= VZ_DCAM_BASE && a < VZ_DCAM_BASE + 0x2000) {
    ok = read_dcam(a - VZ_DCAM_BASE, &v);
  } else if (a >= VZ_LOCAL_BASE && a < VZ_LOCAL_BASE + 4 * VZ_LOCAL_WORDS) {
    ok = read_local((a - VZ_LOCAL_BASE) / 4, &v);
  }
  if (ok) *value = v;
  return ok;
}

bool SimCamera::WriteQuadlet(unsigned long addr, unsigned long value) {
  uint32_t a = (uint32_t)addr, v = (uint32_t)value;
  vz_log_call("WriteQuadlet(%08x,%08x)", a, v);
  if (a & 3) return false;
  if (a >= VZ_ROM_BASE && a < VZ_ROM_BASE + 4 * VZ_ROM_QUADS)
    return write_rom((a - VZ_ROM_BASE) / 4, v);
  if (a >= VZ_DCAM_BASE && a < VZ_DCAM_BASE + 0x2000)
    return write_dcam(a - VZ_DCAM_BASE, v);
  if (a >= VZ_LOCAL_BASE && a < VZ_LOCAL_BASE + 4 * VZ_LOCAL_WORDS)
    return write_local((a - VZ_LOCAL_BASE) / 4, v);
  return false;
}

// The ROM is flash: each write lands in the state directory at once.
bool SimCamera::write_rom(int q, uint32_t v) {
  dev_.rom[q] = v;
  return persist("rom", vz_quadlets_to_bytes(dev_.rom, VZ_ROM_QUADS));
}

// ---------------------------------------------------------------- DCAM

// Formats in IIDC terms: 640x480 Format_0, 1280x960 Format_2 (mono and
// Bayer as Mono8 modes), the smaller sizes Format_7 Mode_0.
int SimCamera::iidc_format() const {
  if (size_ == S_640x480) return 0;
  if (size_ == S_1280x960) return 2;
  return F7;
}

int SimCamera::iidc_mode() const {
  int f = iidc_format();
  if (f == 0) return type_ == S_RGB24 ? 4 : 5;
  if (f == 2) return type_ == S_RGB24 ? 1 : 2;
  return 0;
}

static uint32_t mode_bits(bool big_enough, bool color, int rgb_mode,
                          int mono_mode) {
  if (!big_enough) return 0;
  uint32_t w = 1u << (31 - mono_mode);
  if (color) w |= 1u << (31 - rgb_mode);
  return w;
}

bool SimCamera::read_feature(int n, bool control, uint32_t *v) {
  *v = 0;  // features this camera lacks read as absent
  if (n < 0 || n >= FEAT_COUNT) return true;
  const CamValues &c = conf_.v;
  const FeatureRange &r = ranges[n];
  bool wb = c.has_color && (c.has_manual_whitebalance || c.has_auto_whitebalance);
  bool brt = c.has_manual_brightness || c.has_auto_brightness;
  bool shutter = c.has_manual_exposure || c.has_auto_exposure;
  bool gn = c.has_manual_gain || c.has_auto_gain;
  bool sat = c.has_color && c.has_saturation;
  switch (n) {
    case FEAT_BRIGHTNESS:
      *v = control ? vz_feature_ctl(brt, true, auto_brightness,
                                    vz_scale_to_raw(brightness, r.lo, r.hi))
                   : vz_feature_inq(brt, c.has_auto_brightness,
                                    c.has_manual_brightness, false, r.lo, r.hi);
      return true;
    case FEAT_AUTO_EXPOSURE:
      *v = control ? vz_feature_ctl(c.has_auto_exposure, do_auto_exposure,
                                    false, dev_.ae_target)
                   : vz_feature_inq(c.has_auto_exposure, false, true, true,
                                    r.lo, r.hi);
      return true;
    case FEAT_SHARPNESS:
      *v = control ? vz_feature_ctl(c.has_sharpness, true, false,
                                    vz_scale_to_raw(sharpness, r.lo, r.hi))
                   : vz_feature_inq(c.has_sharpness, false, true, false, r.lo,
                                    r.hi);
      return true;
    case FEAT_WHITE_BALANCE:
      *v = control ? vz_wb_ctl(wb, auto_whitebalance,
                               vz_scale_to_raw(bluegain, r.lo, r.hi),
                               vz_scale_to_raw(redgain, r.lo, r.hi))
                   : vz_feature_inq(wb, c.has_auto_whitebalance,
                                    c.has_manual_whitebalance, false, r.lo,
                                    r.hi);
      return true;
    case FEAT_SATURATION:
      *v = control ? vz_feature_ctl(sat, true, false,
                                    vz_scale_to_raw(saturation, r.lo, r.hi))
                   : vz_feature_inq(sat, false, true, false, r.lo, r.hi);
      return true;
    case FEAT_GAMMA:
      *v = control ? vz_feature_ctl(c.has_gamma, gamma, false, gamma ? 1 : 0)
                   : vz_feature_inq(c.has_gamma, false, true, true, r.lo, r.hi);
      return true;
    case FEAT_SHUTTER:
      *v = control ? vz_feature_ctl(shutter, true, do_auto_exposure,
                                    vz_scale_to_raw(exposure, r.lo, r.hi))
                   : vz_feature_inq(shutter, c.has_auto_exposure,
                                    c.has_manual_exposure, false, r.lo, r.hi);
      return true;
    case FEAT_GAIN:
      *v = control ? vz_feature_ctl(gn, true, do_auto_gain,
                                    vz_scale_to_raw(gain, r.lo, r.hi))
                   : vz_feature_inq(gn, c.has_auto_gain, c.has_manual_gain,
                                    false, r.lo, r.hi);
      return true;
  }
  return true;
}

bool SimCamera::read_dcam(uint32_t off, uint32_t *v) {
  const CamValues &c = conf_.v;
  bool vga = c.max_width >= 640 && c.max_height >= 480;
  bool sxga = c.max_width >= 1280 && c.max_height >= 960;
  if (off >= DC_V_MODE_INQ_0 && off < DC_V_MODE_INQ_0 + 32) {
    int f = (off - DC_V_MODE_INQ_0) / 4;
    *v = f == 0 ? mode_bits(vga, c.has_color, 4, 5)
                : f == 2 ? mode_bits(sxga, c.has_color, 1, 2)
                         : f == F7 ? 1u << 31 : 0;
    return true;
  }
  if (off >= DC_V_RATE_INQ && off < DC_V_RATE_INQ + 3 * 32) {
    int f = (off - DC_V_RATE_INQ) / 32, m = (off - DC_V_RATE_INQ) % 32 / 4;
    uint32_t modes = f == 0 ? mode_bits(vga, c.has_color, 4, 5)
                            : f == 2 ? mode_bits(sxga, c.has_color, 1, 2) : 0;
    // FrameRate_1 (3.75) to FrameRate_5 (60)
    *v = (modes & (1u << (31 - m))) ? 0x7c000000u : 0;
    return true;
  }
  if (off >= DC_V_CSR_INQ_7_0 && off < DC_V_CSR_INQ_7_0 + 32) {
    *v = off == DC_V_CSR_INQ_7_0
             ? (VZ_DCAM_BASE + DC_FORMAT7_0 - 0xF0000000u) / 4 : 0;
    return true;
  }
  if (off >= DC_FEATURE_INQ && off < DC_FEATURE_INQ + 0x80)
    return read_feature((off - DC_FEATURE_INQ) / 4, false, v);
  if (off >= DC_FEATURE_CTL && off < DC_FEATURE_CTL + 0x80)
    return read_feature((off - DC_FEATURE_CTL) / 4, true, v);
  int w = 0, h = 0;
  switch (off) {
    case DC_INITIALIZE:
    case DC_BASIC_FUNC_INQ:
      *v = 0;
      return true;
    case DC_V_FORMAT_INQ:
      *v = (vga ? 1u << 31 : 0) | (sxga ? 1u << 29 : 0) | (1u << 24);
      return true;
    case DC_FEATURE_HI_INQ: {
      uint32_t bits = 0, inq;
      for (int n = 0; n < FEAT_COUNT; ++n)
        if (read_feature(n, false, &inq) && inq) bits |= 1u << (31 - n);
      *v = bits;
      return true;
    }
    case DC_CUR_V_FRM_RATE: {
      // 10 and 5 fps: the imager runs at 30 and 15 and sends every third
      int code = vz_iidc_rate_code(speed_);
      if (code < 0) code = speed_ == S_10 ? 4 : 3;
      *v = (uint32_t)code << 29;
      return true;
    }
    case DC_CUR_V_MODE:
      *v = (uint32_t)iidc_mode() << 29;
      return true;
    case DC_CUR_V_FORMAT:
      *v = (uint32_t)iidc_format() << 29;
      return true;
    case DC_ISO_CHANNEL:
      *v = (uint32_t)dev_.iso_channel << 28 | (uint32_t)dev_.iso_speed << 24;
      return true;
    case DC_CAMERA_POWER:
      *v = 1u << 31;
      return true;
    case DC_ISO_EN:
      *v = stream_.on ? 1u << 31 : 0;
      return true;
    case DC_FORMAT7_0 + 0x000:  // MAX_IMAGE_SIZE_INQ
      *v = 320u << 16 | 240u;
      return true;
    case DC_FORMAT7_0 + 0x004:  // UNIT_SIZE_INQ
      *v = 160u << 16 | 120u;
      return true;
    case DC_FORMAT7_0 + 0x008:  // IMAGE_POSITION
      *v = 0;
      return true;
    case DC_FORMAT7_0 + 0x00C:  // IMAGE_SIZE
      vz_size_dims(iidc_format() == F7 ? size_ : S_320x240, &w, &h);
      *v = (uint32_t)w << 16 | (uint32_t)h;
      return true;
    case DC_FORMAT7_0 + 0x010:  // COLOR_CODING_ID: Mono8 0, RGB8 4, RAW8 9
      *v = (uint32_t)(type_ == S_RGB24 ? 4 : type_ == S_BAYER ? 9 : 0) << 24;
      return true;
    case DC_FORMAT7_0 + 0x014:  // COLOR_CODING_INQ
      *v = (1u << 31) | (c.has_color ? (1u << 27) | (1u << 22) : 0);
      return true;
  }
  return false;
}

bool SimCamera::write_feature(int n, uint32_t v) {
  const CamValues &c = conf_.v;
  uint32_t inq = 0;
  read_feature(n, false, &inq);
  if (!inq) return false;
  bool want_auto = vz_ctl_auto(v);
  if (want_auto && !(inq & (1u << 25))) return false;
  const FeatureRange &r = ranges[n];
  int val = vz_raw_to_scale(vz_ctl_value(v), r.lo, r.hi);
  switch (n) {
    case FEAT_BRIGHTNESS:
      SetBrightness(val, want_auto);
      return true;
    case FEAT_AUTO_EXPOSURE:
      if (vz_ctl_value(v) > 255) return false;
      dev_.ae_target = vz_ctl_value(v);
      return true;
    case FEAT_SHARPNESS:
      SetSharpness(val);
      return true;
    case FEAT_WHITE_BALANCE:
      SetWhiteBalance(val, vz_raw_to_scale(vz_ctl_value_hi(v), r.lo, r.hi),
                      want_auto);
      return true;
    case FEAT_SATURATION:
      SetSaturation(val);
      return true;
    case FEAT_GAMMA:
      SetGamma(vz_ctl_on(v) || vz_ctl_value(v));
      return true;
    case FEAT_SHUTTER:
      if (!want_auto && !c.has_manual_exposure) return false;
      SetExposure(val, want_auto);
      return true;
    case FEAT_GAIN:
      if (!want_auto && !c.has_manual_gain) return false;
      SetGain(val, want_auto);
      return true;
  }
  return false;
}

bool SimCamera::write_dcam(uint32_t off, uint32_t v) {
  if (off >= DC_FEATURE_CTL && off < DC_FEATURE_CTL + 4 * FEAT_COUNT)
    return write_feature((off - DC_FEATURE_CTL) / 4, v);
  switch (off) {
    case DC_INITIALIZE:
      if (v & (1u << 31)) Reset();
      return true;
    case DC_ISO_CHANNEL: {
      int speed = (v >> 24) & 3;
      if (speed > (bus_speed_ >= 800 ? 3 : 2)) return false;
      dev_.iso_channel = (v >> 28) & 0xf;
      dev_.iso_speed = speed;
      return true;
    }
    case DC_ISO_EN:
      return (v & (1u << 31)) ? Start() : Stop();
  }
  return false;
}

// ---------------------------------------------------------------- local block

bool SimCamera::read_local(int word, uint32_t *v) {
  if (!conf_.local_params_version) return false;
  const CamValues &c = conf_.v;
  switch (word) {
    case LP_VERSION:
      *v = conf_.local_params_version;
      return true;
    case LP_CAM_TYPE:
      *v = (((uint32_t)devID >> 16) & 0xf) << 16 | (c.isStereo ? 1u << 10 : 0) |
           (c.isBayer ? 1u << 9 : 0) | (c.has_color ? 1u << 8 : 0) |
           ((uint32_t)c.camImager & 0xff);
      return true;
    case LP_CALIB:
      *v = dev_.has_calib ? (1u << 31) | (uint32_t)(dev_.calib.size() & 0xffffff)
                          : 0;
      return true;
    case LP_FIRMWARE:
      *v = ((uint32_t)c.fwFirmware & 0xffff) << 16 |
           ((uint32_t)c.camFirmware & 0xffff);
      return true;
  }
  *v = dev_.lp[word];
  return true;
}

// Imager registers are reached through the command word: a read request
// makes the word deliver the register, a write request sets it.
static bool imager_command(SimDevice *d, uint32_t v) {
  uint32_t request = v >> 24, reg = (v >> 16) & 0xff;
  if (request == IMAGER_READ) {
    d->lp[LP_IMAGER_CMD] = (v & 0xffff0000u) | d->imager[reg];
    return true;
  }
  if (request == IMAGER_WRITE) {
    d->imager[reg] = (uint16_t)(v & 0xffff);
    d->lp[LP_IMAGER_CMD] = v;
    return true;
  }
  return false;
}

bool SimCamera::write_local(int word, uint32_t v) {
  if (!conf_.local_params_version) return false;
  const CamValues &c = conf_.v;
  uint32_t *lp = dev_.lp;
  switch (word) {
    case LP_IMAGER_CMD:
      return imager_command(&dev_, v);
    case LP_IDENT:
      lp[LP_IDENT] = v & (0xffffu | LP_IDENT_INVERT);
      break;
    case LP_YOFFSET:
    case LP_BLACK: {
      bool has = word == LP_YOFFSET ? c.has_y_offset : c.has_black_offset;
      int max = word == LP_YOFFSET ? c.max_y_offset : c.max_black_offset;
      int l = v & 0xff, r = (v >> 16) & 0xff;
      if (!has || l > max || r > max || (v & 0xff00ff00u)) return false;
      lp[word] = v;
      break;
    }
    case LP_PROC:
      if (!c.has_proc_mode || (v & 0xff) > 5 || (v >> 24)) return false;
      lp[LP_PROC] = v;
      break;
    case LP_RATE:
      if (v != LP_RATE_60 && !(v == LP_RATE_50 && c.has_50Hz_rate))
        return false;
      lp[LP_RATE] = v;
      break;
    default:
      return false;  // version, type, calibration and firmware words
  }
  bool was50 = is_50Hz_rate;
  apply_local();
  if (stream_.on && was50 != is_50Hz_rate) pace(vz_mono_us());
  return true;
}

// ---------------------------------------------------------------- flash

bool SimCamera::SaveLocalParams() {
  vz_log_call("SaveLocalParams()");
  if (!conf_.local_params_version) {
    vz_diag("camera %d: no local parameter block to save", num_);
    return false;
  }
  memcpy(dev_.lp_saved, dev_.lp, sizeof dev_.lp_saved);
  bool ok = persist("local", vz_quadlets_to_bytes(dev_.lp, VZ_LOCAL_WORDS));
  vz_diag("camera %d: local parameters saved%s", num_,
          ok ? "" : " in the device, but not in the state directory");
  return ok;
}

bool SimCamera::GetCalib(char *buf, int len) {
  vz_log_call("GetCalib(%s,%d)", buf ? "buf" : "null", len);
  if (!dev_.has_calib) return false;
  if (!buf) return true;
  if (len < 0 || (size_t)len < dev_.calib.size()) return false;
  memcpy(buf, dev_.calib.data(), dev_.calib.size());
  if ((size_t)len > dev_.calib.size()) buf[dev_.calib.size()] = '\0';
  return true;
}

bool SimCamera::SetCalib(char *buf, int len) {
  vz_log_call("SetCalib(%s,%d)", buf ? "buf" : "null", len);
  if (len < 0 || len > (1 << 20)) {
    vz_diag("camera %d: calibration of %d bytes refused", num_, len);
    return false;
  }
  if (!buf || len == 0) {
    dev_.has_calib = false;
    dev_.calib.clear();
  } else {
    dev_.has_calib = true;
    dev_.calib.assign(buf, (size_t)len);
  }
  bool ok = persist("calib", dev_.calib);
  vz_diag("camera %d: calibration %s%s", num_,
          dev_.has_calib ? "stored" : "erased",
          ok ? "" : " in the device, but not in the state directory");
  return ok;
}
