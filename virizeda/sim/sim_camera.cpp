#include "sim_camera.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "diag.h"
#include "formats.h"
#include "sim_internal.h"
#include "sim_state.h"

namespace {

int clampi(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

const char *fmt_name(int size, int type, int speed, int fdiv, char *buf,
                     size_t n) {
  int w = 0, h = 0;
  vz_size_dims(size, &w, &h);
  snprintf(buf, n, "%dx%d %s at %s fps, divider %d", w, h, vz_type_name(type),
           vz_speed_name(speed), fdiv);
  return buf;
}

}  // namespace

SimCamera::SimCamera(dSystem *bus, int num, const CamConfig &conf, int bus_speed)
    : dCamera(bus, num), num_(num), conf_(conf), bus_speed_(bus_speed) {
  error_[0] = '\0';
  error = error_;
  const CamValues &v = conf_.v;
  vz_rom_build(dev_.rom, VZ_VENDOR_ID, num, (uint32_t)v.devID, bus_speed);
  uint32_t *lp = dev_.lp_saved;
  memset(lp, 0, sizeof dev_.lp_saved);
  lp[LP_IDENT] = ((uint32_t)v.devID & 0xffff) |
                 (v.isReversed ? LP_IDENT_INVERT : 0);
  lp[LP_YOFFSET] = (uint32_t)v.y_offset | ((uint32_t)v.y_offset_right << 16);
  lp[LP_BLACK] =
      (uint32_t)v.black_offset | ((uint32_t)v.black_offset_right << 16);
  lp[LP_PROC] = (uint32_t)v.procMode;
  lp[LP_RATE] = v.is_50Hz_rate ? LP_RATE_50 : LP_RATE_60;
  dev_.has_calib = conf_.has_calib;
  dev_.calib = conf_.calib;
  dev_.iso_channel = num & 0xf;
  dev_.iso_speed = bus_speed >= 800 ? 3 : 2;
  load_state();
}

SimCamera::~SimCamera() {}

// Flash contents that an earlier process left in the state directory.
void SimCamera::load_state() {
  if (vz_state_dir().empty()) return;
  std::string data, path = vz_state_file(num_, conf_.chip_id, "rom");
  if (vz_state_load(path, &data)) {
    if (data.size() == 4 * VZ_ROM_QUADS) {
      vz_quadlets_from_bytes(data, dev_.rom, VZ_ROM_QUADS);
    } else {
      vz_diag("state file %s holds %zu bytes, not %d; factory ROM used",
              path.c_str(), data.size(), 4 * VZ_ROM_QUADS);
    }
  }
  path = vz_state_file(num_, conf_.chip_id, "local");
  if (conf_.local_params_version && vz_state_load(path, &data)) {
    if (data.size() == 4 * VZ_LOCAL_WORDS) {
      uint32_t w[VZ_LOCAL_WORDS];
      vz_quadlets_from_bytes(data, w, VZ_LOCAL_WORDS);
      for (int i : {LP_IDENT, LP_YOFFSET, LP_BLACK, LP_PROC, LP_RATE})
        dev_.lp_saved[i] = w[i];
    } else {
      vz_diag("state file %s holds %zu bytes, not %d; defaults used",
              path.c_str(), data.size(), 4 * VZ_LOCAL_WORDS);
    }
  }
  path = vz_state_file(num_, conf_.chip_id, "calib");
  if (vz_state_load(path, &data)) {
    dev_.has_calib = !data.empty();
    dev_.calib = data;
  }
}

bool SimCamera::persist(const char *kind, const std::string &data) {
  if (vz_state_dir().empty()) return true;
  return vz_state_save(vz_state_file(num_, conf_.chip_id, kind), data);
}

// The state of a camera just switched on: saved local block, configured
// video parameters, default format, no stream.
void SimCamera::power_on() {
  const CamValues &v = conf_.v;
  memcpy(dev_.lp, dev_.lp_saved, sizeof dev_.lp);
  memset(dev_.imager, 0, sizeof dev_.imager);
  dev_.imager[0] = (uint16_t)(0x1300 | (conf_.v.camImager & 0xff));
  stream_ = SimStream();
  brightness = v.brightness, auto_brightness = v.auto_brightness;
  exposure = v.exposure, do_auto_exposure = v.do_auto_exposure;
  gain = v.gain, do_auto_gain = v.do_auto_gain;
  sharpness = v.sharpness, saturation = v.saturation;
  gamma = v.gamma;
  redgain = v.redgain, bluegain = v.bluegain;
  auto_whitebalance = v.auto_whitebalance;
  auto_kp = v.auto_kp, auto_hyst = v.auto_hyst, auto_bias = v.auto_bias;
  colorAlg = v.colorAlg;
  dev_.ae_target = 110;
  conf_thresh_ = uniq_thresh_ = 0;
  size_ = v.max_width >= 640 && v.max_height >= 480 ? S_640x480 : S_320x240;
  if (v.max_width < 320 || v.max_height < 240) size_ = S_160x120;
  type_ = S_MONO;
  speed_ = S_15;
  fdiv_ = 1;
  apply_local();
}

// dCamera fields that mirror the local parameter block.
void SimCamera::apply_local() {
  const uint32_t *lp = dev_.lp;
  isReversed = lp[LP_IDENT] & LP_IDENT_INVERT;
  y_offset = lp[LP_YOFFSET] & 0xff;
  y_offset_right = (lp[LP_YOFFSET] >> 16) & 0xff;
  black_offset = lp[LP_BLACK] & 0xff;
  black_offset_right = (lp[LP_BLACK] >> 16) & 0xff;
  procMode = (proc_mode_type)clampi(lp[LP_PROC] & 0xff, 0, 5);
  conf_thresh_ = (lp[LP_PROC] >> 8) & 0xff;
  uniq_thresh_ = (lp[LP_PROC] >> 16) & 0xff;
  is_50Hz_rate = conf_.v.has_50Hz_rate && lp[LP_RATE] == LP_RATE_50;
}

bool SimCamera::open() {
  if (conf_.fail_open) {
    vz_diag("camera %d \"%s\" cannot be opened (fail_open)", num_,
            conf_.name.c_str());
    initialized = false;
    return false;
  }
  const CamValues &v = conf_.v;
  if (!opened_) {
    frame_.assign((size_t)v.max_width * v.max_height * 3, 0);
    power_on();
    opened_ = true;
  }
  isStereo = v.isStereo, isBayer = v.isBayer, isBGGR = v.isBGGR;
  camImager = v.camImager, fwFirmware = v.fwFirmware;
  camFirmware = v.camFirmware, has_proc_mode = v.has_proc_mode;
  procFirmware = v.procFirmware;
  has_auto_brightness = v.has_auto_brightness;
  has_manual_brightness = v.has_manual_brightness;
  max_brightness = v.max_brightness;
  has_auto_exposure = v.has_auto_exposure;
  has_manual_exposure = v.has_manual_exposure;
  max_exposure = v.max_exposure;
  has_manual_gain = v.has_manual_gain, has_auto_gain = v.has_auto_gain;
  max_gain = v.max_gain;
  has_sharpness = v.has_sharpness, max_sharpness = v.max_sharpness;
  has_gamma = v.has_gamma, has_color = v.has_color;
  has_saturation = v.has_saturation, max_saturation = v.max_saturation;
  has_auto_whitebalance = v.has_auto_whitebalance;
  has_manual_whitebalance = v.has_manual_whitebalance;
  max_white_gain = v.max_white_gain, has_chip_balance = v.has_chip_balance;
  max_width = v.max_width, max_height = v.max_height;
  has_y_offset = v.has_y_offset, max_y_offset = v.max_y_offset;
  has_frame_div = v.has_frame_div, max_frame_div = v.max_frame_div;
  frame_div = fdiv_;
  has_50Hz_rate = v.has_50Hz_rate;
  has_black_offset = v.has_black_offset;
  max_black_offset = v.max_black_offset;
  devID = (int)dev_.rom[ROM_CHIP_LO];  // follows what the ROM was given
  apply_local();
  initialized = true;
  vz_diag("camera %d \"%s\" opened: %s%s, imager %d, id %08x%s", num_,
          conf_.name.c_str(), isStereo ? "stereo " : "",
          has_color ? (isBayer ? "Bayer colour" : "colour") : "monochrome",
          camImager, (unsigned)devID, stream_.on ? ", still streaming" : "");
  return true;
}

int SimCamera::Index() { return num_; }

bool SimCamera::SetSync(int delta) {
  vz_log_call("SetSync(%d)", delta);
  return true;
}

bool SimCamera::Reset() {
  vz_log_call("Reset()");
  if (stream_.on) Stop();
  power_on();
  frame_div = fdiv_;
  vz_diag("camera %d reset to its power-on state", num_);
  return true;
}

// ---------------------------------------------------------------- formats

bool SimCamera::refuse(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(error_, sizeof error_, fmt, ap);
  va_end(ap);
  error = error_;
  vz_diag("camera %d: format refused: %s", num_, error_);
  return false;
}

bool SimCamera::check_format(int size, int type, int speed, int fdiv) {
  int w = 0, h = 0;
  if (!vz_size_dims(size, &w, &h)) return refuse("image size %d is unknown", size);
  if (!vz_size_delivered(size))
    return refuse("%dx%d is not delivered by this camera "
                  "(1280x960, 640x480, 320x240 and 160x120 are)", w, h);
  if (w > conf_.v.max_width || h > conf_.v.max_height)
    return refuse("%dx%d is larger than the imager (%dx%d)", w, h,
                  conf_.v.max_width, conf_.v.max_height);
  if (type < 0 || type > S_BAYER) return refuse("pixel type %d is unknown", type);
  if (!vz_type_bpp(type))
    return refuse("%s is not delivered by this camera (Mono, RGB24 and "
                  "Bayer are)", vz_type_name(type));
  if (type != S_MONO && !conf_.v.has_color)
    return refuse("%s needs a colour camera; this one is monochrome",
                  vz_type_name(type));
  double fps = vz_speed_fps(speed);
  if (fps <= 0) return refuse("frame rate %d is unknown", speed);
  if (!conf_.v.has_frame_div && fdiv != 1)
    return refuse("frame divider %d: this camera has none (only 1)", fdiv);
  if (fdiv < 1 || fdiv > conf_.v.max_frame_div)
    return refuse("frame divider %d is out of range 1 to %d", fdiv,
                  conf_.v.max_frame_div);
  // the isochronous channel is reserved for the imager's full rate
  double need = (double)w * h * vz_type_bpp(type) * fps;
  double carry = vz_bus_bytes_per_sec(bus_speed_);
  if (need > carry)
    return refuse("%dx%d %s at %s fps needs %.1f MiB/s; the S%d bus carries "
                  "%.1f MiB/s", w, h, vz_type_name(type), vz_speed_name(speed),
                  need / 1048576.0, bus_speed_, carry / 1048576.0);
  return true;
}

bool SimCamera::SetFormat(dISIZE size, dITYPE type, dISPEED speed, int fdiv,
                          bool flag) {
  vz_log_call("SetFormat(%d,%d,%d,%d,%d)", (int)size, (int)type, (int)speed,
              fdiv, flag ? 1 : 0);
  if (conf_.refuse_format) return refuse("%s", conf_.refuse_text.c_str());
  if (!check_format(size, type, speed, fdiv)) return false;
  size_ = size, type_ = type, speed_ = speed, fdiv_ = fdiv;
  frame_div = fdiv;
  error_[0] = '\0';
  char buf[128];
  vz_diag("camera %d: format %s", num_,
          fmt_name(size, type, speed, fdiv, buf, sizeof buf));
  if (stream_.on) pace(vz_mono_us());
  return true;
}

dISIZE SimCamera::Size() { return size_; }
dITYPE SimCamera::Type() { return type_; }
dISPEED SimCamera::Speed() { return speed_; }

// Frame timing from now on, the sequence going on where it was.
void SimCamera::pace(int64_t now) {
  double fps = vz_speed_fps(speed_) * (is_50Hz_rate ? 5.0 / 6.0 : 1.0);
  stream_.period = 1e6 * fdiv_ / fps;
  stream_.t0 = now - (int64_t)llround(stream_.next * stream_.period);
  stream_.wall0 = vz_wall_us() - (now - stream_.t0);
}

// ---------------------------------------------------------------- stream

bool SimCamera::Start() {
  vz_log_call("Start()");
  if (conf_.fail_start) {
    snprintf(error_, sizeof error_, "the camera does not start (fail_start)");
    vz_diag("camera %d: %s", num_, error_);
    return false;
  }
  if (stream_.on) return true;
  stream_ = SimStream();
  stream_.on = true;
  int64_t now = vz_mono_us();
  stream_.last_report = now - 1000000;  // the first drop is told at once
  pace(now);
  char buf[128];
  vz_diag("camera %d: started, %s", num_,
          fmt_name(size_, type_, speed_, fdiv_, buf, sizeof buf));
  return true;
}

bool SimCamera::Stop() {
  vz_log_call("Stop()");
  if (!stream_.on) return true;
  stream_.on = false;
  vz_diag("camera %d: stopped after %ld frames, %ld dropped", num_,
          stream_.delivered, stream_.dropped);
  return true;
}

int64_t SimCamera::due(int64_t seq) const {
  return stream_.t0 + (int64_t)llround((seq + 1) * stream_.period);
}

void SimCamera::report_drops(int64_t now, bool force) {
  if (!stream_.unreported) return;
  if (!force && now - stream_.last_report < 1000000) return;
  vz_diag("camera %d: %ld frames dropped (%ld in this stream)", num_,
          stream_.unreported, stream_.dropped);
  stream_.unreported = 0;
  stream_.last_report = now;
}

unsigned char *SimCamera::make_frame(uint32_t seq) {
  if (!opened_) return nullptr;
  SceneFormat f;
  vz_size_dims(size_, &f.w, &f.h);
  f.type = type_;
  f.stereo = conf_.v.isStereo;
  f.bggr = conf_.v.isBGGR;
  vz_scene_prepare(&scene_, f, look());
  vz_scene_render(&scene_, seq, frame_.data());
  return frame_.data();
}

void SimCamera::deliver(int64_t seq, unsigned char **image, int *frame,
                        unsigned long *usec) {
  unsigned char *p = make_frame((uint32_t)seq);
  stream_.next = seq + 1;
  stream_.delivered++;
  if (image) *image = p;
  if (frame) *frame = (int)(seq & 0x7fffffff);
  if (usec)
    *usec = (unsigned long)(stream_.wall0 + (due(seq) - stream_.t0));
  auto_step();
}

bool SimCamera::GetImage(unsigned char **image, int wait_ms, int *frame,
                         unsigned long *usec) {
  if (!stream_.on || !opened_) return false;
  int64_t now = vz_mono_us();
  int64_t limit = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  int64_t seq = stream_.next;
  if (conf_.frames_stop_after >= 0 && seq >= conf_.frames_stop_after) {
    if (!stream_.stop_reported)
      vz_diag("camera %d: no frames after %ld (frames_stop_after)", num_,
              conf_.frames_stop_after);
    stream_.stop_reported = true;
    vz_sleep_until(limit);
    return false;
  }
  if (!conf_.unpaced) {
    if (due(seq) > now) {
      if (due(seq) > limit) {
        vz_sleep_until(limit);
        return false;
      }
      vz_sleep_until(due(seq));
    } else {
      // the newest frame already due; those before it are lost
      int64_t newest = (int64_t)floor((now - stream_.t0) / stream_.period) - 1;
      while (newest > seq && due(newest) > now) --newest;
      while (due(newest + 1) <= now) ++newest;
      if (conf_.frames_stop_after >= 0 && newest >= conf_.frames_stop_after)
        newest = conf_.frames_stop_after - 1;
      if (newest > seq) {
        stream_.dropped += newest - seq;
        stream_.unreported += newest - seq;
        seq = newest;
      }
    }
  }
  deliver(seq, image, frame, usec);
  report_drops(vz_mono_us(), false);
  return true;
}

bool SimCamera::ReadyImage(int wait_ms) {
  if (!stream_.on || !opened_) return false;
  int64_t seq = stream_.next;
  if (conf_.frames_stop_after >= 0 && seq >= conf_.frames_stop_after)
    return false;
  if (conf_.unpaced) return true;
  int64_t now = vz_mono_us();
  int64_t limit = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  if (due(seq) <= now) return true;
  if (due(seq) > limit) {
    vz_sleep_until(limit);
    return false;
  }
  vz_sleep_until(due(seq));
  return true;
}

void SimCamera::FlushImages() {
  vz_log_call("FlushImages()");
  if (!stream_.on || conf_.unpaced) return;
  int64_t now = vz_mono_us();
  while (due(stream_.next) <= now) stream_.next++;
}

// ---------------------------------------------------------------- parameters

bool SimCamera::set_param(const char *what, bool present, int *field, int max,
                          int value) {
  if (!present) {
    vz_diag("camera %d: no %s control; %d ignored", num_, what, value);
    return false;
  }
  int v = clampi(value, 0, max < 100 ? max : 100);
  if (v != value)
    vz_diag("camera %d: %s %d is out of range 0 to %d; %d used", num_, what,
            value, max < 100 ? max : 100, v);
  *field = v;
  return true;
}

void SimCamera::SetExposure(int value, bool automatic) {
  vz_log_call("SetExposure(%d,%d)", value, automatic ? 1 : 0);
  if (automatic && conf_.v.has_auto_exposure) {
    do_auto_exposure = true;
    return;
  }
  if (automatic) vz_diag("camera %d: no automatic exposure", num_);
  if (set_param("exposure", conf_.v.has_manual_exposure, &exposure,
                conf_.v.max_exposure, value))
    do_auto_exposure = false;
}

void SimCamera::SetGain(int value, bool automatic) {
  vz_log_call("SetGain(%d,%d)", value, automatic ? 1 : 0);
  if (automatic && conf_.v.has_auto_gain) {
    do_auto_gain = true;
    return;
  }
  if (automatic) vz_diag("camera %d: no automatic gain", num_);
  if (set_param("gain", conf_.v.has_manual_gain, &gain, conf_.v.max_gain,
                value))
    do_auto_gain = false;
}

void SimCamera::SetBrightness(int value, bool automatic) {
  vz_log_call("SetBrightness(%d,%d)", value, automatic ? 1 : 0);
  if (automatic && conf_.v.has_auto_brightness) {
    auto_brightness = true;
    return;
  }
  if (automatic) vz_diag("camera %d: no automatic brightness", num_);
  if (set_param("brightness", conf_.v.has_manual_brightness, &brightness,
                conf_.v.max_brightness, value))
    auto_brightness = false;
}

void SimCamera::SetWhiteBalance(int red, int blue, bool automatic) {
  vz_log_call("SetWhiteBalance(%d,%d,%d)", red, blue, automatic ? 1 : 0);
  const CamValues &v = conf_.v;
  if (automatic && v.has_color && v.has_auto_whitebalance) {
    auto_whitebalance = true;
    return;
  }
  if (automatic) vz_diag("camera %d: no automatic white balance", num_);
  bool present = v.has_color && v.has_manual_whitebalance;
  if (set_param("white balance red", present, &redgain, v.max_white_gain, red) &&
      set_param("white balance blue", present, &bluegain, v.max_white_gain,
                blue))
    auto_whitebalance = false;
}

void SimCamera::SetSaturation(int value) {
  vz_log_call("SetSaturation(%d)", value);
  set_param("saturation", conf_.v.has_color && conf_.v.has_saturation,
            &saturation, conf_.v.max_saturation, value);
}

void SimCamera::SetGamma(bool on) {
  vz_log_call("SetGamma(%d)", on ? 1 : 0);
  if (!conf_.v.has_gamma) {
    vz_diag("camera %d: no imager gamma", num_);
    return;
  }
  gamma = on;
}

void SimCamera::SetSharpness(int value) {
  vz_log_call("SetSharpness(%d)", value);
  set_param("sharpness", conf_.v.has_sharpness, &sharpness,
            conf_.v.max_sharpness, value);
}

void SimCamera::SetYOffset(int left, int right) {
  vz_log_call("SetYOffset(%d,%d)", left, right);
  int l = left, r = right;
  if (!set_param("vertical offset", conf_.v.has_y_offset, &l,
                 conf_.v.max_y_offset, left) ||
      !set_param("vertical offset", true, &r, conf_.v.max_y_offset, right))
    return;
  dev_.lp[LP_YOFFSET] = (uint32_t)l | ((uint32_t)r << 16);
  apply_local();
}

void SimCamera::SetBlackLevel(int left, int right) {
  vz_log_call("SetBlackLevel(%d,%d)", left, right);
  int l = left, r = right, max = conf_.v.max_black_offset;
  if (!conf_.v.has_black_offset) {
    vz_diag("camera %d: no black level control", num_);
    return;
  }
  l = clampi(left, 0, max), r = clampi(right, 0, max);
  if (l != left || r != right)
    vz_diag("camera %d: black level %d,%d out of range 0 to %d; %d,%d used",
            num_, left, right, max, l, r);
  dev_.lp[LP_BLACK] = (uint32_t)l | ((uint32_t)r << 16);
  apply_local();
}

bool SimCamera::SetProcMode(proc_mode_type mode) {
  vz_log_call("SetProcMode(%d)", (int)mode);
  if (!conf_.v.has_proc_mode || mode < PROC_MODE_OFF ||
      mode > PROC_MODE_DISPARITY_RAW)
    return false;
  dev_.lp[LP_PROC] = (dev_.lp[LP_PROC] & ~0xffu) | (uint32_t)mode;
  apply_local();
  return true;
}

bool SimCamera::SetConfThresh(int thresh) {
  vz_log_call("SetConfThresh(%d)", thresh);
  if (!conf_.v.has_proc_mode || thresh < 0 || thresh > 255) return false;
  dev_.lp[LP_PROC] = (dev_.lp[LP_PROC] & ~0xff00u) | ((uint32_t)thresh << 8);
  apply_local();
  return true;
}

bool SimCamera::SetUniqThresh(int thresh) {
  vz_log_call("SetUniqThresh(%d)", thresh);
  if (!conf_.v.has_proc_mode || thresh < 0 || thresh > 255) return false;
  dev_.lp[LP_PROC] = (dev_.lp[LP_PROC] & ~0xff0000u) | ((uint32_t)thresh << 16);
  apply_local();
  return true;
}

bool SimCamera::set_device_value(const std::string &name, int value) {
  struct {
    const char *name;
    int *field;
    int max;
  } known[] = {{"exposure", &exposure, 100},     {"gain", &gain, 100},
               {"brightness", &brightness, 100}, {"redgain", &redgain, 100},
               {"bluegain", &bluegain, 100},     {"saturation", &saturation, 100},
               {"sharpness", &sharpness, 100}};
  for (auto &k : known)
    if (name == k.name) {
      if (value < 0 || value > k.max) return false;
      *k.field = value;
      return true;
    }
  if (name == "y_offset" && value >= 0 && value <= 255) {
    dev_.lp[LP_YOFFSET] = (dev_.lp[LP_YOFFSET] & ~0xffu) | (uint32_t)value;
    apply_local();
    return true;
  }
  return false;
}

SceneLook SimCamera::look() const {
  const CamValues &v = conf_.v;
  SceneLook l;
  l.exposure = clampi(exposure, 0, 100);
  l.gain = clampi(gain, 0, 100);
  l.brightness = clampi(brightness, 0, 100);
  l.color = v.has_color;
  if (v.has_color) {
    l.redgain = clampi(redgain, 0, 100);
    l.bluegain = clampi(bluegain, 0, 100);
    if (v.has_saturation) l.saturation = clampi(saturation, 0, 100);
  }
  if (v.has_sharpness) l.sharpness = clampi(sharpness, 0, 100);
  l.gamma = v.has_gamma && gamma;
  if (v.has_black_offset) {
    l.black[0] = clampi(black_offset, 0, 255);
    l.black[1] = clampi(black_offset_right, 0, 255);
  }
  if (v.has_y_offset) {
    l.yoff[0] = clampi(y_offset, 0, 255);
    l.yoff[1] = clampi(y_offset_right, 0, 255);
  }
  l.inverted = dev_.lp[LP_IDENT] & LP_IDENT_INVERT;
  return l;
}

// One step of the automatic controls after each delivered frame, from the
// brightness of that frame.
void SimCamera::auto_step() {
  const double kp = auto_kp > 0 ? auto_kp : 0.5;
  if (do_auto_exposure || do_auto_gain) {
    double m = scene_.mean > 1 ? scene_.mean : 1;
    double target = clampi(dev_.ae_target + (int)auto_bias, 1, 254);
    if (fabs(target - m) > auto_hyst) {
      double stops = log2(target / m) * kp;
      int d_exp = (int)lround(stops * 25), d_gain = (int)lround(stops * 50);
      int dir = target > m ? 1 : -1;
      if (d_exp == 0) d_exp = dir;
      if (d_gain == 0) d_gain = dir;
      // exposure first when brightening, gain first when darkening
      bool use_gain = do_auto_gain &&
                      (!do_auto_exposure || (dir > 0 && exposure >= max_exposure) ||
                       (dir < 0 && gain > 0));
      if (use_gain)
        gain = clampi(gain + d_gain, 0, clampi(max_gain, 0, 100));
      else if (do_auto_exposure)
        exposure = clampi(exposure + d_exp, 0, clampi(max_exposure, 0, 100));
    }
  }
  if (auto_brightness) {
    int d = (16 - scene_.black_level) / 2;
    if (d == 0 && scene_.black_level != 16) d = scene_.black_level < 16 ? 1 : -1;
    brightness = clampi(brightness + d, 0, clampi(max_brightness, 0, 100));
  }
  if (auto_whitebalance) {
    // the gains that cancel the imager's tint
    const int red = 58, blue = 43;
    redgain += (red - redgain) / 2 + (red > redgain) - (red < redgain);
    bluegain += (blue - bluegain) / 2 + (blue > bluegain) - (blue < bluegain);
    redgain = clampi(redgain, 0, 100), bluegain = clampi(bluegain, 0, 100);
  }
}
