// A real IIDC camera reached through libdc1394, as a device of the camera
// implementation. A thin mapping: libdc1394 decodes the IIDC registers;
// this adds the newest-frame policy, waiting with a limit, drop estimates,
// bandwidth messages and the handling of unplug and bus reset.
#ifndef VIRIZEDA_DC1394_DEVICE_H
#define VIRIZEDA_DC1394_DEVICE_H

#include <dc1394/dc1394.h>

#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "devices/dc1394/dc1394_probe.h"

namespace vz {

class Dc1394Device : public Device {
 public:
  // Takes the camera; ctx keeps libdc1394 alive as long as the device.
  // node: its /dev/fw* path, max_speed: the best ISO speed to it (400,
  // 800); empty and 0 when unknown (IIDC over USB).
  Dc1394Device(std::shared_ptr<dc1394_t> ctx, dc1394camera_t *cam,
               std::string node, int max_speed);
  ~Dc1394Device() override;

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
  // the frame handed out stays, even over stop (see keep_held)
  bool frames_stay() const override { return true; }
  bool frame_ready(int wait_ms, bool *ready) override;

  bool gone() const { return gone_; }

 private:
  bool choose_speed(std::string *why);
  bool apply_mode(const Mode &m, int rate, std::string *why);
  bool fits_bus(const Mode &m, int rate, std::string *why);
  void give_back();
  bool mode_f7(const Mode &m, int rate, std::string *why);
  std::string bandwidth_text();
  void keep_held();
  void drop_kept();
  Next check_health(const char *after);
  void lost(const char *what);
  bool query_feature(int feature, dc1394feature_info_t *fi);

  std::shared_ptr<dc1394_t> ctx_;
  dc1394camera_t *cam_;
  std::string node_;
  int max_speed_;
  mutable bool rom_stale_ = false;
  mutable uint64_t guid_;
  std::string vendor_, model_;
  bool gone_ = false;
  bool streaming_ = false, capturing_ = false;
  bool unstopped_ = false;  // a capture libdc1394 could not stop
  bool have_mode_ = false;
  dc1394video_mode_t mode_ = DC1394_VIDEO_MODE_MIN;
  Mode cur_;                          // the mode and rate last set
  int cur_rate_ = 0;
  double period_us_ = 0;              // nominal frame period, 0 unknown
  dc1394video_frame_t *held_ = nullptr;  // handed out, enqueued next frame
  // taken after held_ (flush): libdc1394 dequeues its ring in index order,
  // so frames go back only in the order they were taken
  std::vector<dc1394video_frame_t *> parked_;
  void *kept_ = nullptr;                 // its pages after the ring went
  size_t kept_len_ = 0;
  std::vector<unsigned char> save_;
  uint64_t seq_ = 0;
  uint64_t last_ts_ = 0;
  uint32_t generation_ = 0;
};

// The cameras of a probe, opened. A camera whose ROM was written since the
// kernel read it gets a bus reset and the probe is made again; one that
// still cannot be opened is named in a diagnostic.
std::vector<std::unique_ptr<Dc1394Device>> open_cameras(BusProbe *p, const char *dev_dir);

}  // namespace vz

#endif
