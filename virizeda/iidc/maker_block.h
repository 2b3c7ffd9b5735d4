// The maker's block beside the IIDC registers: ten local parameter words
// (identity, camera type, offsets, processing, mains rate), and the flash
// that keeps them and the stereo calibration. Only cameras of that maker
// have it; a block whose version word reads 0 is taken as absent.
#ifndef VIRIZEDA_IIDC_MAKER_BLOCK_H
#define VIRIZEDA_IIDC_MAKER_BLOCK_H

#include <stdint.h>

namespace vz {

class Device;

namespace iidc {

// Local parameter block: ten words from here.
const uint32_t LOCAL_BASE = 0xF0FFF000u;
const int LOCAL_WORDS = 10;
enum {
  LP_IMAGER_CMD = 0,   // 0x000
  LP_VERSION = 1,      // 0x004
  LP_CAM_TYPE = 2,     // 0x008
  LP_IDENT = 3,        // 0x00C serial, bit 24 inversion
  LP_YOFFSET = 4,      // 0x010 left bits 0-7, right bits 16-23
  LP_BLACK = 5,        // 0x014 left bits 0-7, right bits 16-23
  LP_PROC = 6,         // 0x018 mode, confidence, uniqueness
  LP_CALIB = 7,        // 0x01C bit 31 stored, bits 0-23 length
  LP_FIRMWARE = 8,     // 0x020 FireWire << 16 | camera firmware
  LP_RATE = 9          // 0x024 0x00010001 50 Hz, 0x00010000 60 Hz
};
const uint32_t LP_IDENT_INVERT = 0x01000000u;
const uint32_t LP_RATE_60 = 0x00010000u;
const uint32_t LP_RATE_50 = 0x00010001u;
const uint32_t IMAGER_READ = 0x02;
// Flash beside the local block: commands and a calibration window.
// FLASH_CMD takes a command; reading it gives the last one's result.
const uint32_t FLASH_CMD = 0xF0FFF040u;
const uint32_t CALIB_PAGE = 0xF0FFF044u;  // byte offset of the window
const uint32_t CALIB_SIZE = 0xF0FFF048u;  // bit 31 stored, bits 0-23 length
const uint32_t CALIB_WINDOW = 0xF0FFF400u;
const int CALIB_WINDOW_BYTES = 1024;
const uint32_t FLASH_SAVE_LOCAL = 1, FLASH_STORE_CALIB = 2,
               FLASH_ERASE_CALIB = 3;
// results: done, kept by the device but not in flash, refused
const uint32_t FLASH_OK = 0, FLASH_NOT_KEPT = 0x80000001u,
               FLASH_REFUSED = 0x80000002u;
const int CALIB_MAX = 1 << 20;
const uint32_t IMAGER_WRITE = 0x04;

// The words of the block a camera mirrors in its fields.
struct LocalWords {
  bool reversed = false;
  int y_offset = 0, y_offset_right = 0, black = 0, black_right = 0;
  int proc_mode = 0;  // as stored: not checked against the known modes
  bool rate_50 = false;
};

// What the camera type and firmware words say.
struct CameraWords {
  bool stereo = false, bayer = false;
  int imager = 0, fw_firmware = 0, cam_firmware = 0;
};

// The block of one device, through its register access; diagnostics name
// the camera by its number.
class MakerBlock {
 public:
  MakerBlock(Device *dev, int num) : dev_(dev), num_(num) {}
  // Reads the version word; false: no block.
  bool find();
  bool present() const { return present_; }
  // The camera type and firmware words; false when either cannot be read.
  bool camera_words(CameraWords *out);
  // The words a camera mirrors; zeros without a block.
  LocalWords read();
  // Changes the bits of mask in a word; the device checks them.
  bool set(int word, uint32_t mask, uint32_t bits);
  // Keeps the local parameters in flash.
  bool save();
  // The stored calibration into buf (len bytes, ended by a 0 when there is
  // room); a null buf asks only whether one is stored.
  bool read_calibration(char *buf, int len);
  // Stores len bytes of calibration, or erases it (null or empty).
  bool store_calibration(const char *buf, int len);

 private:
  bool flash(uint32_t command, const char *action, const char *done);

  Device *dev_;
  int num_;
  bool present_ = false;
};

}  // namespace iidc
}  // namespace vz

#endif
