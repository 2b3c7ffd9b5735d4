#include "core/camera.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "core/call_log.h"
#include "core/clock.h"
#include "core/convert.h"
#include "core/diag.h"
#include "core/formats.h"
#include "iidc/iidc.h"
#include "iidc/maker_block.h"
#include "iidc/rom.h"

namespace vz {

namespace {

const char *fmt_name(int size, int type, int speed, int fdiv, char *buf,
                     size_t n) {
  int w = 0, h = 0;
  vz_size_dims(size, &w, &h);
  snprintf(buf, n, "%dx%d %s at %s fps, divider %d", w, h, vz_type_name(type),
           vz_speed_name(speed), fdiv);
  return buf;
}

// The IIDC rate a speed runs the imager at, and how many of its frames make
// one: 10 and 5 fps have no IIDC code, so every third frame of 30 and 15.
void imager_rate(int speed, int *rate, int *every) {
  int code = vz_iidc_rate_code(speed);
  *every = code < 0 ? 3 : 1;
  *rate = code >= 0 ? code : (speed == S_10 ? iidc::RATE_30 : iidc::RATE_15);
}

iidc::Coding coding_for(int type) {
  if (type == S_RGB24) return iidc::Coding::RGB8;
  if (type == S_BAYER) return iidc::Coding::RAW8;
  return iidc::Coding::MONO8;
}

const int sizes[] = {S_1280x960, S_640x480, S_320x240, S_160x120};
const int types[] = {S_MONO, S_RGB24, S_BAYER};

}  // namespace

Camera::Camera(dSystem *bus, int num, Device *dev)
    : dCamera(bus, num), dev_(dev), num_(num), block_(dev, num) {
  error_[0] = '\0';
  error = error_;
}

Camera::~Camera() {}

// ---------------------------------------------------------------- opening

void Camera::open() {
  fill_capabilities();
  if (!opened_) {
    power_on_state();
    opened_ = true;
  }
  read_identity();
  read_values();
  read_local();
  frame_div = fdiv_;
  initialized = true;
  vz_diag("camera %d \"%s\" opened: %s%s, imager %d, id %08x%s", num_,
          dev_->model().c_str(), isStereo ? "stereo " : "",
          has_color ? (isBayer ? "Bayer colour" : "colour") : "monochrome",
          camImager, (unsigned)devID, on_ ? ", still streaming" : "");
}

void Camera::fill_capabilities() {
  modes_ = dev_->modes();
  for (int f = 0; f < iidc::FEATURES; ++f)
    if (!dev_->feature_info(f, &info_[f])) info_[f] = FeatureInfo();
  block_.find();
  uint32_t rom0 = 0;
  has_rom_ = dev_->read_quadlet(iidc::ROM_BASE, &rom0);
  told_ = dev_->extras(&extras_);
  if (!told_) {
    // a plain IIDC camera, or a maker's one that tells through its block
    extras_ = Extras();
    iidc::CameraWords w;
    if (block_.camera_words(&w)) {
      extras_.stereo = w.stereo, extras_.bayer = w.bayer;
      extras_.imager = w.imager;
      extras_.fw_firmware = w.fw_firmware, extras_.cam_firmware = w.cam_firmware;
    }
  }
  const Extras &e = extras_;
  has_color = false;
  max_width = max_height = 0;
  for (const Mode &m : modes_) {
    if (m.coding != iidc::Coding::MONO8) has_color = true;
    if (m.width > max_width) max_width = m.width;
    if (m.height > max_height) max_height = m.height;
    if (m.filter == iidc::Filter::BGGR) isBGGR = true;
  }
  isStereo = e.stereo, isBayer = e.bayer, isBGGR = e.bggr || isBGGR;
  camImager = e.imager, fwFirmware = e.fw_firmware;
  camFirmware = e.cam_firmware;
  has_proc_mode = e.has_proc_mode, procFirmware = e.proc_firmware;
  const FeatureInfo *in = info_;
  has_auto_brightness = in[iidc::BRIGHTNESS].has_auto;
  has_manual_brightness = in[iidc::BRIGHTNESS].has_manual;
  has_auto_exposure = in[iidc::SHUTTER].has_auto;
  has_manual_exposure = in[iidc::SHUTTER].has_manual;
  has_auto_gain = in[iidc::GAIN].has_auto;
  has_manual_gain = in[iidc::GAIN].has_manual;
  has_sharpness = in[iidc::SHARPNESS].present;
  has_gamma = in[iidc::GAMMA].present;
  has_saturation = in[iidc::SATURATION].present;
  has_auto_whitebalance = in[iidc::WHITE_BALANCE].has_auto;
  has_manual_whitebalance = in[iidc::WHITE_BALANCE].has_manual;
  max_brightness = e.max_brightness, max_exposure = e.max_exposure;
  max_gain = e.max_gain, max_sharpness = e.max_sharpness;
  max_saturation = e.max_saturation, max_white_gain = e.max_white_gain;
  has_chip_balance = e.has_chip_balance;
  has_y_offset = e.has_y_offset, max_y_offset = e.max_y_offset;
  has_frame_div = e.has_frame_div;
  max_frame_div = e.max_frame_div > 0 ? e.max_frame_div : 1;
  if (!told_) {
    // IIDC has no divider: the library keeps one frame in n
    has_frame_div = true;
    max_frame_div = 16;
  }
  // without a type word of its own, a raw mosaic with its colour filter
  // tells a Bayer imager
  if (!told_ && !block_.present())
    for (const Mode &m : modes_)
      if (m.coding == iidc::Coding::RAW8 && m.filter != iidc::Filter::NONE) isBayer = true;
  has_50Hz_rate = e.has_50Hz_rate;
  has_black_offset = e.has_black_offset;
  max_black_offset = e.max_black_offset;
}

// The identity as the configuration ROM holds it now, so a serial just
// programmed shows at once.
void Camera::read_identity() {
  uint32_t lo = 0;
  if (dev_->read_quadlet(iidc::ROM_BASE + 4 * iidc::ROM_CHIP_LO, &lo))
    devID = (int)lo;
  else if (extras_.dev_id >= 0)
    devID = extras_.dev_id;
  else
    devID = (int)(dev_->guid() & 0xffffffffu);
  // another maker's camera (no local block, nothing stated) is never shown
  // as unprogrammed, so nobody is offered to program its ROM
  if (!told_ && !block_.present() && (devID & 0xffff) == 0xffff) devID &= ~1;
}

// Video parameters as the device's feature registers show them.
void Camera::read_values() {
  struct Field {
    int feature;
    int *value;
    bool *automatic;
  } fields[] = {{iidc::BRIGHTNESS, &brightness, &auto_brightness},
                {iidc::SHUTTER, &exposure, &do_auto_exposure},
                {iidc::GAIN, &gain, &do_auto_gain},
                {iidc::SHARPNESS, &sharpness, nullptr},
                {iidc::SATURATION, &saturation, nullptr},
                {iidc::WHITE_BALANCE, &bluegain, &auto_whitebalance}};
  for (const Field &f : fields) {
    FeatureState s;
    const FeatureInfo &in = info_[f.feature];
    if (!in.present || !dev_->get_feature(f.feature, &s)) continue;
    *f.value = vz_raw_to_scale((int)s.value, (int)in.min, (int)in.max);
    if (f.automatic) *f.automatic = s.automatic;
    if (f.feature == iidc::WHITE_BALANCE)
      redgain = vz_raw_to_scale((int)s.value2, (int)in.min, (int)in.max);
  }
  FeatureState g;
  if (info_[iidc::GAMMA].present && dev_->get_feature(iidc::GAMMA, &g)) gamma = g.on;
}

// Fields that mirror the local parameter block.
void Camera::read_local() {
  iidc::LocalWords w = block_.read();
  isReversed = w.reversed;
  y_offset = w.y_offset, y_offset_right = w.y_offset_right;
  black_offset = w.black, black_offset_right = w.black_right;
  procMode = (proc_mode_type)std::clamp(w.proc_mode, (int)PROC_MODE_OFF,
                                        (int)PROC_MODE_DISPARITY_RAW);
  is_50Hz_rate = has_50Hz_rate && w.rate_50;
}

void Camera::sync_from_device() {
  read_identity();
  read_values();
  read_local();
}

// A camera just switched on: the largest of the usual sizes up to 640x480,
// Mono, 15 fps, no divider, no stream.
void Camera::power_on_state() {
  on_ = pending_ = false;
  delivered_ = dropped_ = unreported_ = 0;
  size_ = max_width >= 640 && max_height >= 480 ? S_640x480 : S_320x240;
  if (max_width < 320 || max_height < 240) size_ = S_160x120;
  type_ = S_MONO;
  speed_ = S_15;
  fdiv_ = 1;
  std::string why;
  apply_format(size_, type_, speed_, fdiv_, &why);
  colorAlg = extras_.color_alg;
  auto_kp = extras_.auto_kp, auto_hyst = extras_.auto_hyst;
  auto_bias = extras_.auto_bias;
  // controls the device lacks show the usual starting values
  brightness = exposure = sharpness = saturation = 50;
  redgain = bluegain = 50;
  gain = 0;
  gamma = auto_brightness = do_auto_exposure = do_auto_gain = false;
  auto_whitebalance = false;
}

int Camera::Index() { return num_; }

void Camera::renumber(int num) {
  num_ = num;
  block_ = iidc::MakerBlock(dev_, num);
}

bool Camera::SetSync(int delta) {
  vz_log_call("SetSync(%d)", delta);
  return true;
}

bool Camera::Reset() {
  vz_log_call("Reset()");
  if (on_) Stop();
  dev_->write_quadlet(iidc::DCAM_BASE + iidc::DC_INITIALIZE, 1u << 31);
  power_on_state();
  sync_from_device();
  frame_div = fdiv_;
  vz_diag("camera %d reset to its power-on state", num_);
  return true;
}

// ---------------------------------------------------------------- formats

bool Camera::refuse(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(error_, sizeof error_, fmt, ap);
  va_end(ap);
  error = error_;
  vz_diag("camera %d: format refused: %s", num_, error_);
  return false;
}

bool Camera::check_format(int size, int type, int speed, int fdiv) {
  int w = 0, h = 0;
  if (!vz_size_dims(size, &w, &h)) return refuse("image size %d is unknown", size);
  if (!vz_size_delivered(size))
    return refuse("%dx%d is not delivered by this camera "
                  "(1280x960, 640x480, 320x240 and 160x120 are)", w, h);
  if (w > max_width || h > max_height)
    return refuse("%dx%d is larger than the imager (%dx%d)", w, h, max_width,
                  max_height);
  if (type < 0 || type > S_BAYER) return refuse("pixel type %d is unknown", type);
  if (!vz_type_bpp(type))
    return refuse("%s is not delivered by this camera (Mono, RGB24 and "
                  "Bayer are)", vz_type_name(type));
  if (type != S_MONO && !has_color)
    return refuse("%s needs a colour camera; this one is monochrome",
                  vz_type_name(type));
  double fps = vz_speed_fps(speed);
  if (fps <= 0) return refuse("frame rate %d is unknown", speed);
  if (!has_frame_div && fdiv != 1)
    return refuse("frame divider %d: this camera has none (only 1)", fdiv);
  if (fdiv < 1 || fdiv > max_frame_div)
    return refuse("frame divider %d is out of range 1 to %d", fdiv,
                  max_frame_div);
  // the isochronous channel is reserved for the imager's full rate, at the
  // speed the camera sends; a camera reached through a camera library gets
  // its speed and bandwidth when it starts, and Start says what is missing
  if (!told_) return true;
  // (a device without IIDC registers is on no 1394 bus)
  uint32_t iso = 0;
  if (!dev_->read_quadlet(iidc::DCAM_BASE + iidc::DC_ISO_CHANNEL, &iso)) return true;
  int bus = 100 << ((iso & (1u << 15)) ? (iso & 7) : ((iso >> 24) & 3));  // 1394b or legacy
  double need = (double)w * h * vz_type_bpp(type) * fps;
  double carry = vz_bus_bytes_per_sec(bus);
  if (need > carry)
    return refuse("%dx%d %s at %s fps needs %.1f MiB/s; the S%d bus carries "
                  "%.1f MiB/s", w, h, vz_type_name(type), vz_speed_name(speed),
                  need / 1048576.0, bus, carry / 1048576.0);
  return true;
}

// The device mode for a size, type and rate: the camera's own mode of that
// size and coding first, then Format_7 cut to the size, then a mode whose
// frames the library converts (YUV or RGB8 to mono, YUV to RGB24, a Bayer
// mosaic interpolated to RGB24). Of these the first that has the rate;
// without one, the first at all (rate -1: any).
bool Camera::choose_mode(int w, int h, int type, int rate, Mode *out) {
  std::vector<iidc::Coding> order = {coding_for(type)};
  if (type == S_RGB24)
    order.insert(order.end(), {iidc::Coding::YUV444, iidc::Coding::YUV422, iidc::Coding::YUV411, iidc::Coding::RAW8});
  if (type == S_MONO)
    order.insert(order.end(), {iidc::Coding::YUV422, iidc::Coding::YUV411, iidc::Coding::YUV444, iidc::Coding::RGB8});
  bool found = false;
  for (iidc::Coding c : order)
    for (bool f7 : {false, true})
      for (const Mode &m : modes_) {
        if (m.coding != c || (m.format == 7) != f7) continue;
        if (c == iidc::Coding::RAW8 && type == S_RGB24 && m.filter == iidc::Filter::NONE) continue;
        Mode cand = m;
        if (!f7) {
          if (m.width != w || m.height != h) continue;
        } else {
          if (w > m.width || h > m.height) continue;
          if ((m.unit_w > 0 && w % m.unit_w) || (m.unit_h > 0 && h % m.unit_h)) continue;
          cand.width = w, cand.height = h;
        }
        if (!found) *out = cand;
        found = true;
        if (rate < 0 || (cand.rates & (1u << rate))) {
          *out = cand;
          return true;
        }
      }
  return found;
}

namespace {

std::string join(const std::vector<std::string> &items) {
  std::string s;
  for (size_t i = 0; i < items.size(); ++i)
    s += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  return s;
}

}  // namespace

// The sizes the camera delivers in any type, smallest first.
std::string Camera::sizes_offered() {
  std::vector<std::string> out;
  for (int i = 3; i >= 0; --i) {
    int w = 0, h = 0;
    Mode m;
    vz_size_dims(sizes[i], &w, &h);
    for (int type : types)
      if (choose_mode(w, h, type, -1, &m)) {
        out.push_back(std::to_string(w) + "x" + std::to_string(h));
        break;
      }
  }
  return out.empty() ? "nothing" : join(out);
}

std::string Camera::types_offered(int w, int h) {
  std::vector<std::string> out;
  Mode m;
  for (int type : types)
    if (choose_mode(w, h, type, -1, &m)) out.push_back(vz_type_name(type));
  return join(out);
}

std::string Camera::rates_offered(const Mode &m, int type) {
  std::vector<std::string> out;
  for (int speed : {S_60, S_30, S_15, S_10, S_7, S_5, S_3}) {
    int rate = 0, every = 1;
    imager_rate(speed, &rate, &every);
    Mode c;
    if (choose_mode(m.width, m.height, type, rate, &c) && (c.rates & (1u << rate)))
      out.push_back(vz_speed_name(speed));
  }
  return out.empty() ? "no rate" : join(out);
}

bool Camera::apply_format(int size, int type, int speed, int fdiv,
                          std::string *why) {
  int w = 0, h = 0, rate = 0, every = 1;
  vz_size_dims(size, &w, &h);
  imager_rate(speed, &rate, &every);
  Mode m;
  std::string wh = std::to_string(w) + "x" + std::to_string(h);
  if (!choose_mode(w, h, type, rate, &m)) {
    std::string types = types_offered(w, h);
    if (types.empty())
      *why = wh + " is not offered by this camera; it offers " + sizes_offered();
    else
      *why = wh + " " + vz_type_name(type) + " is not offered by this camera; at " +
             wh + " it offers " + types;
    return false;
  }
  if (!(m.rates & (1u << rate))) {
    *why = std::string(vz_speed_name(speed)) + " fps is not offered for " + wh + " " +
           vz_type_name(type) + "; it offers " + rates_offered(m, type) + " fps";
    return false;
  }
  if (!dev_->set_mode(m, rate, why)) return false;
  convert_ = m.coding != coding_for(type);
  from_ = m.coding, filter_ = m.filter;
  // converted frames go to memory of our own, made once
  if (convert_ && buffer_.size() < (size_t)w * h * 3)
    buffer_.assign((size_t)max_width * max_height * 3, 0);
  int n = every * fdiv;
  skip_ = dev_->set_decimation(n) ? 1 : n;
  if (skip_ > 1) dev_->set_decimation(1);
  size_ = (dISIZE)size, type_ = (dITYPE)type, speed_ = (dISPEED)speed;
  fdiv_ = fdiv;
  size_t px = (size_t)w * h;
  need_ = (uint32_t)(convert_ ? coding_bytes(from_, px) : px * vz_type_bpp(type_));
  return true;
}

bool Camera::SetFormat(dISIZE size, dITYPE type, dISPEED speed, int fdiv,
                       bool flag) {
  vz_log_call("SetFormat(%d,%d,%d,%d,%d)", (int)size, (int)type, (int)speed,
              fdiv, flag ? 1 : 0);
  if (!check_format(size, type, speed, fdiv)) return false;
  std::string why;
  if (!apply_format(size, type, speed, fdiv, &why))
    return refuse("%s", why.c_str());
  frame_div = fdiv;
  error_[0] = '\0';
  char buf[128];
  vz_diag("camera %d: format %s", num_,
          fmt_name(size, type, speed, fdiv, buf, sizeof buf));
  return true;
}

dISIZE Camera::Size() { return size_; }
dITYPE Camera::Type() { return type_; }
dISPEED Camera::Speed() { return speed_; }

// ---------------------------------------------------------------- stream

void Camera::begin_stream() {
  on_ = true;
  pending_ = false;
  last_k_ = -1;
  delivered_ = dropped_ = unreported_ = 0;
  last_report_ = vz_mono_us() - 1000000;  // the first drop is told at once
  stay_ = dev_->frames_stay();
  if (buffer_.empty() && !stay_)
    buffer_.assign((size_t)max_width * max_height * 3, 0);
}

bool Camera::Start() {
  vz_log_call("Start()");
  std::string why;
  // registers written since may have changed the mode; frames must match
  // the format the program set
  if ((!on_ && !apply_format(size_, type_, speed_, fdiv_, &why)) || !dev_->start(&why)) {
    snprintf(error_, sizeof error_, "%s", why.c_str());
    error = error_;
    vz_diag("camera %d: %s", num_, error_);
    return false;
  }
  error_[0] = '\0';
  if (on_) return true;
  begin_stream();
  char buf[128];
  vz_diag("camera %d: started, %s", num_,
          fmt_name(size_, type_, speed_, fdiv_, buf, sizeof buf));
  return true;
}

bool Camera::Stop() {
  vz_log_call("Stop()");
  if (!on_) return true;
  dev_->stop();
  on_ = pending_ = false;
  vz_diag("camera %d: stopped after %ld frames, %ld dropped", num_,
          delivered_, dropped_);
  return true;
}

void Camera::report_drops(int64_t now, bool force) {
  if (!unreported_) return;
  if (!force && now - last_report_ < 1000000) return;
  vz_diag("camera %d: %ld frames dropped (%ld in this stream)", num_,
          unreported_, dropped_);
  unreported_ = 0;
  last_report_ = now;
}

// The next frame the program may see: with frames skipped on this side,
// only the last imager frame of each group.
[[gnu::hot]] Next Camera::take(int wait_ms, Frame *f) {
  int64_t now = vz_mono_us();
  int64_t limit = now + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  // frames come one at a time, so a whole group passes within this bound
  for (int tries = 0; tries < 4 * skip_ + 16; ++tries) {
    if (tries) now = vz_mono_us();
    int64_t left = limit - now;
    int ms = left > 0 ? (int)((left + 999) / 1000) : 0;
    Next r = dev_->next_frame(ms, f);
    if (r != Next::FRAME) return r;
    if (skip_ <= 1 || (f->seq + 1) % (uint64_t)skip_ == 0) return r;
  }
  return Next::TIMEOUT;
}

[[gnu::hot]] bool Camera::deliver(const Frame &f, unsigned char **image,
                                  int *frame, unsigned long *usec) {
  // the program reads a whole frame: a short one is never handed over
  if (f.bytes < need_) {
    vz_diag("camera %d: a frame of %u bytes is shorter than %u; skipped", num_,
            f.bytes, need_);
    return false;
  }
  int64_t k = skip_ > 1 ? (int64_t)((f.seq + 1) / skip_) - 1 : (int64_t)f.seq;
  long lost = skip_ > 1 ? (last_k_ >= 0 ? (long)(k - last_k_ - 1) : (long)k)
                        : (long)f.dropped;
  if (lost > 0) dropped_ += lost, unreported_ += lost;
  last_k_ = k;
  delivered_++;
  unsigned char *p = f.data;
  if (convert_) {
    int w = 0, h = 0;
    vz_size_dims(size_, &w, &h);
    convert(from_, filter_, type_ == S_RGB24 ? Pixels::RGB24 : Pixels::MONO, f.data,
            buffer_.data(), w, h);
    p = buffer_.data();
  } else if (!stay_) {
    size_t n = f.bytes < buffer_.size() ? f.bytes : buffer_.size();
    memcpy(buffer_.data(), f.data, n);
    p = buffer_.data();
  }
  if (image) *image = p;
  if (frame) *frame = (int)(k & 0x7fffffff);
  if (usec) *usec = (unsigned long)f.usec;
  // automatic controls move the values the program shows
  if (auto_brightness || do_auto_exposure || do_auto_gain || auto_whitebalance)
    read_values();
  if (unreported_) report_drops(vz_mono_us(), false);
  return true;
}

// The frame path runs once a frame, after the thread slept and the frame
// went through the caches: its functions are marked hot so that they lie
// together and a frame touches fewer lines of code.
[[gnu::hot]] bool Camera::GetImage(unsigned char **image, int wait_ms,
                                   int *frame, unsigned long *usec) {
  if (!on_ || !opened_) return false;
  if (pending_) {
    pending_ = false;
    return deliver(pending_frame_, image, frame, usec);
  }
  Frame f;
  Next r = take(wait_ms, &f);
  if (r == Next::GONE) {
    vz_diag("camera %d: the device is gone", num_);
    on_ = false;
  }
  if (r != Next::FRAME) return false;
  return deliver(f, image, frame, usec);
}

bool Camera::ReadyImage(int wait_ms) {
  if (!on_ || !opened_) return false;
  if (pending_) return true;
  bool ready = false;
  if (dev_->frame_ready(wait_ms, &ready)) return ready;
  pending_ = take(wait_ms, &pending_frame_) == Next::FRAME;
  return pending_;
}

void Camera::FlushImages() {
  vz_log_call("FlushImages()");
  if (!on_) return;
  pending_ = false;
  dev_->flush();
}

// ---------------------------------------------------------------- parameters

bool Camera::set_param(const char *what, bool present, int *field, int max,
                       int value) {
  if (!present) {
    vz_diag("camera %d: no %s control; %d ignored", num_, what, value);
    return false;
  }
  int top = std::min(max, 100);
  int v = std::clamp(value, 0, top);
  if (v != value)
    vz_diag("camera %d: %s %d is out of range 0 to %d; %d used", num_, what,
            value, top, v);
  *field = v;
  return true;
}

// A feature set on the 0-100 scale (value2: white balance red).
bool Camera::set_raw(int feature, bool automatic, int value, int value2) {
  const FeatureInfo &in = info_[feature];
  FeatureState s;
  dev_->get_feature(feature, &s);
  s.automatic = automatic;
  if (!automatic) {
    s.value = (uint32_t)vz_scale_to_raw(value, (int)in.min, (int)in.max);
    s.value2 = (uint32_t)vz_scale_to_raw(value2, (int)in.min, (int)in.max);
  }
  if (dev_->set_feature(feature, s)) return true;
  vz_diag("camera %d: the device refused feature %d", num_, feature);
  return false;
}

// Exposure, gain or brightness: automatic where the device has it, else
// the value on the 0-100 scale.
void Camera::set_control(const char *what, int feature, bool has_auto,
                         bool has_manual, int max, int *value, bool *automatic,
                         int v, bool want_auto) {
  if (want_auto && has_auto) {
    if (set_raw(feature, true, 0)) *automatic = true;
    return;
  }
  if (want_auto) vz_diag("camera %d: no automatic %s", num_, what);
  if (set_param(what, has_manual, value, max, v) &&
      set_raw(feature, false, *value))
    *automatic = false;
}

void Camera::SetExposure(int value, bool automatic) {
  vz_log_call("SetExposure(%d,%d)", value, automatic ? 1 : 0);
  set_control("exposure", iidc::SHUTTER, has_auto_exposure, has_manual_exposure,
              max_exposure, &exposure, &do_auto_exposure, value, automatic);
}

void Camera::SetGain(int value, bool automatic) {
  vz_log_call("SetGain(%d,%d)", value, automatic ? 1 : 0);
  set_control("gain", iidc::GAIN, has_auto_gain, has_manual_gain, max_gain,
              &gain, &do_auto_gain, value, automatic);
}

void Camera::SetBrightness(int value, bool automatic) {
  vz_log_call("SetBrightness(%d,%d)", value, automatic ? 1 : 0);
  set_control("brightness", iidc::BRIGHTNESS, has_auto_brightness,
              has_manual_brightness, max_brightness, &brightness,
              &auto_brightness, value, automatic);
}

void Camera::SetWhiteBalance(int red, int blue, bool automatic) {
  vz_log_call("SetWhiteBalance(%d,%d,%d)", red, blue, automatic ? 1 : 0);
  if (automatic && has_color && has_auto_whitebalance) {
    if (set_raw(iidc::WHITE_BALANCE, true, 0)) auto_whitebalance = true;
    return;
  }
  if (automatic) vz_diag("camera %d: no automatic white balance", num_);
  bool present = has_color && has_manual_whitebalance;
  int r = redgain, b = bluegain;
  if (set_param("white balance red", present, &r, max_white_gain, red) &&
      set_param("white balance blue", present, &b, max_white_gain, blue) &&
      set_raw(iidc::WHITE_BALANCE, false, b, r)) {
    redgain = r, bluegain = b;
    auto_whitebalance = false;
  }
}

void Camera::SetSaturation(int value) {
  vz_log_call("SetSaturation(%d)", value);
  int v = saturation;
  if (set_param("saturation", has_color && has_saturation, &v, max_saturation,
                value) &&
      set_raw(iidc::SATURATION, false, v))
    saturation = v;
}

void Camera::SetGamma(bool on) {
  vz_log_call("SetGamma(%d)", on ? 1 : 0);
  if (!has_gamma) {
    vz_diag("camera %d: no imager gamma", num_);
    return;
  }
  FeatureState s;
  s.on = on;
  s.value = on ? info_[iidc::GAMMA].max : info_[iidc::GAMMA].min;
  if (dev_->set_feature(iidc::GAMMA, s)) gamma = on;
}

void Camera::SetSharpness(int value) {
  vz_log_call("SetSharpness(%d)", value);
  int v = sharpness;
  if (set_param("sharpness", has_sharpness, &v, max_sharpness, value) &&
      set_raw(iidc::SHARPNESS, false, v))
    sharpness = v;
}

// A block word changed, and the fields that mirror the block again.
bool Camera::set_local(int word, uint32_t mask, uint32_t bits) {
  bool ok = block_.set(word, mask, bits);
  read_local();
  return ok;
}

void Camera::SetYOffset(int left, int right) {
  vz_log_call("SetYOffset(%d,%d)", left, right);
  int l = left, r = right;
  if (!set_param("vertical offset", has_y_offset, &l, max_y_offset, left) ||
      !set_param("vertical offset", true, &r, max_y_offset, right))
    return;
  if (!set_local(iidc::LP_YOFFSET, 0x00ff00ffu, (uint32_t)l | (uint32_t)r << 16))
    vz_diag("camera %d: vertical offset not taken by the device", num_);
}

void Camera::SetBlackLevel(int left, int right) {
  vz_log_call("SetBlackLevel(%d,%d)", left, right);
  int max = max_black_offset;
  if (!has_black_offset) {
    vz_diag("camera %d: no black level control", num_);
    return;
  }
  int l = std::clamp(left, 0, max), r = std::clamp(right, 0, max);
  if (l != left || r != right)
    vz_diag("camera %d: black level %d,%d out of range 0 to %d; %d,%d used",
            num_, left, right, max, l, r);
  if (!set_local(iidc::LP_BLACK, 0x00ff00ffu, (uint32_t)l | (uint32_t)r << 16))
    vz_diag("camera %d: black level not taken by the device", num_);
}

bool Camera::SetProcMode(proc_mode_type mode) {
  vz_log_call("SetProcMode(%d)", (int)mode);
  if (!has_proc_mode || mode < PROC_MODE_OFF || mode > PROC_MODE_DISPARITY_RAW)
    return false;
  return set_local(iidc::LP_PROC, 0xffu, (uint32_t)mode);
}

bool Camera::SetConfThresh(int thresh) {
  vz_log_call("SetConfThresh(%d)", thresh);
  if (!has_proc_mode || thresh < 0 || thresh > 255) return false;
  return set_local(iidc::LP_PROC, 0xff00u, (uint32_t)thresh << 8);
}

bool Camera::SetUniqThresh(int thresh) {
  vz_log_call("SetUniqThresh(%d)", thresh);
  if (!has_proc_mode || thresh < 0 || thresh > 255) return false;
  return set_local(iidc::LP_PROC, 0xff0000u, (uint32_t)thresh << 16);
}

// ---------------------------------------------------------------- flash

bool Camera::SaveLocalParams() {
  vz_log_call("SaveLocalParams()");
  return block_.save();
}

// Another maker's camera keeps its own things where ours keep the
// calibration, and a camera without IIDC registers has no such place:
// leave them alone.
bool Camera::foreign(const char *what) {
  if (block_.present() || (told_ && has_rom_)) return false;
  vz_diag("camera %d: no local parameter block, so no %s", num_, what);
  return true;
}

bool Camera::GetCalib(char *buf, int len) {
  vz_log_call("GetCalib(%s,%d)", buf ? "buf" : "null", len);
  if (foreign("calibration")) return false;
  return block_.read_calibration(buf, len);
}

bool Camera::SetCalib(char *buf, int len) {
  vz_log_call("SetCalib(%s,%d)", buf ? "buf" : "null", len);
  if (foreign("calibration")) return false;
  return block_.store_calibration(buf, len);
}

// ---------------------------------------------------------------- registers

bool Camera::ReadQuadlet(unsigned long addr, unsigned long *value) {
  uint32_t a = (uint32_t)addr, v = 0;
  vz_log_call("ReadQuadlet(%08x)", a);
  if (!value || (a & 3) || !dev_->read_quadlet(a, &v)) return false;
  *value = v;
  return true;
}

// A program's write goes to the device; the fields that mirror what it
// changed follow.
bool Camera::WriteQuadlet(unsigned long addr, unsigned long value) {
  uint32_t a = (uint32_t)addr, v = (uint32_t)value;
  vz_log_call("WriteQuadlet(%08x,%08x)", a, v);
  if (a & 3) return false;
  bool ok = dev_->write_quadlet(a, v);
  if (a >= iidc::ROM_BASE && a < iidc::ROM_BASE + 4 * iidc::ROM_QUADS) {
    read_identity();  // the device holds what was written, kept or not
    return ok;
  }
  if (!ok) return false;
  if (a == iidc::DCAM_BASE + iidc::DC_INITIALIZE && (v & (1u << 31))) {
    power_on_state();
    sync_from_device();
    frame_div = fdiv_;
    vz_diag("camera %d reset to its power-on state", num_);
  } else if (a == iidc::DCAM_BASE + iidc::DC_ISO_EN) {
    uint32_t en = 0;
    bool running = dev_->read_quadlet(a, &en) && (en >> 31);
    if (running && !on_) begin_stream();
    if (!running) on_ = pending_ = false;
  } else if (a >= iidc::DCAM_BASE + iidc::DC_FEATURE_CTL &&
             a < iidc::DCAM_BASE + iidc::DC_FEATURE_CTL + 0x80) {
    read_values();
  } else if (a >= iidc::LOCAL_BASE && a < iidc::LOCAL_BASE + 4 * iidc::LOCAL_WORDS) {
    read_local();
  }
  return true;
}

}  // namespace vz
