#include "devices/aravis/aravis_device.h"

#include <arpa/inet.h>
#include <inttypes.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "core/clock.h"
#include "core/diag.h"
#include "devices/aravis/aravis_log.h"

namespace vz {

namespace {

constexpr uint32_t IIDC_SPACE = 0xF0000000u;  // CSR space of IEEE 1394 nodes

struct Format {
  ArvPixelFormat pf;
  iidc::Coding coding;
  iidc::Filter filter;
};
// PFNC's Bayer names give the colours of the first two pixels of row 0
const Format formats[] = {
    {ARV_PIXEL_FORMAT_MONO_8, iidc::Coding::MONO8, iidc::Filter::NONE},
    {ARV_PIXEL_FORMAT_RGB_8_PACKED, iidc::Coding::RGB8, iidc::Filter::NONE},
    {ARV_PIXEL_FORMAT_YUV_422_PACKED, iidc::Coding::YUV422, iidc::Filter::NONE},
    {ARV_PIXEL_FORMAT_BAYER_RG_8, iidc::Coding::RAW8, iidc::Filter::RGGB},
    {ARV_PIXEL_FORMAT_BAYER_BG_8, iidc::Coding::RAW8, iidc::Filter::BGGR},
    {ARV_PIXEL_FORMAT_BAYER_GR_8, iidc::Coding::RAW8, iidc::Filter::GRBG},
    {ARV_PIXEL_FORMAT_BAYER_GB_8, iidc::Coding::RAW8, iidc::Filter::GBRG},
};

double rate_fps(int rate) { return 1.875 * (double)(1 << rate); }

uint64_t fnv1a(const std::string &s) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : s) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

// "1.2.3" shows as 0x0123 where the programs print the version in hex
int version_word(const std::string &v) {
  uint32_t w = 0;
  int n = 0;
  for (char c : v)
    if (c >= '0' && c <= '9' && n < 7) w = w << 4 | (uint32_t)(c - '0'), ++n;
  return (int)w;
}

void on_control_lost(ArvDevice *, gpointer self) {
  static_cast<std::atomic<bool> *>(self)->store(true);
}

}  // namespace

std::unique_ptr<AravisDevice> AravisDevice::open(const std::string &id,
                                                 ArvInterface *iface,
                                                 std::string *why) {
  aravis_route_log();
  std::unique_ptr<AravisDevice> d(new AravisDevice());
  d->id_ = id;
  d->link_.id = id;
  d->iface_ = iface;
  if (!d->reconnect(why)) return nullptr;
  return d;
}

AravisDevice::~AravisDevice() {
  detach();
  if (held_) g_object_unref(held_);
}

bool AravisDevice::reconnect(std::string *why) {
  detach();
  GError *e = nullptr;
  ArvDevice *dev = iface_ ? arv_interface_open_device(iface_, id_.c_str(), &e)
                          : arv_open_device(id_.c_str(), &e);
  if (!dev) {
    *why = id_ + " cannot be opened: " + (e ? e->message : "no such camera");
    g_clear_error(&e);
    return false;
  }
  ArvCamera *cam = arv_camera_new_with_device(dev, &e);
  g_object_unref(dev);  // the camera holds its own reference
  if (!cam) {
    *why = id_ + " is not a camera aravis can drive: " + (e ? e->message : "?");
    g_clear_error(&e);
    return false;
  }
  return attach(cam, why);
}

bool AravisDevice::attach(ArvCamera *cam, std::string *why) {
  cam_ = cam;
  dev_ = arv_camera_get_device(cam);
  link_.watch(dev_);
  gv_ = arv_camera_is_gv_device(cam);
  lost_ = false;
  gone_ = false;
  // aravis clamps out-of-range values silently unless asked to refuse them
  arv_camera_set_range_check_policy(cam, ARV_RANGE_CHECK_POLICY_ENABLE);
  g_signal_connect(dev_, "control-lost", G_CALLBACK(on_control_lost), &lost_);
  GError *e = nullptr;
  arv_camera_get_sensor_size(cam, &sensor_w_, &sensor_h_, &e);
  if (e || sensor_w_ <= 0 || sensor_h_ <= 0) {
    g_clear_error(&e);
    int lo = 0;
    arv_camera_get_width_bounds(cam, &lo, &sensor_w_, &e);
    if (!e) arv_camera_get_height_bounds(cam, &lo, &sensor_h_, &e);
    if (!check(&e, "image size", why)) return false;
  }
  has_rate_ = arv_camera_is_frame_rate_available(cam, &e);
  g_clear_error(&e);
  // the largest packet the path carries, where the camera can test it; a
  // fixed large one tears frames on an ordinary socket (measured)
  if (gv_) arv_camera_gv_auto_packet_size(cam, &e);
  check(&e, "GevSCPSPacketSize");
  read_identity();
  find_controls();
  // a camera that timed out while being opened cannot be described: it is
  // not offered half-read
  if (link_.muted()) {
    *why = "it stopped answering while it was being opened";
    return false;
  }
  payload_ = 0;
  blocks_.clear();  // the held frame's block stays in old_blocks_
  held_fits_ = false;
  return true;
}

// Without a word to the camera when it is gone.
void AravisDevice::detach() {
  if (!cam_) return;
  stop();
  g_signal_handlers_disconnect_by_data(dev_, &lost_);
  link_.unwatch(dev_);
  g_object_unref(cam_);
  cam_ = nullptr;
  dev_ = nullptr;
  for (auto &b : blocks_) old_blocks_.push_back(std::move(b));
  blocks_.clear();
  held_fits_ = false;
}

bool AravisDevice::check(GError **e, const char *what, std::string *why) {
  if (!*e) return true;
  std::string msg = std::string(what) + ": " + (*e)->message;
  g_clear_error(e);
  if (why)
    *why = msg;
  else
    vz_diag("camera %s: %s", id_.c_str(), msg.c_str());
  return false;
}

void AravisDevice::read_identity() {
  GError *e = nullptr;
  auto text = [&](const char *s) {
    std::string v = s && !e ? s : "";
    g_clear_error(&e);
    return v;
  };
  vendor_ = text(arv_camera_get_vendor_name(cam_, &e));
  model_ = text(arv_camera_get_model_name(cam_, &e));
  serial_ = text(arv_camera_get_device_serial_number(cam_, &e));
  firmware_.clear();
  if (arv_device_is_feature_available(dev_, "DeviceFirmwareVersion", &e))
    firmware_ = text(arv_device_get_string_feature_value(
        dev_, "DeviceFirmwareVersion", &e));
  g_clear_error(&e);
  uint64_t h = fnv1a(vendor_ + "/" + serial_);
  guid_ = h;
  guint32 hi = 0, lo = 0;  // GigE Vision bootstrap: MAC address, high and low
  if (gv_ && arv_device_read_register(dev_, 0x0008, &hi, &e) &&
      arv_device_read_register(dev_, 0x000C, &lo, &e))
    guid_ = (h & 0xffff) << 48 | (uint64_t)(hi & 0xffff) << 32 | lo;
  g_clear_error(&e);
}

// ---------------------------------------------------------------- modes

std::vector<Mode> AravisDevice::modes() {
  std::vector<Mode> out;
  if (!answers()) return out;
  GError *e = nullptr;
  guint n = 0;
  gint64 *pfs = arv_camera_dup_available_pixel_formats(cam_, &n, &e);
  if (!check(&e, "PixelFormat")) {
    g_free(pfs);
    return out;
  }
  int wi = std::max(1, arv_camera_get_width_increment(cam_, &e));
  check(&e, "Width increment");
  int hi = std::max(1, arv_camera_get_height_increment(cam_, &e));
  check(&e, "Height increment");
  double lo_fps = 0, hi_fps = 1e9;
  if (has_rate_) arv_camera_get_frame_rate_bounds(cam_, &lo_fps, &hi_fps, &e);
  check(&e, "AcquisitionFrameRate bounds");
  uint32_t rates = 0;
  for (int r = iidc::RATE_1_875; r <= iidc::RATE_240; ++r)
    if (rate_fps(r) >= lo_fps * 0.99 && rate_fps(r) <= hi_fps * 1.01)
      rates |= 1u << r;
  for (guint i = 0; pfs && i < n; ++i)
    for (const Format &f : formats) {
      if ((gint64)f.pf != pfs[i]) continue;
      Mode m;
      m.format = 7;
      m.mode = (int)out.size();
      m.width = sensor_w_, m.height = sensor_h_;
      m.coding = f.coding, m.filter = f.filter;
      m.rates = rates;
      m.unit_w = wi, m.unit_h = hi;
      out.push_back(m);
    }
  g_free(pfs);
  return out;
}

void AravisDevice::save(Saved *s) {
  GError *e = nullptr;
  const char *pf = arv_camera_get_pixel_format_as_string(cam_, &e);
  s->format = pf && !e ? pf : "";
  g_clear_error(&e);
  arv_camera_get_region(cam_, &s->x, &s->y, &s->w, &s->h, &e);
  g_clear_error(&e);
  s->fps = fps_;
}

void AravisDevice::restore(const Saved &s) {
  GError *e = nullptr;
  if (!s.format.empty())
    arv_camera_set_pixel_format_from_string(cam_, s.format.c_str(), &e);
  g_clear_error(&e);
  arv_camera_set_region(cam_, s.x, s.y, s.w, s.h, &e);
  g_clear_error(&e);
  std::string why;
  if (s.fps > 0) set_rate(s.fps, &why);
}

// The region centred on the sensor, on the offsets' increments.
bool AravisDevice::set_region(int w, int h, std::string *why) {
  GError *e = nullptr;
  int x = 0, y = 0;
  if (arv_camera_is_region_offset_available(cam_, &e)) {
    int xi = std::max(1, arv_camera_get_x_offset_increment(cam_, &e));
    g_clear_error(&e);
    int yi = std::max(1, arv_camera_get_y_offset_increment(cam_, &e));
    x = std::max(0, (sensor_w_ - w) / 2 / xi * xi);
    y = std::max(0, (sensor_h_ - h) / 2 / yi * yi);
  }
  g_clear_error(&e);
  char buf[160];
  arv_camera_set_region(cam_, x, y, w, h, &e);
  if (e) {
    int wlo = 0, whi = 0, hlo = 0, hhi = 0;
    std::string msg = e->message;
    g_clear_error(&e);
    arv_camera_get_width_bounds(cam_, &wlo, &whi, &e);
    g_clear_error(&e);
    arv_camera_get_height_bounds(cam_, &hlo, &hhi, &e);
    g_clear_error(&e);
    snprintf(buf, sizeof buf, "%dx%d is refused by the camera (%s); it takes "
             "%d to %d by %d to %d", w, h, msg.c_str(), wlo, whi, hlo, hhi);
    *why = buf;
    return false;
  }
  int rx = 0, ry = 0, rw = 0, rh = 0;
  arv_camera_get_region(cam_, &rx, &ry, &rw, &rh, &e);
  if (!check(&e, "region", why)) return false;
  if (rw == w && rh == h) return true;
  snprintf(buf, sizeof buf, "%dx%d: the camera gives %dx%d instead", w, h, rw,
           rh);
  *why = buf;
  return false;
}

// aravis clamps the rate into the camera's bounds without a word, so what
// the camera runs at is read back.
bool AravisDevice::set_rate(double fps, std::string *why) {
  if (!has_rate_) return true;  // the camera sets its own pace
  GError *e = nullptr;
  if (arv_device_is_feature_available(dev_, "AcquisitionFrameRateEnable", &e))
    arv_device_set_boolean_feature_value(dev_, "AcquisitionFrameRateEnable",
                                         TRUE, &e);
  g_clear_error(&e);
  arv_camera_set_frame_rate(cam_, fps, &e);
  double got = e ? 0 : arv_camera_get_frame_rate(cam_, &e);
  double lo = 0, hi = 0;
  std::string msg = e ? e->message : "";
  g_clear_error(&e);
  if (msg.empty() && fabs(got - fps) <= 0.01 * fps) {
    run_fps_ = got;
    return true;
  }
  arv_camera_get_frame_rate_bounds(cam_, &lo, &hi, &e);
  g_clear_error(&e);
  char buf[200];
  snprintf(buf, sizeof buf, "%.4g fps: the camera runs at %.4g fps (%.4g to "
           "%.4g fps; at most %.4g fps in this format)%s%s", fps, got, lo, hi,
           hi, msg.empty() ? "" : "; ", msg.c_str());
  *why = buf;
  return false;
}

bool AravisDevice::set_mode(const Mode &m, int rate, std::string *why) {
  if (!answers()) {
    *why = gone() ? "the camera is gone" : "the camera does not answer";
    return false;
  }
  ArvPixelFormat pf = 0;
  for (const Format &f : formats)
    if (f.coding == m.coding && f.filter == m.filter) pf = f.pf;
  if (!pf) {
    *why = "this camera has no such pixel format";
    return false;
  }
  bool was = streaming_;
  uint64_t next = have_id_ ? seq_ + 1 : seq_;  // numbering goes on over the change
  stop();  // the camera locks its format while it sends
  Saved s;
  save(&s);
  GError *e = nullptr;
  arv_camera_set_pixel_format(cam_, pf, &e);
  bool ok = check(&e, "PixelFormat", why);
  if (ok && arv_camera_get_pixel_format(cam_, &e) != pf) {
    *why = std::string("the camera keeps PixelFormat ") + s.format;
    ok = false;
  }
  g_clear_error(&e);
  ok = ok && set_region(m.width, m.height, why) && set_rate(rate_fps(rate), why);
  if (ok) fps_ = rate_fps(rate);
  else restore(s);
  alloc_buffers();
  std::string again;
  if (was && !start(&again)) vz_diag("camera %s: %s", id_.c_str(), again.c_str());
  if (streaming_) first_seq_ = next;
  return ok;
}

// The camera itself runs slower, so every frame it sends is one we keep.
bool AravisDevice::set_decimation(int n) {
  std::string why;
  if (n == 1) return fps_ <= 0 || set_rate(fps_, &why);
  if (!has_rate_ || fps_ <= 0) return false;
  if (set_rate(fps_ / n, &why)) return true;
  set_rate(fps_, &why);
  return false;
}

bool AravisDevice::extras(Extras *out) {
  Extras e;
  for (const Mode &m : modes())
    if (m.coding == iidc::Coding::RAW8) {
      if (!e.bayer) e.bggr = m.filter == iidc::Filter::BGGR;
      e.bayer = true;
    }
  e.cam_firmware = version_word(firmware_);
  e.has_frame_div = true;
  e.max_frame_div = 16;
  // the serial number as the programs show a device id; never "unprogrammed"
  unsigned long sn = 0;
  for (char c : serial_)
    if (c >= '0' && c <= '9') sn = sn * 10 + (unsigned long)(c - '0');
  e.dev_id = (int)(sn & 0xffff) == 0xffff ? 0xfffe : (int)(sn & 0xffff);
  *out = e;
  return true;
}

// A stream gone quiet, not even a torn frame for three frame times (2 s
// at least), stands for a camera that stopped answering. now: when the
// wait began, at most a slice before the buffer came.
[[gnu::hot]] ArvBuffer *AravisDevice::listen(ArvBuffer *b, int64_t now) {
  if (b) {
    last_heard_ = now;
    quiet_ = false;
    link_.heard();
    return b;
  }
  int64_t limit = std::max<int64_t>(2000000, run_fps_ > 0 ? 3e6 / run_fps_ : 0);
  if (have_id_ && !quiet_ && now - last_heard_ > limit) {
    quiet_ = true;
    char why[80];
    snprintf(why, sizeof why, "no frame for %.1f s", (now - last_heard_) / 1e6);
    link_.mute(why);
  }
  return nullptr;
}

// ---------------------------------------------------------------- registers

bool AravisDevice::read_quadlet(uint32_t addr, uint32_t *v) {
  if (addr >= IIDC_SPACE || !answers()) return false;
  GError *e = nullptr;
  guint32 q = 0;
  if (!arv_device_read_register(dev_, addr, &q, &e)) {
    check(&e, "register read");
    return false;
  }
  *v = q;
  return true;
}

bool AravisDevice::write_quadlet(uint32_t addr, uint32_t v) {
  if (addr >= IIDC_SPACE || !answers()) return false;
  GError *e = nullptr;
  if (arv_device_write_register(dev_, addr, v, &e)) return true;
  check(&e, "register write");
  return false;
}

}  // namespace vz
