// A simulated IIDC 1.31 camera: configuration ROM, control and status
// registers (formats, modes, rates, Format_7, features, ISO), the maker's
// local parameter block, flash and calibration, and an imager that renders
// the test scene. All state lives in the register model; the camera
// implementation reaches it through vz::Device, the emulated FireWire bus
// through the register space, rom() and render().
//
// Not thread-safe: one caller at a time.
#ifndef VIRIZEDA_SIM_DEVICE_H
#define VIRIZEDA_SIM_DEVICE_H

#include <stdint.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "devices/sim/scene.h"
#include "devices/sim/sim_config.h"
#include "devices/sim/sim_faults.h"
#include "iidc/iidc.h"
#include "iidc/maker_block.h"
#include "iidc/rom.h"

namespace vz {

class SimDevice : public Device {
 public:
  // Camera num of a bus at bus_speed (400 or 800), from its configuration,
  // starting from the flash state of VIRIZEDA_SIM_STATE when there is one.
  SimDevice(const CamConfig &conf, int num, int bus_speed);
  ~SimDevice() override;

  // vz::Device
  uint64_t guid() const override;
  std::string vendor() const override;
  std::string model() const override;
  std::vector<Mode> modes() override;
  bool set_mode(const Mode &m, int rate, std::string *why) override;
  bool feature_info(int feature, FeatureInfo *out) override;
  bool get_feature(int feature, FeatureState *out) override;
  bool set_feature(int feature, const FeatureState &s) override;
  bool read_quadlet(uint32_t addr, uint32_t *v) override;
  bool write_quadlet(uint32_t addr, uint32_t v) override;
  bool start(std::string *why) override;
  void stop() override;
  Next next_frame(int wait_ms, Frame *f) override;
  void flush() override;
  bool set_decimation(int n) override;
  bool extras(Extras *out) override;
  bool frames_stay() const override { return true; }
  bool frame_ready(int wait_ms, bool *ready) override;

  // For the emulated bus.
  const uint32_t *rom() const { return rom_; }  // iidc::ROM_QUADS quadlets
  Mode current_mode() const;
  int current_rate() const { return rate_; }    // vz::Rate code
  uint32_t frame_bytes() const;
  uint32_t packet_bytes() const;       // isochronous payload per cycle
  uint32_t packets_per_frame() const;
  int iso_channel() const { return iso_channel_; }
  int iso_speed() const { return iso_speed_; }  // 0 S100 .. 3 S800
  bool iso_enabled() const { return stream_.on; }
  // A ONE_SHOT request waiting for its frame; render() takes it.
  bool one_shot_pending() const { return one_shot_; }
  // Microseconds between frames as paced (rate, 50 Hz timing, decimation).
  double frame_period_us() const;
  // Frame seq in the current mode's coding (frame_bytes() bytes), made at
  // once; the automatic controls then step as after a delivered frame.
  void render(uint64_t seq, unsigned char *out);

  // For the bus and the test hooks.
  const CamConfig &config() const { return conf_; }
  SimFaults faults() const { return SimFaults(conf_); }
  // Refused writes where no register takes writes (the rest refused a value).
  unsigned long unmapped_writes() const { return unmapped_writes_; }
  int number() const { return num_; }
  long dropped() const { return stream_.dropped; }
  // Sets a control as its automatic loop would (0-100 scale).
  bool set_device_value(const std::string &name, int value);
  // render() into the device's own frame memory, without the automatic step.
  unsigned char *make_frame(uint32_t seq);
  // Back to the state of a camera just switched on.
  void power_on();

 private:
  // the rates our imagers run at: 3.75 to 60 fps
  static constexpr int RATE_MIN = iidc::RATE_3_75, RATE_MAX = iidc::RATE_60;
  static constexpr int F7_UNIT = 8;
  struct Feat {
    bool on = true, automatic = false;
    uint32_t value = 0, value2 = 0;
  };
  struct Stream {
    bool on = false;
    int64_t t0 = 0, wall0 = 0;  // monotonic/wall us of frame -1
    double period = 0;
    int64_t next = 0;           // sequence number of the next frame
    long delivered = 0, dropped = 0;
    bool stop_reported = false;
  };

  void load_state();
  bool persist(const char *kind, const std::string &data,
               const std::vector<int> *written = nullptr);
  uint32_t coding_mask() const;
  uint32_t f7_max_packet() const;
  bool fixed_mode(int format, int mode, Mode *out) const;
  bool mode_offered(int format, int mode) const;
  uint32_t mode_inq(int format) const;
  bool no_register() { ++unmapped_writes_; return false; }
  // bit 31 - id: the Format_7 coding with that COLOR_CODING_ID is offered
  static uint32_t coding_bit(iidc::Coding c) { return 1u << (31 - (uint32_t)c); }
  bool read_dcam(uint32_t off, uint32_t *v);
  bool write_dcam(uint32_t off, uint32_t v);
  bool read_f7(uint32_t off, uint32_t *v);
  bool write_f7(uint32_t off, uint32_t v);
  bool read_feature_inq(int n, uint32_t *v) const;
  bool read_feature_ctl(int n, uint32_t *v) const;
  bool write_feature(int n, uint32_t v);
  bool read_local(int word, uint32_t *v) const;
  bool write_local(int word, uint32_t v);
  bool read_flash(uint32_t addr, uint32_t *v) const;
  bool write_flash(uint32_t addr, uint32_t v);
  uint32_t flash_command(uint32_t cmd);
  uint32_t f7_recommended() const;
  void pace(int64_t now);
  int64_t due(int64_t seq) const;
  int scale(int feature) const;   // current value on the 0-100 scale
  void set_scale(int feature, int v, bool second = false);
  SceneLook look() const;
  // The registers the picture depends on, compared as a whole, so that a
  // frame recomputes its format and look only when one changed.
  struct PictureKey {
    uint32_t format, mode, f7_w, f7_h, f7_x, f7_y, f7_coding;
    uint32_t feat[iidc::FEATURES][3];
    uint32_t black, yoffset, ident;
    bool operator==(const PictureKey &o) const {
      return memcmp(this, &o, sizeof o) == 0;
    }
  };
  PictureKey picture_key() const;
  void auto_step();
  void make_into(uint32_t seq, unsigned char *out);
  bool f7_window_fits(int x, int y, int w, int h) const;
  unsigned char *frame_memory();

  CamConfig conf_;
  int num_, bus_speed_;
  uint32_t rom_[iidc::ROM_QUADS];
  uint32_t lp_[iidc::LOCAL_WORDS], lp_saved_[iidc::LOCAL_WORDS];
  uint32_t lp_written_ = 0;  // bit n: word n written since the block was saved
  uint16_t imager_[256];
  bool has_calib_ = false;
  std::string calib_, calib_staging_;
  uint32_t calib_page_ = 0, flash_result_ = iidc::FLASH_OK;
  // video format registers
  int format_ = 0, mode_ = 5, rate_ = iidc::RATE_15;
  int f7_w_ = 0, f7_h_ = 0;
  iidc::Coding f7_coding_ = iidc::Coding::MONO8;
  int f7_x_ = 0, f7_y_ = 0;    // window position; not 0: cut from the imager
  uint32_t f7_packet_ = 0;
  bool f7_by_packet_ = false;  // packet size written through the registers
  int iso_channel_ = 0, iso_speed_ = 2;
  bool iso_b_mode_ = false;   // ISO_DATA in its 1394b layout
  unsigned long unmapped_writes_ = 0;
  bool one_shot_ = false;
  int decimation_ = 1;
  Feat feat_[iidc::FEATURES];
  int ae_target_ = 110;
  Stream stream_;
  std::vector<unsigned char> frame_;
  Scene scene_;
  // what the last frame was made from
  PictureKey picture_key_;
  bool picture_ready_ = false;
  SceneFormat picture_format_;
  std::vector<unsigned char> whole_;  // the imager's picture a window is cut from
  SceneLook picture_look_;
};

// The devices of the simulated bus, from VIRIZEDA_SIM_CONFIG (or the
// default cameras), each starting from its flash state in
// VIRIZEDA_SIM_STATE. False, with the reason in *why, when the bus cannot
// be opened (a bad configuration, bus_fail); problems with the state
// directory are reported through the diagnostics and do not fail.
bool sim_bus_devices(BusConfig *conf,
                     std::vector<std::unique_ptr<SimDevice>> *devices,
                     std::string *why);

}  // namespace vz

#endif
