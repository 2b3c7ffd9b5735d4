// The simulated camera's register space: ROM, IIDC control and status
// registers, Format_7, the maker's local block and its flash.
#include "devices/sim/sim_device.h"

#include <string.h>

#include <string>
#include <vector>

#include "core/clock.h"
#include "core/convert.h"

namespace vz {

// ---------------------------------------------------------------- registers

bool SimDevice::read_quadlet(uint32_t a, uint32_t *v) {
  if (!v || (a & 3)) return false;
  if (a >= iidc::ROM_BASE && a < iidc::ROM_BASE + 4 * iidc::ROM_QUADS) {
    *v = rom_[(a - iidc::ROM_BASE) / 4];
    return true;
  }
  if (a >= iidc::DCAM_BASE && a < iidc::DCAM_BASE + iidc::DC_FORMAT7_0 + iidc::F7_BLOCK)
    return read_dcam(a - iidc::DCAM_BASE, v);
  if (a >= iidc::LOCAL_BASE && a < iidc::LOCAL_BASE + 4 * iidc::LOCAL_WORDS)
    return read_local((a - iidc::LOCAL_BASE) / 4, v);
  return read_flash(a, v);
}

// Identity programming writes the chip identifier, in the bus info block
// and in the unique ID leaf, and the CRCs over them; the rest of the ROM is
// read-only, as a camera's is, and a CRC quadlet keeps its lengths, so no
// write makes a ROM that readers misparse.
static bool rom_writable(int i, uint32_t old, uint32_t v) {
  switch (i) {
    case iidc::ROM_CHIP_HI: case iidc::ROM_CHIP_LO:
    case iidc::ROM_UID_LEAF + 1: case iidc::ROM_UID_LEAF + 2:
      return true;
    case iidc::ROM_BUS_INFO: case iidc::ROM_UID_LEAF:
      return old >> 16 == v >> 16;
  }
  return false;
}

bool SimDevice::write_quadlet(uint32_t a, uint32_t v) {
  if (a & 3) return false;
  if (a >= iidc::ROM_BASE && a < iidc::ROM_BASE + 4 * iidc::ROM_QUADS) {
    int i = (int)(a - iidc::ROM_BASE) / 4;
    if (!rom_writable(i, rom_[i], v)) return false;
    // the ROM is flash: each write lands in the state directory at once
    rom_[i] = v;
    std::vector<int> written{i};
    return persist("rom", iidc::quadlets_to_bytes(rom_, iidc::ROM_QUADS), &written);
  }
  if (a >= iidc::DCAM_BASE && a < iidc::DCAM_BASE + iidc::DC_FORMAT7_0 + iidc::F7_BLOCK)
    return write_dcam(a - iidc::DCAM_BASE, v);
  if (a >= iidc::LOCAL_BASE && a < iidc::LOCAL_BASE + 4 * iidc::LOCAL_WORDS) {
    int word = (int)(a - iidc::LOCAL_BASE) / 4;
    if (!write_local(word, v)) return false;
    lp_written_ |= 1u << word;
    return true;
  }
  return write_flash(a, v);
}

bool SimDevice::read_dcam(uint32_t off, uint32_t *v) {
  if (off >= iidc::DC_V_MODE_INQ_0 && off < iidc::DC_V_MODE_INQ_0 + 32) {
    *v = mode_inq((off - iidc::DC_V_MODE_INQ_0) / 4);
    return true;
  }
  if (off >= iidc::DC_V_RATE_INQ && off < iidc::DC_V_RATE_INQ + 3 * 32) {
    int f = (off - iidc::DC_V_RATE_INQ) / 32, m = (off - iidc::DC_V_RATE_INQ) % 32 / 4;
    Mode fm;
    *v = 0;
    if (mode_offered(f, m) && fixed_mode(f, m, &fm))
      for (int r = 0; r < 8; ++r)
        if (fm.rates & (1u << r)) *v |= 1u << (31 - r);
    return true;
  }
  if (off >= iidc::DC_V_CSR_INQ_7_0 && off < iidc::DC_V_CSR_INQ_7_0 + 32) {
    *v = off == iidc::DC_V_CSR_INQ_7_0 && mode_offered(7, 0)
             ? (iidc::DCAM_BASE + iidc::DC_FORMAT7_0 - iidc::CSR_BASE) / 4 : 0;
    return true;
  }
  if (off >= iidc::DC_FEATURE_INQ && off < iidc::DC_FEATURE_INQ + 0x80)
    return read_feature_inq((off - iidc::DC_FEATURE_INQ) / 4, v);
  if (off >= iidc::DC_FEATURE_CTL && off < iidc::DC_FEATURE_CTL + 0x80)
    return read_feature_ctl((off - iidc::DC_FEATURE_CTL) / 4, v);
  if (off >= iidc::DC_FORMAT7_0 && off < iidc::DC_FORMAT7_0 + iidc::F7_BLOCK) {
    if (!mode_offered(7, 0)) return false;
    return read_f7(off - iidc::DC_FORMAT7_0, v);
  }
  // inquiries of what this camera lacks read 0, as libdc1394 asks them all:
  // revisions, optional functions, advanced features, the low features
  if ((off >= iidc::DC_V_REV_INQ && off < iidc::DC_V_REV_INQ + 32) ||
      off == iidc::DC_FEATURE_LO_INQ || off == iidc::DC_OPT_FUNC_INQ ||
      (off >= iidc::DC_ADV_FEATURE_INQ && off < iidc::DC_ADV_FEATURE_INQ + 16) ||
      (off >= iidc::DC_FEATURE_LO_INQ_0 && off < iidc::DC_FEATURE_LO_INQ_0 + 0x80) ||
      (off >= iidc::DC_FEATURE_LO_CTL && off < iidc::DC_FEATURE_LO_CTL + 0x80) ||
      off == iidc::DC_MEMORY_SAVE || off == iidc::DC_MEM_SAVE_CH ||
      off == iidc::DC_CUR_MEM_CH || off == iidc::DC_FEATURE_ERR_HI_INQ ||
      off == iidc::DC_FEATURE_ERR_LO_INQ) {
    *v = 0;
    return true;
  }
  switch (off) {
    case iidc::DC_DATA_DEPTH:
      *v = 8u << 24;
      return true;
    case iidc::DC_INITIALIZE:
      *v = 0;
      return true;
    case iidc::DC_BASIC_FUNC_INQ:
      // one shot; 1394b operation mode on an S800 bus
      *v = 1u << 12 | (bus_speed_ >= 800 ? 1u << 23 : 0);
      return true;
    case iidc::DC_V_FORMAT_INQ:
      *v = (mode_inq(0) ? 1u << 31 : 0) | (mode_inq(2) ? 1u << 29 : 0) |
           (mode_offered(7, 0) ? 1u << 24 : 0);
      return true;
    case iidc::DC_FEATURE_HI_INQ: {
      uint32_t bits = 0, inq;
      for (int n = 0; n < iidc::FEATURES; ++n)
        if (read_feature_inq(n, &inq) && inq) bits |= 1u << (31 - n);
      *v = bits;
      return true;
    }
    case iidc::DC_CUR_V_FRM_RATE:
      *v = (uint32_t)rate_ << 29;
      return true;
    case iidc::DC_CUR_V_MODE:
      *v = (uint32_t)mode_ << 29;
      return true;
    case iidc::DC_CUR_V_FORMAT:
      *v = (uint32_t)format_ << 29;
      return true;
    case iidc::DC_ISO_CHANNEL:
      *v = iso_b_mode_ ? 1u << 15 | (uint32_t)iso_channel_ << 8 | (uint32_t)iso_speed_
                       : (uint32_t)iso_channel_ << 28 | (uint32_t)iso_speed_ << 24;
      return true;
    case iidc::DC_CAMERA_POWER:
      *v = 1u << 31;
      return true;
    case iidc::DC_ISO_EN:
      *v = stream_.on ? 1u << 31 : 0;
      return true;
    case iidc::DC_ONE_SHOT:
      *v = one_shot_ ? 1u << 31 : 0;
      return true;
  }
  return false;
}

bool SimDevice::read_f7(uint32_t off, uint32_t *v) {
  int maxw = conf_.v.max_width / F7_UNIT * F7_UNIT;
  int maxh = conf_.v.max_height / F7_UNIT * F7_UNIT;
  bool cur = format_ == 7;
  int w = f7_w_, h = f7_h_;
  uint32_t bytes = (uint32_t)coding_bytes(f7_coding_, (size_t)w * h);
  uint32_t packet = f7_packet_ ? f7_packet_ : f7_recommended();
  switch (off) {
    case iidc::F7_MAX_SIZE:
      *v = (uint32_t)maxw << 16 | (uint32_t)maxh;
      return true;
    case iidc::F7_UNIT_SIZE:
    case iidc::F7_UNIT_POSITION:
      *v = (uint32_t)F7_UNIT << 16 | F7_UNIT;
      return true;
    case iidc::F7_POSITION:
      *v = (uint32_t)f7_x_ << 16 | (uint32_t)f7_y_;
      return true;
    case iidc::F7_SIZE:
      *v = (uint32_t)w << 16 | (uint32_t)h;
      return true;
    case iidc::F7_CODING_ID:
      *v = (uint32_t)f7_coding_ << 24;  // COLOR_CODING_ID
      return true;
    case iidc::F7_CODING_INQ:
      *v = coding_mask();
      return true;
    case iidc::F7_PIXELS:
      *v = (uint32_t)(w * h);
      return true;
    case iidc::F7_TOTAL_HI:
      *v = 0;
      return true;
    case iidc::F7_TOTAL_LO:
      *v = bytes;
      return true;
    case iidc::F7_PACKET_PARA:
      *v = 4u << 16 | f7_max_packet();
      return true;
    case iidc::F7_BYTE_PER_PACKET:
      *v = packet << 16 | f7_recommended();
      return true;
    case iidc::F7_PACKETS_PER_FRAME:
      *v = (bytes + packet - 1) / packet;
      return true;
    case iidc::F7_FRAME_INTERVAL: {
      float s = (float)((cur ? frame_period_us() : 1e6 / iidc::rate_fps(rate_)) /
                        1e6);
      memcpy(v, &s, 4);
      return true;
    }
    case iidc::F7_DATA_DEPTH:
      *v = 8u << 24;
      return true;
    case iidc::F7_COLOR_FILTER:
      *v = (conf_.v.isBGGR ? 3u : 0u) << 24;
      return true;
    case iidc::F7_VALUE_SETTING:
      *v = 0;  // no handshake: values take effect as written
      return true;
  }
  return false;
}

bool SimDevice::write_f7(uint32_t off, uint32_t v) {
  int hi = (int)(v >> 16), lo = (int)(v & 0xffff);
  switch (off) {
    case iidc::F7_POSITION:
      if (!f7_window_fits(hi, lo, f7_w_, f7_h_)) return false;
      f7_x_ = hi, f7_y_ = lo;
      return true;
    case iidc::F7_SIZE:
      if (!f7_window_fits(f7_x_, f7_y_, hi, lo)) return false;
      f7_w_ = hi, f7_h_ = lo;
      break;
    case iidc::F7_CODING_ID: {
      uint32_t id = v >> 24;
      if (id > 31 || !(coding_mask() & coding_bit((iidc::Coding)id))) return false;
      f7_coding_ = (iidc::Coding)id;
      break;
    }
    case iidc::F7_BYTE_PER_PACKET: {
      uint32_t p = v >> 16;
      if (p == 0 || (p & 3) || p > f7_max_packet()) return false;
      f7_packet_ = p;
      f7_by_packet_ = true;
      if (stream_.on && format_ == 7) pace(vz_mono_us());
      return true;
    }
    default:
      return no_register();
  }
  // a new size or coding needs a packet size of its own
  f7_packet_ = f7_recommended();
  return true;
}

bool SimDevice::write_dcam(uint32_t off, uint32_t v) {
  if (off >= iidc::DC_FEATURE_CTL && off < iidc::DC_FEATURE_CTL + 4 * iidc::FEATURES)
    return write_feature((off - iidc::DC_FEATURE_CTL) / 4, v);
  if (off >= iidc::DC_FORMAT7_0 && off < iidc::DC_FORMAT7_0 + iidc::F7_BLOCK)
    return mode_offered(7, 0) ? write_f7(off - iidc::DC_FORMAT7_0, v) : no_register();
  switch (off) {
    case iidc::DC_INITIALIZE:
      if (v & (1u << 31)) power_on();
      return true;
    case iidc::DC_CUR_V_FRM_RATE: {
      int r = (int)(v >> 29);
      if (r < RATE_MIN || r > RATE_MAX) return false;
      rate_ = r;
      if (!f7_by_packet_) f7_packet_ = f7_recommended();
      if (stream_.on) pace(vz_mono_us());
      return true;
    }
    case iidc::DC_CUR_V_MODE: {
      int m = (int)(v >> 29);
      if (!mode_offered(format_, m)) return false;
      mode_ = m;
      if (stream_.on) pace(vz_mono_us());
      return true;
    }
    case iidc::DC_CUR_V_FORMAT: {
      int f = (int)(v >> 29);
      if (f != 7 && !mode_inq(f)) return false;
      if (f == 7 && !mode_offered(7, 0)) return false;
      format_ = f;
      if (f == 7) mode_ = 0;
      // the first mode the format offers, until a mode is written
      for (int m = 0; m < 8 && f != 7 && !mode_offered(f, mode_); ++m)
        mode_ = m;
      return true;
    }
    case iidc::DC_ISO_CHANNEL: {
      bool b_mode = v & (1u << 15);
      int speed = b_mode ? v & 7 : (v >> 24) & 3;
      if ((b_mode && bus_speed_ < 800) || speed > (b_mode ? 3 : 2)) return false;
      iso_b_mode_ = b_mode;
      iso_channel_ = b_mode ? (v >> 8) & 0x3f : (v >> 28) & 0xf;
      iso_speed_ = speed;
      return true;
    }
    case iidc::DC_ISO_EN:
      if (v & (1u << 31)) return start(nullptr);
      stop();
      return true;
    case iidc::DC_ONE_SHOT:
      one_shot_ = v & (1u << 31);
      return true;
  }
  return no_register();
}

// ---------------------------------------------------------------- local block

bool SimDevice::read_local(int word, uint32_t *v) const {
  if (!conf_.local_params_version) return false;
  const CamValues &c = conf_.v;
  switch (word) {
    case iidc::LP_VERSION:
      *v = conf_.local_params_version;
      return true;
    case iidc::LP_CAM_TYPE:
      *v = ((rom_[iidc::ROM_CHIP_LO] >> 16) & 0xf) << 16 |
           (c.isStereo ? 1u << 10 : 0) | (c.isBayer ? 1u << 9 : 0) |
           (c.has_color ? 1u << 8 : 0) | ((uint32_t)c.camImager & 0xff);
      return true;
    case iidc::LP_CALIB:
      *v = has_calib_ ? (1u << 31) | (uint32_t)(calib_.size() & 0xffffff) : 0;
      return true;
    case iidc::LP_FIRMWARE:
      *v = ((uint32_t)c.fwFirmware & 0xffff) << 16 |
           ((uint32_t)c.camFirmware & 0xffff);
      return true;
  }
  *v = lp_[word];
  return true;
}

bool SimDevice::write_local(int word, uint32_t v) {
  if (!conf_.local_params_version) return no_register();
  const CamValues &c = conf_.v;
  switch (word) {
    case iidc::LP_IMAGER_CMD: {
      // a read request makes the word deliver the register, a write sets it
      uint32_t request = v >> 24, reg = (v >> 16) & 0xff;
      if (request == iidc::IMAGER_READ) {
        lp_[iidc::LP_IMAGER_CMD] = (v & 0xffff0000u) | imager_[reg];
        return true;
      }
      if (request != iidc::IMAGER_WRITE) return false;
      imager_[reg] = (uint16_t)(v & 0xffff);
      lp_[iidc::LP_IMAGER_CMD] = v;
      return true;
    }
    case iidc::LP_IDENT:
      lp_[iidc::LP_IDENT] = v & (0xffffu | iidc::LP_IDENT_INVERT);
      return true;
    case iidc::LP_YOFFSET:
    case iidc::LP_BLACK: {
      bool has = word == iidc::LP_YOFFSET ? c.has_y_offset : c.has_black_offset;
      int max = word == iidc::LP_YOFFSET ? c.max_y_offset : c.max_black_offset;
      int l = v & 0xff, r = (v >> 16) & 0xff;
      if (!has || l > max || r > max || (v & 0xff00ff00u)) return false;
      lp_[word] = v;
      return true;
    }
    case iidc::LP_PROC:
      if (!c.has_proc_mode || (v & 0xff) > 5 || (v >> 24)) return false;
      lp_[iidc::LP_PROC] = v;
      return true;
    case iidc::LP_RATE:
      if (v != iidc::LP_RATE_60 && !(v == iidc::LP_RATE_50 && c.has_50Hz_rate))
        return false;
      lp_[iidc::LP_RATE] = v;
      if (stream_.on) pace(vz_mono_us());
      return true;
  }
  return no_register();  // version, type, calibration and firmware words
}

// ---------------------------------------------------------------- flash

bool SimDevice::read_flash(uint32_t a, uint32_t *v) const {
  if (a == iidc::FLASH_CMD) {
    *v = flash_result_;
    return true;
  }
  if (a == iidc::CALIB_PAGE) {
    *v = calib_page_;
    return true;
  }
  if (a == iidc::CALIB_SIZE) {
    *v = has_calib_ ? (1u << 31) | (uint32_t)calib_.size() : 0;
    return true;
  }
  if (a >= iidc::CALIB_WINDOW && a < iidc::CALIB_WINDOW + iidc::CALIB_WINDOW_BYTES) {
    size_t at = calib_page_ + (a - iidc::CALIB_WINDOW);
    uint32_t w = 0;
    for (int i = 0; i < 4; ++i)
      w = w << 8 | (at + i < calib_.size() ? (uint8_t)calib_[at + i] : 0);
    *v = w;
    return true;
  }
  return false;
}

bool SimDevice::write_flash(uint32_t a, uint32_t v) {
  if (a == iidc::FLASH_CMD) {
    flash_result_ = flash_command(v);
    return flash_result_ != iidc::FLASH_REFUSED;
  }
  if (a == iidc::CALIB_PAGE) {
    if (v % iidc::CALIB_WINDOW_BYTES || v >= (uint32_t)iidc::CALIB_MAX) return false;
    calib_page_ = v;
    return true;
  }
  if (a == iidc::CALIB_SIZE) {
    if (v > (uint32_t)iidc::CALIB_MAX) return false;
    calib_staging_.assign(v, '\0');  // nothing of an earlier staging stays
    return true;
  }
  if (a >= iidc::CALIB_WINDOW && a < iidc::CALIB_WINDOW + iidc::CALIB_WINDOW_BYTES) {
    size_t at = calib_page_ + (a - iidc::CALIB_WINDOW);
    for (int i = 0; i < 4; ++i)
      if (at + i < calib_staging_.size())
        calib_staging_[at + i] = (char)(v >> (24 - 8 * i));
    return true;
  }
  return no_register();
}

uint32_t SimDevice::flash_command(uint32_t cmd) {
  bool kept = false;
  switch (cmd) {
    case iidc::FLASH_SAVE_LOCAL: {
      if (!conf_.local_params_version) return iidc::FLASH_REFUSED;
      memcpy(lp_saved_, lp_, sizeof lp_saved_);
      std::vector<int> written;
      for (int w = 0; w < iidc::LOCAL_WORDS; ++w)
        if (lp_written_ & (1u << w)) written.push_back(w);
      kept = persist("local", iidc::quadlets_to_bytes(lp_, iidc::LOCAL_WORDS),
                     &written);
      if (kept) lp_written_ = 0;
      break;
    }
    case iidc::FLASH_STORE_CALIB:
      if (calib_staging_.empty()) return iidc::FLASH_REFUSED;
      calib_ = calib_staging_;
      has_calib_ = true;
      kept = persist("calib", calib_);
      break;
    case iidc::FLASH_ERASE_CALIB:
      calib_.clear();
      has_calib_ = false;
      kept = persist("calib", calib_);
      break;
    default:
      return iidc::FLASH_REFUSED;
  }
  return kept ? iidc::FLASH_OK : iidc::FLASH_NOT_KEPT;
}

}  // namespace vz
