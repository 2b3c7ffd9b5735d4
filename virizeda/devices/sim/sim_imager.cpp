// The simulated camera's imager: the test scene in the mode set, and the
// automatic controls stepped after each frame.
#include "devices/sim/sim_device.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <type_traits>

#include "core/formats.h"

namespace vz {

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
    double target = std::clamp(ae_target_ + (int)c.auto_bias, 1, 254);
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
                  std::clamp(gain + d_gain, 0, std::clamp(c.max_gain, 0, 100)));
      else if (ae)
        set_scale(iidc::SHUTTER, std::clamp(exposure + d_exp, 0,
                                       std::clamp(c.max_exposure, 0, 100)));
    }
  }
  if (feat_[iidc::BRIGHTNESS].automatic) {
    int d = (16 - scene_.black_level) / 2;
    if (d == 0 && scene_.black_level != 16) d = scene_.black_level < 16 ? 1 : -1;
    set_scale(iidc::BRIGHTNESS, std::clamp(scale(iidc::BRIGHTNESS) + d, 0,
                                      std::clamp(c.max_brightness, 0, 100)));
  }
  if (feat_[iidc::WHITE_BALANCE].automatic) {
    // the gains that cancel the imager's tint
    const int red = 58, blue = 43;
    int r = vz_raw_to_scale((int)feat_[iidc::WHITE_BALANCE].value2, 0, 255);
    int b = scale(iidc::WHITE_BALANCE);
    r += (red - r) / 2 + (red > r) - (red < r);
    b += (blue - b) / 2 + (blue > b) - (blue < b);
    set_scale(iidc::WHITE_BALANCE, std::clamp(b, 0, 100));
    set_scale(iidc::WHITE_BALANCE, std::clamp(r, 0, 100), true);
  }
}

}  // namespace vz
