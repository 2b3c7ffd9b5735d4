#include "devices/dc1394/dc1394_device.h"

#include <errno.h>
#include <inttypes.h>
#include <math.h>
#include <poll.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>
#include <string.h>

#include "core/clock.h"
#include "core/convert.h"
#include "core/diag.h"
#include "devices/dc1394/dc1394_probe.h"
#include "iidc/iidc.h"
#include "iidc/rom.h"

namespace vz {

namespace {

constexpr uint32_t ROM_END = iidc::ROM_BASE + 4 * iidc::ROM_QUADS;

bool coding_of(dc1394color_coding_t c, iidc::Coding *out) {
  switch (c) {
    case DC1394_COLOR_CODING_MONO8: *out = iidc::Coding::MONO8; return true;
    case DC1394_COLOR_CODING_RAW8: *out = iidc::Coding::RAW8; return true;
    case DC1394_COLOR_CODING_RGB8: *out = iidc::Coding::RGB8; return true;
    case DC1394_COLOR_CODING_YUV411: *out = iidc::Coding::YUV411; return true;
    case DC1394_COLOR_CODING_YUV422: *out = iidc::Coding::YUV422; return true;
    case DC1394_COLOR_CODING_YUV444: *out = iidc::Coding::YUV444; return true;
    default: return false;  // 16-bit codings are not delivered
  }
}

dc1394color_coding_t dc_coding(iidc::Coding c) {
  switch (c) {
    case iidc::Coding::MONO8: return DC1394_COLOR_CODING_MONO8;
    case iidc::Coding::RAW8: return DC1394_COLOR_CODING_RAW8;
    case iidc::Coding::RGB8: return DC1394_COLOR_CODING_RGB8;
    case iidc::Coding::YUV411: return DC1394_COLOR_CODING_YUV411;
    case iidc::Coding::YUV422: return DC1394_COLOR_CODING_YUV422;
    case iidc::Coding::YUV444: return DC1394_COLOR_CODING_YUV444;
  }
  return DC1394_COLOR_CODING_MONO8;
}

iidc::Filter filter_of(dc1394color_filter_t f) {
  switch (f) {
    case DC1394_COLOR_FILTER_RGGB: return iidc::Filter::RGGB;
    case DC1394_COLOR_FILTER_GBRG: return iidc::Filter::GBRG;
    case DC1394_COLOR_FILTER_GRBG: return iidc::Filter::GRBG;
    case DC1394_COLOR_FILTER_BGGR: return iidc::Filter::BGGR;
  }
  return iidc::Filter::NONE;
}

// IIDC format and mode number of a libdc1394 mode; false for Format_6
// (still images) and anything unknown.
bool format_of(dc1394video_mode_t v, int *format, int *mode) {
  if (v >= DC1394_VIDEO_MODE_160x120_YUV444 && v <= DC1394_VIDEO_MODE_640x480_MONO16) {
    *format = 0; *mode = v - DC1394_VIDEO_MODE_160x120_YUV444;
  } else if (v >= DC1394_VIDEO_MODE_800x600_YUV422 && v <= DC1394_VIDEO_MODE_1024x768_MONO16) {
    *format = 1; *mode = v - DC1394_VIDEO_MODE_800x600_YUV422;
  } else if (v >= DC1394_VIDEO_MODE_1280x960_YUV422 && v <= DC1394_VIDEO_MODE_1600x1200_MONO16) {
    *format = 2; *mode = v - DC1394_VIDEO_MODE_1280x960_YUV422;
  } else if (v >= DC1394_VIDEO_MODE_FORMAT7_0 && v <= DC1394_VIDEO_MODE_FORMAT7_7) {
    *format = 7; *mode = v - DC1394_VIDEO_MODE_FORMAT7_0;
  } else {
    return false;
  }
  return true;
}

bool mode_of(int format, int mode, dc1394video_mode_t *v) {
  int first = format == 0 ? DC1394_VIDEO_MODE_160x120_YUV444
            : format == 1 ? DC1394_VIDEO_MODE_800x600_YUV422
            : format == 2 ? DC1394_VIDEO_MODE_1280x960_YUV422
            : format == 7 ? DC1394_VIDEO_MODE_FORMAT7_0 : -1;
  int count = format == 7 ? 8 : format == 0 ? 7 : 8;
  if (first < 0 || mode < 0 || mode >= count) return false;
  *v = (dc1394video_mode_t)(first + mode);
  return true;
}

// Bytes per packet that carry a frame at a rate, in the camera's units.
uint32_t f7_packet(const dc1394format7mode_t &info, size_t frame_bytes,
                   int rate) {
  uint32_t ppf = (uint32_t)(8000.0 / iidc::rate_fps(rate));
  if (ppf == 0) ppf = 1;
  uint32_t unit = info.unit_packet_size ? info.unit_packet_size : 4;
  uint32_t p = (uint32_t)((frame_bytes + ppf - 1) / ppf);
  return (p + unit - 1) / unit * unit;
}

// libdc1394 reads a Format_7 mode only when told it is present
bool f7_info(dc1394camera_t *cam, dc1394video_mode_t v, dc1394format7mode_t *info) {
  memset(info, 0, sizeof *info);
  info->present = DC1394_TRUE;
  return dc1394_format7_get_mode_info(cam, v, info) == DC1394_SUCCESS;
}

// libdc1394 reads COLOR_FILTER_ID only from cameras whose ROM says IIDC
// 1.31; a camera that offers RAW8, which came with 1.31, has it anyway
iidc::Filter raw_filter(dc1394camera_t *cam, dc1394video_mode_t v) {
  dc1394color_filter_t cf;
  if (dc1394_format7_get_color_filter(cam, v, &cf) == DC1394_SUCCESS) return filter_of(cf);
  uint32_t q;
  if (dc1394_get_format7_register(cam, v, iidc::F7_COLOR_FILTER, &q) != DC1394_SUCCESS || (q >> 24) > 3)
    return iidc::Filter::NONE;
  return filter_of((dc1394color_filter_t)((q >> 24) + DC1394_COLOR_FILTER_MIN));
}

const char *dc_err(dc1394error_t e) { return dc1394_error_get_string(e); }

}  // namespace

Dc1394Device::Dc1394Device(std::shared_ptr<dc1394_t> ctx, dc1394camera_t *cam,
                           std::string node, int max_speed)
    : ctx_(std::move(ctx)), cam_(cam), node_(std::move(node)), max_speed_(max_speed),
      guid_(cam->guid),
      vendor_(cam->vendor ? cam->vendor : ""),
      model_(cam->model ? cam->model : "") {
  uint32_t id;
  dc1394_camera_get_node(cam_, &id, &generation_);
}

// libdc1394 frees a capture's frames only when stopping it succeeds; a
// camera whose capture could not be stopped (unplugged while streaming) is
// kept, so its ring stays reachable instead of leaking behind our back
// (never destroyed: the leak check runs after static destructors).
static auto *unstopped_cameras = new std::vector<dc1394camera_t *>;

Dc1394Device::~Dc1394Device() {
  stop();
  drop_kept();
  if (unstopped_) unstopped_cameras->push_back(cam_);
  else dc1394_camera_free(cam_);
}

uint64_t Dc1394Device::guid() const {
  // libdc1394 keeps the GUID it enumerated; after the ROM was written the
  // device itself has the truth
  if (rom_stale_ && !gone_) {
    uint32_t q[2];
    uint32_t hi = iidc::ROM_BASE + 4 * iidc::ROM_CHIP_HI - iidc::CSR_BASE;
    uint32_t lo = iidc::ROM_BASE + 4 * iidc::ROM_CHIP_LO - iidc::CSR_BASE;
    if (dc1394_get_registers(cam_, hi, q, 1) == DC1394_SUCCESS &&
        dc1394_get_registers(cam_, lo, q + 1, 1) == DC1394_SUCCESS) {
      guid_ = (uint64_t)q[0] << 32 | q[1];
      rom_stale_ = false;
    }
  }
  return guid_;
}

std::string Dc1394Device::vendor() const { return vendor_; }
std::string Dc1394Device::model() const { return model_; }

std::vector<Mode> Dc1394Device::modes() {
  std::vector<Mode> out;
  dc1394video_modes_t vm;
  if (gone_ || dc1394_video_get_supported_modes(cam_, &vm) != DC1394_SUCCESS)
    return out;
  for (uint32_t i = 0; i < vm.num; ++i) {
    dc1394video_mode_t v = vm.modes[i];
    Mode m;
    if (!format_of(v, &m.format, &m.mode)) continue;
    if (m.format == 7) {
      // each coding at the largest size; set_mode takes whole units
      dc1394format7mode_t info;
      if (!f7_info(cam_, v, &info)) continue;
      m.unit_w = info.unit_size_x ? (int)info.unit_size_x : 1;
      m.unit_h = info.unit_size_y ? (int)info.unit_size_y : 1;
      m.width = (int)info.max_size_x / m.unit_w * m.unit_w;
      m.height = (int)info.max_size_y / m.unit_h * m.unit_h;
      for (uint32_t c = 0; c < info.color_codings.num; ++c) {
        if (!coding_of(info.color_codings.codings[c], &m.coding)) continue;
        m.filter = m.coding == iidc::Coding::RAW8 ? raw_filter(cam_, v) : iidc::Filter::NONE;
        // the rates a frame of one unit can have; set_mode checks the size
        m.rates = 0;
        size_t least = coding_bytes(m.coding, (size_t)m.unit_w * m.unit_h);
        for (int r = iidc::RATE_1_875; r <= iidc::RATE_240; ++r)
          if (f7_packet(info, least, r) <= info.max_packet_size) m.rates |= 1u << r;
        if (m.rates && m.width > 0 && m.height > 0) out.push_back(m);
      }
      continue;
    }
    uint32_t w, h;
    dc1394color_coding_t cc;
    if (dc1394_get_image_size_from_video_mode(cam_, v, &w, &h) != DC1394_SUCCESS ||
        dc1394_get_color_coding_from_video_mode(cam_, v, &cc) != DC1394_SUCCESS ||
        !coding_of(cc, &m.coding))
      continue;
    m.width = (int)w;
    m.height = (int)h;
    m.filter = iidc::Filter::NONE;
    m.rates = 0;
    dc1394framerates_t fr;
    if (dc1394_video_get_supported_framerates(cam_, v, &fr) == DC1394_SUCCESS)
      for (uint32_t j = 0; j < fr.num; ++j)
        m.rates |= 1u << (fr.framerates[j] - DC1394_FRAMERATE_MIN);
    if (m.rates) out.push_back(m);
  }
  return out;
}

// 1394b cameras run at S800 where the way to them allows it: the large
// modes (1280x960 RGB at 15 fps) do not fit in S400 packets.
bool Dc1394Device::choose_speed(std::string *why) {
  bool fast = cam_->bmode_capable && max_speed_ != 400;
  if (fast && dc1394_video_set_operation_mode(cam_, DC1394_OPERATION_MODE_1394B) == DC1394_SUCCESS &&
      dc1394_video_set_iso_speed(cam_, DC1394_ISO_SPEED_800) == DC1394_SUCCESS)
    return true;
  if (cam_->bmode_capable)
    dc1394_video_set_operation_mode(cam_, DC1394_OPERATION_MODE_LEGACY);
  dc1394error_t e = dc1394_video_set_iso_speed(cam_, DC1394_ISO_SPEED_400);
  if (e != DC1394_SUCCESS) {
    *why = std::string("the camera refused the ISO speed S400: ") + dc_err(e);
    return false;
  }
  return true;
}

bool Dc1394Device::set_mode(const Mode &m, int rate, std::string *why) {
  if (gone_) {
    *why = "the camera is gone";
    return false;
  }
  dc1394video_mode_t v;
  if (!mode_of(m.format, m.mode, &v) || rate < iidc::RATE_1_875 || rate > iidc::RATE_240) {
    *why = "no such IIDC mode or rate";
    return false;
  }
  bool restart = streaming_;
  uint64_t next = last_ts_ ? seq_ + 1 : seq_;  // numbering goes on over the change
  stop();
  bool ok = apply_mode(m, rate, why) && fits_bus(m, rate, why) &&
            (!restart || start(why));
  if (ok) {
    cur_ = m;
    cur_rate_ = rate;
    have_mode_ = true;
  } else {
    // a refused mode leaves the camera as it was, streaming or not
    std::string again;
    if ((have_mode_ && !apply_mode(cur_, cur_rate_, &again)) || (restart && !start(&again)))
      *why += "; the previous mode cannot be restored: " + again;
  }
  if (streaming_) seq_ = next;
  return ok;
}

// A mode that needs more than a whole bus can never start.
bool Dc1394Device::fits_bus(const Mode &m, int rate, std::string *why) {
  uint32_t units = 0;
  if (dc1394_video_get_bandwidth_usage(cam_, &units) != DC1394_SUCCESS ||
      units <= (uint32_t)BANDWIDTH_UNITS)
    return true;
  dc1394speed_t sp = DC1394_ISO_SPEED_400;
  dc1394_video_get_iso_speed(cam_, &sp);
  char buf[160];
  snprintf(buf, sizeof buf, "%dx%d at %g fps needs %u bandwidth units at S%d; a bus "
           "carries %d", m.width, m.height, iidc::rate_fps(rate), units,
           100 << (sp - DC1394_ISO_SPEED_100), BANDWIDTH_UNITS);
  *why = buf;
  return false;
}

bool Dc1394Device::apply_mode(const Mode &m, int rate, std::string *why) {
  dc1394video_mode_t v = DC1394_VIDEO_MODE_MIN;
  mode_of(m.format, m.mode, &v);
  if (!choose_speed(why)) return false;
  dc1394error_t e = dc1394_video_set_mode(cam_, v);
  if (e != DC1394_SUCCESS) {
    *why = std::string("the camera refused the mode: ") + dc_err(e);
    return false;
  }
  if (m.format == 7) {
    if (!mode_f7(m, rate, why)) return false;
  } else {
    e = dc1394_video_set_framerate(cam_, (dc1394framerate_t)(DC1394_FRAMERATE_MIN + rate));
    if (e != DC1394_SUCCESS) {
      *why = std::string("the camera refused the frame rate: ") + dc_err(e);
      return false;
    }
    period_us_ = 1e6 / iidc::rate_fps(rate);
  }
  mode_ = v;
  return true;
}

// Format_7: the size centred in the imager (else from its corner), packets
// just large enough for the rate.
bool Dc1394Device::mode_f7(const Mode &m, int rate, std::string *why) {
  dc1394video_mode_t v = (dc1394video_mode_t)(DC1394_VIDEO_MODE_FORMAT7_0 + m.mode);
  dc1394format7mode_t info;
  if (!f7_info(cam_, v, &info)) {
    *why = "Format_7 cannot be read";
    return false;
  }
  dc1394error_t e;
  uint32_t ux = info.unit_size_x ? info.unit_size_x : 1;
  uint32_t uy = info.unit_size_y ? info.unit_size_y : 1;
  if (m.width <= 0 || m.height <= 0 || (uint32_t)m.width > info.max_size_x ||
      (uint32_t)m.height > info.max_size_y || m.width % ux || m.height % uy) {
    *why = "Format_7 does not take " + std::to_string(m.width) + "x" +
           std::to_string(m.height);
    return false;
  }
  uint32_t packet = f7_packet(info, coding_bytes(m.coding, (size_t)m.width * m.height), rate);
  if (packet > info.max_packet_size) {
    *why = "the rate needs larger packets than the camera sends";
    return false;
  }
  uint32_t px = info.unit_pos_x ? info.unit_pos_x : (info.unit_size_x ? info.unit_size_x : 1);
  uint32_t py = info.unit_pos_y ? info.unit_pos_y : (info.unit_size_y ? info.unit_size_y : 1);
  uint32_t left = (info.max_size_x - m.width) / 2 / px * px;
  uint32_t top = (info.max_size_y - m.height) / 2 / py * py;
  e = dc1394_format7_set_roi(cam_, v, dc_coding(m.coding), (int32_t)packet, (int32_t)left,
                             (int32_t)top, m.width, m.height);
  if (e != DC1394_SUCCESS && (left || top))  // a camera that only reads out from the corner
    e = dc1394_format7_set_roi(cam_, v, dc_coding(m.coding), (int32_t)packet, 0, 0, m.width,
                               m.height);
  if (e != DC1394_SUCCESS) {
    *why = std::string("the camera refused the Format_7 image: ") + dc_err(e);
    return false;
  }
  uint32_t ppf = 0;
  period_us_ = dc1394_format7_get_packets_per_frame(cam_, v, &ppf) == DC1394_SUCCESS && ppf
                   ? ppf * 125.0 : 1e6 / iidc::rate_fps(rate);
  return true;
}

bool Dc1394Device::query_feature(int feature, dc1394feature_info_t *fi) {
  if (gone_ || feature < 0 || feature >= iidc::FEATURES) return false;
  // libdc1394 fills only what an available feature has
  memset(fi, 0, sizeof *fi);
  fi->id = (dc1394feature_t)(DC1394_FEATURE_MIN + feature);
  return dc1394_feature_get(cam_, fi) == DC1394_SUCCESS;
}

bool Dc1394Device::feature_info(int feature, FeatureInfo *out) {
  dc1394feature_info_t fi;
  if (!query_feature(feature, &fi)) return false;
  *out = FeatureInfo();
  out->present = fi.available;
  if (!out->present) return true;
  out->on_off = fi.on_off_capable;
  for (uint32_t i = 0; i < fi.modes.num && i < DC1394_FEATURE_MODE_NUM; ++i) {
    if (fi.modes.modes[i] == DC1394_FEATURE_MODE_AUTO) out->has_auto = true;
    if (fi.modes.modes[i] == DC1394_FEATURE_MODE_MANUAL) out->has_manual = true;
  }
  out->min = fi.min;
  out->max = fi.max;
  return true;
}

bool Dc1394Device::get_feature(int feature, FeatureState *out) {
  dc1394feature_info_t fi;
  if (!query_feature(feature, &fi) || !fi.available) return false;
  out->on = fi.is_on;
  out->automatic = fi.current_mode == DC1394_FEATURE_MODE_AUTO;
  if (feature == iidc::WHITE_BALANCE) {
    out->value = fi.BU_value;
    out->value2 = fi.RV_value;
  } else {
    out->value = fi.value;
  }
  return true;
}

bool Dc1394Device::set_feature(int feature, const FeatureState &s) {
  if (gone_ || feature < 0 || feature >= iidc::FEATURES) return false;
  FeatureInfo info;
  if (!feature_info(feature, &info) || !info.present) return false;
  dc1394feature_t id = (dc1394feature_t)(DC1394_FEATURE_MIN + feature);
  bool ok = true;
  if (info.on_off)
    ok &= dc1394_feature_set_power(cam_, id, s.on ? DC1394_ON : DC1394_OFF) == DC1394_SUCCESS;
  if (s.automatic ? info.has_auto : info.has_manual)
    ok &= dc1394_feature_set_mode(cam_, id, s.automatic ? DC1394_FEATURE_MODE_AUTO
                                                        : DC1394_FEATURE_MODE_MANUAL) == DC1394_SUCCESS;
  else
    ok = false;
  if (!s.automatic && ok) {
    if (feature == iidc::WHITE_BALANCE)
      ok = dc1394_feature_whitebalance_set_value(cam_, s.value, s.value2) == DC1394_SUCCESS;
    else
      ok = dc1394_feature_set_value(cam_, id, s.value) == DC1394_SUCCESS;
  }
  return ok;
}

bool Dc1394Device::read_quadlet(uint32_t addr, uint32_t *v) {
  uint32_t q;
  if (gone_ || addr < iidc::CSR_BASE || (addr & 3)) return false;
  if (dc1394_get_registers(cam_, addr - iidc::CSR_BASE, &q, 1) != DC1394_SUCCESS) return false;
  *v = q;
  return true;
}

bool Dc1394Device::write_quadlet(uint32_t addr, uint32_t v) {
  if (gone_ || addr < iidc::CSR_BASE || (addr & 3)) return false;
  if (dc1394_set_registers(cam_, addr - iidc::CSR_BASE, &v, 1) != DC1394_SUCCESS) return false;
  if (addr >= iidc::ROM_BASE && addr < ROM_END) rom_stale_ = true;
  return true;
}

std::string Dc1394Device::bandwidth_text() {
  uint32_t need = 0;
  char buf[200];
  if (dc1394_video_get_bandwidth_usage(cam_, &need) != DC1394_SUCCESS)
    return "the bandwidth it needs cannot be read";
  int free_units = irm_bandwidth_free(node_);
  if (free_units < 0)
    snprintf(buf, sizeof buf, "it needs %u bandwidth units; the free bandwidth "
             "cannot be read", need);
  else
    snprintf(buf, sizeof buf, "it needs %u bandwidth units and the bus has %d "
             "free (of %d)", need, free_units, BANDWIDTH_UNITS);
  return buf;
}

bool Dc1394Device::start(std::string *why) {
  vz_diag_flush();
  if (gone_) {
    *why = "the camera is gone";
    return false;
  }
  if (streaming_) return true;
  if (!have_mode_) {
    dc1394framerate_t fr;
    if (dc1394_video_get_mode(cam_, &mode_) == DC1394_SUCCESS &&
        dc1394_video_get_framerate(cam_, &fr) == DC1394_SUCCESS)
      period_us_ = 1e6 / iidc::rate_fps(fr - DC1394_FRAMERATE_MIN);
  }
  // about 32 MB of ring, 4 to 16 frames
  uint32_t w = 0, h = 0;
  uint64_t bytes = 0;
  dc1394color_coding_t cc;
  iidc::Coding c;
  if (dc1394_get_image_size_from_video_mode(cam_, mode_, &w, &h) == DC1394_SUCCESS &&
      dc1394_get_color_coding_from_video_mode(cam_, mode_, &cc) == DC1394_SUCCESS &&
      coding_of(cc, &c))
    bytes = coding_bytes(c, (size_t)w * h);
  uint32_t nbuf = bytes ? (uint32_t)(32u << 20) / (uint32_t)bytes : 8;
  nbuf = nbuf < 4 ? 4 : nbuf > 16 ? 16 : nbuf;
  dc1394error_t e = dc1394_capture_setup(
      cam_, nbuf, DC1394_CAPTURE_FLAGS_CHANNEL_ALLOC | DC1394_CAPTURE_FLAGS_BANDWIDTH_ALLOC);
  if (e == DC1394_NO_BANDWIDTH) {
    *why = "isochronous bandwidth is not available: " + bandwidth_text();
    return false;
  }
  if (e == DC1394_NO_ISO_CHANNEL) {
    *why = "no isochronous channel is free on the bus";
    return false;
  }
  if (e != DC1394_SUCCESS) {
    *why = std::string("capture cannot be set up: ") + dc_err(e) + "; " + bandwidth_text();
    return false;
  }
  capturing_ = true;
  e = dc1394_video_set_transmission(cam_, DC1394_ON);
  if (e != DC1394_SUCCESS) {
    *why = std::string("the camera does not start sending: ") + dc_err(e);
    dc1394_capture_stop(cam_);
    capturing_ = false;
    return false;
  }
  uint32_t node;
  dc1394_camera_get_node(cam_, &node, &generation_);
  streaming_ = true;
  seq_ = 0;
  last_ts_ = 0;
  return true;
}

// The program may read the frame it was handed until its next frame, also
// after a stop, but libdc1394 unmaps the ring when capture stops. The
// frame's pages are therefore put back, as memory of our own, at the same
// address (single-threaded caller: nothing maps there in between).
void Dc1394Device::keep_held() {
  long page = sysconf(_SC_PAGESIZE);
  uintptr_t a = (uintptr_t)held_->image & ~(uintptr_t)(page - 1);
  uintptr_t e = ((uintptr_t)held_->image + held_->image_bytes + page - 1) &
                ~(uintptr_t)(page - 1);
  size_t len = e - a;
  if (save_.size() < len) save_.resize(len);
  memcpy(save_.data(), (void *)a, len);
  held_ = nullptr;
  if (dc1394_capture_stop(cam_) != DC1394_SUCCESS) {  // still mapped
    unstopped_ = true;
    return;
  }
  void *p = mmap((void *)a, len, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (p != (void *)a) {
    if (p != MAP_FAILED) munmap(p, len);
    vz_diag("camera %016" PRIx64 ": the last frame could not be kept after stop",
            guid_);
    return;
  }
  memcpy(p, save_.data(), len);
  kept_ = p;
  kept_len_ = len;
}

void Dc1394Device::drop_kept() {
  if (kept_) munmap(kept_, kept_len_);
  kept_ = nullptr;
}

void Dc1394Device::stop() {
  if (streaming_ && !gone_) dc1394_video_set_transmission(cam_, DC1394_OFF);
  if (capturing_ && !gone_) {
    if (held_) keep_held();
    else if (dc1394_capture_stop(cam_) != DC1394_SUCCESS) unstopped_ = true;
  } else if (capturing_) {
    unstopped_ = true;
  }
  // a camera that is gone cannot stop its context; its ring, and the frame
  // handed out, stay mapped until the camera is freed
  held_ = nullptr;
  parked_.clear();
  streaming_ = capturing_ = false;
}

bool Dc1394Device::frame_ready(int wait_ms, bool *ready) {
  *ready = false;
  if (gone_ || !streaming_) return true;
  struct pollfd p = {dc1394_capture_get_fileno(cam_), POLLIN, 0};
  int r;
  do r = poll(&p, 1, wait_ms > 0 ? wait_ms : 0);
  while (r < 0 && errno == EINTR);
  *ready = r > 0;  // a hang-up too: the next frame call tells
  return true;
}

// Frames already waiting are discarded. The one handed out stays readable,
// so while it is out they wait behind it until the next frame call.
void Dc1394Device::flush() {
  if (gone_ || !streaming_) return;
  for (;;) {
    dc1394video_frame_t *fr = nullptr;
    if (dc1394_capture_dequeue(cam_, DC1394_CAPTURE_POLICY_POLL, &fr) != DC1394_SUCCESS ||
        !fr)
      return;
    if (fr->timestamp) last_ts_ = fr->timestamp;
    ++seq_;
    if (held_) parked_.push_back(fr);
    else dc1394_capture_enqueue(cam_, fr);
  }
}

// The frame handed out and those taken after it, back in the order taken.
void Dc1394Device::give_back() {
  if (held_) dc1394_capture_enqueue(cam_, held_);
  held_ = nullptr;
  for (dc1394video_frame_t *f : parked_) dc1394_capture_enqueue(cam_, f);
  parked_.clear();
}

void Dc1394Device::lost(const char *what) {
  if (!gone_)
    vz_diag("camera %016" PRIx64 " (%s): %s; it is gone from the bus", guid_,
            model_.c_str(), what);
  gone_ = true;
}

// A wait without frames: a camera that no longer answers is gone; after a
// bus reset, a camera that stopped sending is started again.
Next Dc1394Device::check_health(const char *after) {
  dc1394switch_t iso;
  if (dc1394_video_get_transmission(cam_, &iso) != DC1394_SUCCESS) {
    lost(after);
    return Next::GONE;
  }
  uint32_t node, gen = generation_;
  dc1394_camera_get_node(cam_, &node, &gen);
  if (gen != generation_) {
    generation_ = gen;
    if (iso == DC1394_OFF) {
      bool ok = dc1394_video_set_transmission(cam_, DC1394_ON) == DC1394_SUCCESS;
      vz_diag("camera %016" PRIx64 ": bus reset during capture; the camera "
              "stopped sending and %s", guid_, ok ? "was started again" : "cannot be restarted");
    } else {
      vz_diag("camera %016" PRIx64 ": bus reset during capture; streaming goes on", guid_);
    }
  }
  return Next::TIMEOUT;
}

Next Dc1394Device::next_frame(int wait_ms, Frame *f) {
  vz_diag_flush();
  if (gone_) return Next::GONE;
  if (!streaming_) return Next::TIMEOUT;
  // frames discarded behind the one handed out would starve the ring
  if (!parked_.empty()) give_back();
  int fd = dc1394_capture_get_fileno(cam_);
  int64_t deadline = vz_mono_us() + (wait_ms > 0 ? (int64_t)wait_ms * 1000 : 0);
  for (;;) {
    int64_t left = deadline - vz_mono_us();
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, left > 0 ? (int)((left + 999) / 1000) : 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      lost("its frames cannot be waited for");
      return Next::GONE;
    }
    if (r == 0)  // a real wait ran out: is the camera still there?
      return wait_ms >= 100 ? check_health("it stopped answering while streaming")
                            : Next::TIMEOUT;
    if (!(p.revents & POLLIN)) {
      lost("its capture device hung up");
      return Next::GONE;
    }
    // take every queued frame, keep the newest, give the others back
    dc1394video_frame_t *fr = nullptr;
    uint32_t dropped = 0;
    for (;;) {
      dc1394video_frame_t *nx = nullptr;
      if (dc1394_capture_dequeue(cam_, DC1394_CAPTURE_POLICY_POLL, &nx) != DC1394_SUCCESS) {
        lost("its frames cannot be read");
        return Next::GONE;
      }
      if (!nx) break;
      // a frame is coming: the one handed out goes back first
      give_back();
      if (fr) {
        dc1394_capture_enqueue(cam_, fr);
        ++dropped;
      }
      // frames the ring had no room for show as a gap in the timestamps
      if (last_ts_ && period_us_ > 0 && nx->timestamp > last_ts_) {
        long n = lround((double)(nx->timestamp - last_ts_) / period_us_);
        if (n > 1) {
          dropped += (uint32_t)(n - 1);
          seq_ += (uint64_t)(n - 1);
        }
      }
      if (last_ts_ || fr) ++seq_;
      last_ts_ = nx->timestamp ? nx->timestamp : last_ts_ + 1;
      fr = nx;
    }
    if (!fr) continue;  // woken by an event that was not a frame
    drop_kept();
    held_ = fr;
    f->data = fr->image;
    f->bytes = (uint32_t)fr->image_bytes;
    f->seq = seq_;
    f->usec = (int64_t)fr->timestamp;
    f->dropped = dropped;
    return Next::FRAME;
  }
}

std::vector<std::unique_ptr<Dc1394Device>> open_cameras(BusProbe *p, const char *dev_dir) {
  std::vector<std::unique_ptr<Dc1394Device>> out;
  bool retried = false;
  for (size_t i = 0; p->ctx && i < p->ids.size(); ++i) {
    const dc1394camera_id_t &id = p->ids[i];
    FwNode node;
    for (const FwNode &n : p->nodes)
      if (n.guid == id.guid) node = n;
    std::string fault = fw_node_opening_fault(node, id.unit);
    if (!fault.empty()) {
      vz_diag("%s", fw_node_left_out(node, fault).c_str());
      continue;
    }
    dc1394camera_t *cam = dc1394_camera_new_unit(p->ctx.get(), id.guid, id.unit);
    if (!cam && !retried && !node.path.empty() &&
        reread_rom(node.path, id.guid, dev_dir)) {
      // start again with what the kernel knows now
      retried = true;
      out.clear();
      *p = BusProbe();
      probe_bus(p, dev_dir);
      dc1394_release_log(p);
      i = (size_t)-1;
      continue;
    }
    if (!cam) {
      vz_diag("camera %016" PRIx64 " unit %d cannot be opened by libdc1394", id.guid,
              id.unit);
      continue;
    }
    out.emplace_back(new Dc1394Device(p->ctx, cam, node.path, node.speed));
  }
  vz_diag_flush();
  return out;
}

}  // namespace vz
