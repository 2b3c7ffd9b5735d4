// What a camera device offers the camera implementation, pitched at the
// level of a camera library such as libdc1394: modes and rates, features
// with their ranges, raw registers, a stream of frames, identity. The camera
// (core/camera.*) does everything else once for every kind of device:
// format refusals, the 0-100 scale, auto/manual rules, the frame divider,
// drop accounting, the local block's meaning, diagnostics and the call log.
#ifndef VIRIZEDA_CORE_DEVICE_H
#define VIRIZEDA_CORE_DEVICE_H

#include <stdint.h>

#include <string>
#include <vector>

namespace vz {

// Pixel codings a device sends (the IIDC colour codings we use).
enum class Coding { MONO8, RAW8, RGB8, YUV411, YUV422, YUV444 };
// Colour filter of RAW8 frames (and of MONO8 frames from a Bayer imager).
enum class Filter { NONE, RGGB, BGGR, GRBG, GBRG };

// IIDC frame rate codes, as in the CUR_V_FRM_RATE register.
enum Rate {
  RATE_1_875 = 0, RATE_3_75 = 1, RATE_7_5 = 2, RATE_15 = 3,
  RATE_30 = 4, RATE_60 = 5, RATE_120 = 6, RATE_240 = 7
};

// One video mode a device offers.
struct Mode {
  int format = 0;          // IIDC format: 0, 1, 2 or 7
  int mode = 0;            // mode number within the format
  int width = 0, height = 0;
  Coding coding = Coding::MONO8;
  Filter filter = Filter::NONE;
  uint32_t rates = 0;      // bit r set: Rate r offered (Format_7: what fits)
};

// IIDC feature numbers (FEATURE_HI_INQ bit 31 - n; libdc1394's order).
enum Feature {
  F_BRIGHTNESS = 0, F_AUTO_EXPOSURE = 1, F_SHARPNESS = 2,
  F_WHITE_BALANCE = 3, F_HUE = 4, F_SATURATION = 5, F_GAMMA = 6,
  F_SHUTTER = 7, F_GAIN = 8, F_FEATURES = 9
};

struct FeatureInfo {
  bool present = false;
  bool readout = false;    // the value can be read back
  bool on_off = false;     // can be switched off
  bool has_auto = false, has_manual = false;
  uint32_t min = 0, max = 0;
};

struct FeatureState {
  bool on = true;
  bool automatic = false;
  uint32_t value = 0;      // white balance: the blue (U/B) value
  uint32_t value2 = 0;     // white balance: the red (V/R) value
};

struct Frame {
  unsigned char *data = nullptr;  // valid until the next next_frame or stop
  uint32_t bytes = 0;
  uint64_t seq = 0;        // the device's frame count since start
  int64_t usec = 0;        // wall-clock time the frame was taken
  uint32_t dropped = 0;    // frames lost before this one, as far as known
};

enum class Next { FRAME, TIMEOUT, GONE };

class Device {
 public:
  virtual ~Device() = default;

  // identity
  virtual uint64_t guid() const = 0;
  virtual std::string vendor() const = 0;
  virtual std::string model() const = 0;

  // video modes; set_mode fails with a reason in *why
  virtual std::vector<Mode> modes() = 0;
  virtual bool set_mode(const Mode &m, int rate, std::string *why) = 0;

  // features by IIDC number
  virtual bool feature_info(int feature, FeatureInfo *out) = 0;
  virtual bool get_feature(int feature, FeatureState *out) = 0;
  virtual bool set_feature(int feature, const FeatureState &s) = 0;

  // raw registers: addr is the low 32 bits of the node's register offset
  // (0xF0000400 the configuration ROM, 0xF0F00000 the IIDC registers,
  // 0xF0FFF000 the local parameter block)
  virtual bool read_quadlet(uint32_t addr, uint32_t *v) = 0;
  virtual bool write_quadlet(uint32_t addr, uint32_t v) = 0;

  // stream; next_frame hands over the newest frame, returning older ones
  virtual bool start(std::string *why) = 0;
  virtual void stop() = 0;
  virtual Next next_frame(int wait_ms, Frame *f) = 0;
};

}  // namespace vz

#endif
