#include "iidc/maker_block.h"

#include "core/device.h"
#include "core/diag.h"

namespace vz {
namespace iidc {

bool MakerBlock::find() {
  uint32_t version = 0;
  present_ = dev_->read_quadlet(LOCAL_BASE + 4 * LP_VERSION, &version) && version != 0;
  return present_;
}

bool MakerBlock::camera_words(CameraWords *out) {
  uint32_t type = 0, fw = 0;
  if (!present_ || !dev_->read_quadlet(LOCAL_BASE + 4 * LP_CAM_TYPE, &type) ||
      !dev_->read_quadlet(LOCAL_BASE + 4 * LP_FIRMWARE, &fw))
    return false;
  out->stereo = type & (1u << 10);
  out->bayer = type & (1u << 9);
  out->imager = (int)(type & 0xff);
  out->fw_firmware = (int)(fw >> 16);
  out->cam_firmware = (int)(fw & 0xffff);
  return true;
}

LocalWords MakerBlock::read() {
  uint32_t w[LOCAL_WORDS] = {0};
  if (present_)
    for (int i : {LP_IDENT, LP_YOFFSET, LP_BLACK, LP_PROC, LP_RATE})
      dev_->read_quadlet(LOCAL_BASE + 4 * i, &w[i]);
  LocalWords l;
  l.reversed = w[LP_IDENT] & LP_IDENT_INVERT;
  l.y_offset = w[LP_YOFFSET] & 0xff;
  l.y_offset_right = (w[LP_YOFFSET] >> 16) & 0xff;
  l.black = w[LP_BLACK] & 0xff;
  l.black_right = (w[LP_BLACK] >> 16) & 0xff;
  l.proc_mode = w[LP_PROC] & 0xff;
  l.rate_50 = w[LP_RATE] == LP_RATE_50;
  return l;
}

bool MakerBlock::set(int word, uint32_t mask, uint32_t bits) {
  uint32_t addr = LOCAL_BASE + 4 * word, w = 0;
  return present_ && dev_->read_quadlet(addr, &w) &&
         dev_->write_quadlet(addr, (w & ~mask) | bits);
}

// One flash command: true when the device kept the change in flash.
bool MakerBlock::flash(uint32_t command, const char *action, const char *done) {
  uint32_t result = FLASH_REFUSED;
  if (!dev_->write_quadlet(FLASH_CMD, command) ||
      !dev_->read_quadlet(FLASH_CMD, &result) || result == FLASH_REFUSED) {
    vz_diag("camera %d: the device refused to %s", num_, action);
    return false;
  }
  vz_diag("camera %d: %s%s", num_, done,
          result == FLASH_OK ? "" : " in the device, but not kept in flash");
  return result == FLASH_OK;
}

bool MakerBlock::save() {
  if (!present_) {
    vz_diag("camera %d: no local parameter block to save", num_);
    return false;
  }
  return flash(FLASH_SAVE_LOCAL, "save the local parameters", "local parameters saved");
}

bool MakerBlock::read_calibration(char *buf, int len) {
  uint32_t size = 0;
  if (!dev_->read_quadlet(CALIB_SIZE, &size) || !(size >> 31)) return false;
  size &= 0xffffff;
  if (!buf) return true;
  if (len < 0 || (uint32_t)len < size) return false;
  for (uint32_t page = 0; page < size; page += CALIB_WINDOW_BYTES) {
    if (!dev_->write_quadlet(CALIB_PAGE, page)) return false;
    for (uint32_t i = 0; i < (uint32_t)CALIB_WINDOW_BYTES && page + i < size; i += 4) {
      uint32_t w = 0;
      if (!dev_->read_quadlet(CALIB_WINDOW + i, &w)) return false;
      for (uint32_t k = 0; k < 4 && page + i + k < size; ++k)
        buf[page + i + k] = (char)(w >> (24 - 8 * k));
    }
  }
  if ((uint32_t)len > size) buf[size] = '\0';
  return true;
}

bool MakerBlock::store_calibration(const char *buf, int len) {
  if (len < 0 || len > CALIB_MAX) {
    vz_diag("camera %d: calibration of %d bytes refused", num_, len);
    return false;
  }
  if (!buf || len == 0)
    return flash(FLASH_ERASE_CALIB, "erase the calibration", "calibration erased");
  uint32_t n = (uint32_t)len;
  if (!dev_->write_quadlet(CALIB_SIZE, n)) {
    vz_diag("camera %d: the device refused to store the calibration", num_);
    return false;
  }
  for (uint32_t page = 0; page < n; page += CALIB_WINDOW_BYTES) {
    bool ok = dev_->write_quadlet(CALIB_PAGE, page);
    for (uint32_t i = 0; ok && i < (uint32_t)CALIB_WINDOW_BYTES && page + i < n; i += 4) {
      uint32_t w = 0;
      for (uint32_t k = 0; k < 4; ++k)
        w = w << 8 | (page + i + k < n ? (unsigned char)buf[page + i + k] : 0);
      ok = dev_->write_quadlet(CALIB_WINDOW + i, w);
    }
    if (!ok) {
      vz_diag("camera %d: the device refused to store the calibration", num_);
      return false;
    }
  }
  return flash(FLASH_STORE_CALIB, "store the calibration", "calibration stored");
}

}  // namespace iidc
}  // namespace vz
