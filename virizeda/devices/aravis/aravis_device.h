// A GenICam camera (GigE Vision, USB3 Vision) reached through aravis, as a
// device of the camera implementation. GenICam has no fixed modes: each
// pixel format we can deliver is offered as one Format_7 mode up to the
// sensor, cut to the size asked and centred. Controls go by the standard
// feature names; the IIDC register space does not exist here.
#ifndef VIRIZEDA_ARAVIS_DEVICE_H
#define VIRIZEDA_ARAVIS_DEVICE_H

#include <arv.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "core/device.h"
#include "devices/aravis/aravis_link.h"

namespace vz {

class AravisDevice : public Device {
 public:
  // Opens the camera aravis knows by id (an IP address, a USB3 Vision or
  // aravis id) through iface, or any interface when iface is null. Null,
  // with the reason in *why, when it cannot.
  static std::unique_ptr<AravisDevice> open(const std::string &id,
                                            ArvInterface *iface,
                                            std::string *why);
  ~AravisDevice() override;

  // Stable across runs: the MAC address (GigE Vision) with a hash of the
  // serial number above it, else a hash of vendor and serial number.
  uint64_t guid() const override { return guid_; }
  std::string vendor() const override { return vendor_; }
  std::string model() const override { return model_; }
  const std::string &id() const { return id_; }
  const std::string &serial() const { return serial_; }
  ArvCamera *camera() const { return cam_; }  // for tools and tests

  std::vector<Mode> modes() override;
  bool set_mode(const Mode &m, int rate, std::string *why) override;
  bool set_decimation(int n) override;
  bool extras(Extras *out) override;

  bool feature_info(int feature, FeatureInfo *out) override;
  bool get_feature(int feature, FeatureState *out) override;
  bool set_feature(int feature, const FeatureState &s) override;

  // the camera's own register space; the IIDC one (0xF0000000 on) is not
  // there and is never touched
  bool read_quadlet(uint32_t addr, uint32_t *v) override;
  bool write_quadlet(uint32_t addr, uint32_t v) override;

  bool start(std::string *why) override;
  void stop() override;
  Next next_frame(int wait_ms, Frame *f) override;
  // frames land in memory of ours that lives as long as the device
  bool frames_stay() const override { return true; }
  bool frame_ready(int wait_ms, bool *ready) override;

  // After control was lost: opens the camera again by its id.
  bool gone() const { return gone_ || lost_; }
  // Accesses that reached aravis (for tests).
  unsigned accesses() const { return link_.asked; }
  bool reconnect(std::string *why);

 private:
  // A control found on the camera under one of its standard names.
  struct Control {
    int feature = 0;
    std::string name;       // the value feature
    std::string auto_name;  // its Off/Continuous feature, if any
    bool is_float = false, log_scale = false;
  };
  struct Saved {
    std::string format;
    int x = 0, y = 0, w = 0, h = 0;
    double fps = 0;
  };

  AravisDevice() = default;
  bool attach(ArvCamera *cam, std::string *why);
  void detach();
  bool check(GError **e, const char *what, std::string *why = nullptr);
  void read_identity();
  bool set_region(int w, int h, std::string *why);
  bool set_rate(double fps, std::string *why);
  void save(Saved *s);
  void restore(const Saved &s);
  void alloc_buffers();
  bool fresh(uint64_t id, uint64_t *delta);
  void give_back(ArvBuffer *b, bool fits = true);
  ArvBuffer *pop(int64_t deadline_us);
  ArvBuffer *listen(ArvBuffer *b, int64_t now);
  bool answers() { return !gone() && !link_.muted(); }
  // The camera's control is lost: said once, the stream let go. Inline:
  // it runs on every frame.
  bool lost_check() { return (lost_ || gone_) && let_go(); }
  bool let_go();
  // controls (aravis_controls.cpp)
  void find_controls();
  const Control *control(int feature) const;
  bool read_control(const Control &c, uint32_t *raw);
  bool write_control(const Control &c, uint32_t raw);
  bool read_auto(const Control &c, bool *on);

  std::string id_;
  ArvInterface *iface_ = nullptr;
  ArvCamera *cam_ = nullptr;
  ArvDevice *dev_ = nullptr;
  bool gv_ = false;
  uint64_t guid_ = 0;
  std::string vendor_, model_, serial_, firmware_;
  std::vector<Control> controls_;
  int sensor_w_ = 0, sensor_h_ = 0;
  double fps_ = 0;       // the rate of the mode, before decimation
  double run_fps_ = 0;   // the rate the camera runs at
  bool has_rate_ = false;
  // frame memory, allocated once per payload size
  size_t payload_ = 0;
  std::vector<std::unique_ptr<unsigned char[]>> blocks_, old_blocks_;
  uint64_t first_seq_ = 0;         // the number of the first frame of a start
  // What a frame reads and writes, in one cache line: the frame path runs
  // from cold caches, once a frame.
  alignas(64) ArvStream *stream_ = nullptr;
  ArvBuffer *held_ = nullptr;      // handed out, given back at the next
  ArvBuffer *pending_ = nullptr;   // taken early by frame_ready
  bool streaming_ = false;
  bool gone_ = false;
  bool have_id_ = false;
  bool quiet_ = false;             // silence said; until the next buffer
  bool held_fits_ = false;         // held_'s block is one of blocks_
  std::atomic<bool> lost_{false};  // set from aravis's heartbeat thread
  uint32_t failed_ = 0;            // incomplete frames since the last one
  uint64_t last_id_ = 0, seq_ = 0;
  int64_t last_heard_ = 0;         // a buffer came, torn ones too
  AravisLink link_;
};

}  // namespace vz

#endif
