// One camera of the simulated bus: a dCamera whose device (registers,
// flash, imager) lives in this process.
#ifndef VIRIZEDA_SIM_CAMERA_H
#define VIRIZEDA_SIM_CAMERA_H

#include <stdint.h>

#include <string>
#include <vector>

#include "dcam.h"
#include "regmap.h"
#include "scene.h"
#include "sim_config.h"

// What the device holds, apart from the dCamera fields.
struct SimDevice {
  uint32_t rom[VZ_ROM_QUADS];
  uint32_t lp[VZ_LOCAL_WORDS];        // local parameter block, live
  uint32_t lp_saved[VZ_LOCAL_WORDS];  // the block as saved in flash
  uint16_t imager[256];
  bool has_calib = false;
  std::string calib;
  int iso_channel = 0, iso_speed = 2;
  int ae_target = 110;                // auto exposure reference, 0-255
};

struct SimStream {
  bool on = false;
  int64_t t0 = 0;          // monotonic us at start (frame k due t0 + (k+1)P)
  int64_t wall0 = 0;       // wall-clock us matching t0
  double period = 0;       // us between delivered frames
  int64_t next = 0;        // sequence number of the next frame
  long delivered = 0, dropped = 0, unreported = 0;
  int64_t last_report = 0;
  bool stop_reported = false;
};

class SimCamera : public dCamera {
 public:
  SimCamera(dSystem *bus, int num, const CamConfig &conf, int bus_speed);
  ~SimCamera() override;

  bool Start() override;
  bool Stop() override;
  bool Reset() override;
  int Index() override;
  bool SetSync(int delta) override;
  bool SetFormat(dISIZE size, dITYPE type, dISPEED speed, int fdiv,
                 bool flag) override;
  dISIZE Size() override;
  dITYPE Type() override;
  dISPEED Speed() override;
  void SetExposure(int value, bool automatic) override;
  void SetGain(int value, bool automatic) override;
  void SetBrightness(int value, bool automatic) override;
  void SetWhiteBalance(int red, int blue, bool automatic) override;
  void SetSaturation(int value) override;
  void SetGamma(bool on) override;
  void SetSharpness(int value) override;
  void SetYOffset(int left, int right) override;
  void SetBlackLevel(int left, int right) override;
  bool SaveLocalParams() override;
  bool GetCalib(char *buf, int len) override;
  bool SetCalib(char *buf, int len) override;
  bool SetProcMode(proc_mode_type mode) override;
  bool SetConfThresh(int thresh) override;
  bool SetUniqThresh(int thresh) override;
  bool GetImage(unsigned char **image, int wait_ms, int *frame,
                unsigned long *usec) override;
  bool ReadyImage(int wait_ms) override;
  void FlushImages() override;
  bool ReadQuadlet(unsigned long addr, unsigned long *value) override;
  bool WriteQuadlet(unsigned long addr, unsigned long value) override;

  // for the bus and the test hooks
  bool open();
  const CamConfig &conf() const { return conf_; }
  long dropped() const { return stream_.dropped; }
  bool set_device_value(const std::string &name, int value);
  // frame generation without pacing, for benchmarks
  unsigned char *make_frame(uint32_t seq);

 private:
  // video parameters
  bool set_param(const char *what, bool present, int *field, int max,
                 int value);
  void auto_step();
  SceneLook look() const;
  // formats
  bool check_format(int size, int type, int speed, int fdiv);
  bool refuse(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  void pace(int64_t now);
  // frames
  int64_t due(int64_t seq) const;
  void deliver(int64_t seq, unsigned char **image, int *frame,
               unsigned long *usec);
  void report_drops(int64_t now, bool force);
  // registers
  bool read_dcam(uint32_t off, uint32_t *v);
  bool write_dcam(uint32_t off, uint32_t v);
  bool read_feature(int n, bool control, uint32_t *v);
  bool write_feature(int n, uint32_t v);
  bool read_local(int word, uint32_t *v);
  bool write_local(int word, uint32_t v);
  bool write_rom(int q, uint32_t v);
  int iidc_format() const;
  int iidc_mode() const;
  // device state
  void power_on();
  void load_state();
  void apply_local();
  bool persist(const char *kind, const std::string &data);

  int num_;
  CamConfig conf_;
  int bus_speed_;
  bool opened_ = false;
  SimDevice dev_;
  SimStream stream_;
  dISIZE size_ = S_640x480;
  dITYPE type_ = S_MONO;
  dISPEED speed_ = S_15;
  int fdiv_ = 1;
  int conf_thresh_ = 0, uniq_thresh_ = 0;
  char error_[256];
  std::vector<unsigned char> frame_;
  Scene scene_;
};

#endif
