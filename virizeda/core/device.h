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

#include "iidc/iidc.h"

namespace vz {

// One video mode a device offers.
struct Mode {
  int format = 0;          // IIDC format: 0, 1, 2 or 7
  int mode = 0;            // mode number within the format
  int width = 0, height = 0;
  iidc::Coding coding = iidc::Coding::MONO8;
  iidc::Filter filter = iidc::Filter::NONE;
  uint32_t rates = 0;      // bit r set: Rate r offered (Format_7: what fits)
  // Format_7: modes() lists each coding at the maximum size; set_mode takes
  // any size that is a whole number of these units
  int unit_w = 0, unit_h = 0;
};

// What a maker's camera states about itself beyond the IIDC registers: the
// capabilities its own controls have (0-100 limits of the programs' scale,
// divider, offsets, on-camera processing) and its type. A device that cannot
// tell leaves extras() false; the camera then reads what the local parameter
// block says, or assumes a plain IIDC camera.
struct Extras {
  bool stereo = false, bayer = false, bggr = false;
  int imager = -1, fw_firmware = 0, cam_firmware = 0, proc_firmware = 0;
  int color_alg = 0;
  bool has_proc_mode = false, has_chip_balance = false;
  bool has_frame_div = false;
  int max_frame_div = 1;
  bool has_50Hz_rate = false;
  bool has_y_offset = false;
  int max_y_offset = 0;
  bool has_black_offset = false;
  int max_black_offset = 0;
  // upper limits on the 0-100 scale of each control
  int max_brightness = 100, max_exposure = 100, max_gain = 100;
  int max_sharpness = 100, max_saturation = 100, max_white_gain = 100;
  double auto_kp = 0, auto_hyst = 0, auto_bias = 0;
  // identity as devID shows it, for a device without an IIDC ROM; -1: from
  // the ROM
  int dev_id = -1;
};

struct FeatureInfo {
  bool present = false;
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

  // Optional; the defaults suit any device.
  // Discard every frame already waiting, none of them counted as dropped.
  virtual void flush() {
    Frame f;
    for (int i = 0; i < 1000 && next_frame(0, &f) == Next::FRAME; ++i) {
    }
  }
  // Send only every n-th frame of the imager, numbered on consecutively;
  // false when the device cannot (the camera then skips frames itself).
  virtual bool set_decimation(int n) { return n == 1; }
  virtual bool extras(Extras *) { return false; }
  // Frame memory stays readable after stop, until the device is destroyed,
  // so the camera can hand it to the program without a copy.
  virtual bool frames_stay() const { return false; }
  // Waits up to wait_ms for a frame without taking it; false when the
  // device cannot tell (the camera then takes the frame early and keeps
  // it). A device whose frames stay must answer, or a frame taken early
  // would overwrite the one the program still reads.
  virtual bool frame_ready(int wait_ms, bool *ready) {
    (void)wait_ms, (void)ready;
    return false;
  }
};

}  // namespace vz

#endif
