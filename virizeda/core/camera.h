// The one camera implementation: a dCamera over any vz::Device. Everything
// about a camera that does not depend on the transport lives here: format
// checks and their texts, mode choice, the 0-100 scale, auto/manual rules,
// frame delivery with the divider, drop accounting, the fields that mirror
// the maker's block (iidc/maker_block.h), identity fields, diagnostics and
// the call log.
#ifndef VIRIZEDA_CORE_CAMERA_H
#define VIRIZEDA_CORE_CAMERA_H

#include <stdint.h>

#include <string>
#include <vector>

#include "core/dcam_api.h"
#include "core/device.h"
#include "iidc/maker_block.h"

namespace vz {

class Camera : public dCamera {
 public:
  // Camera number num of a bus, over a device the bus keeps alive.
  Camera(dSystem *bus, int num, Device *dev);
  ~Camera() override;

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

  // For the bus: fills every field from the device; the first opening
  // finds the camera as just switched on.
  void open();
  // For a bus whose cameras follow another bus's in one list; before open.
  void renumber(int num);
  Device *device() const { return dev_; }
  long dropped() const { return dropped_; }
  // Fields again from the device, after it changed by itself.
  void sync_from_device();

 private:
  void fill_capabilities();
  void read_values();
  void read_local();
  void read_identity();
  void power_on_state();
  bool check_format(int size, int type, int speed, int fdiv);
  bool choose_mode(int w, int h, int type, int rate, Mode *out);
  std::string sizes_offered();
  std::string types_offered(int w, int h);
  std::string rates_offered(const Mode &m, int type);
  bool apply_format(int size, int type, int speed, int fdiv, std::string *why);
  bool refuse(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  bool set_param(const char *what, bool present, int *field, int max,
                 int value);
  bool set_raw(int feature, bool automatic, int value, int value2 = 0);
  void set_control(const char *what, int feature, bool has_auto,
                   bool has_manual, int max, int *value, bool *automatic,
                   int v, bool want_auto);
  bool set_local(int word, uint32_t mask, uint32_t bits);
  void begin_stream();
  Next take(int wait_ms, Frame *f);
  bool deliver(const Frame &f, unsigned char **image, int *frame,
               unsigned long *usec);
  bool foreign(const char *what);
  void report_drops(int64_t now, bool force);

  // What GetImage reads and writes, in one cache line: the frame path runs
  // from cold caches, once a frame.
  alignas(64) Device *dev_;
  uint32_t need_ = 0;     // the bytes of a whole frame of the format
  bool opened_ = false;
  bool on_ = false;
  bool pending_ = false;
  bool convert_ = false;  // the device's coding, converted in the library
  bool stay_ = false;     // the device's frames stay where they are
  dISIZE size_ = S_640x480;
  dITYPE type_ = S_MONO;
  int skip_ = 1;  // decimation the device could not do itself
  int64_t last_k_ = -1;
  long delivered_ = 0, dropped_ = 0, unreported_ = 0;
  int num_;
  std::vector<Mode> modes_;
  FeatureInfo info_[iidc::FEATURES];
  Extras extras_;
  iidc::MakerBlock block_;
  bool has_rom_ = false;  // an IIDC configuration ROM
  bool told_ = false;     // the device states what it is (extras)
  // format
  dISPEED speed_ = S_15;
  int fdiv_ = 1;
  // the coding converted from
  iidc::Coding from_ = iidc::Coding::MONO8;
  iidc::Filter filter_ = iidc::Filter::NONE;
  // stream
  Frame pending_frame_;
  int64_t last_report_ = 0;
  // converted frames, and frames of devices whose memory goes
  std::vector<unsigned char> buffer_;
  char error_[256];
};

}  // namespace vz

#endif
