// What IIDC registers mean, named once: colour codings, frame rates,
// feature numbers, the register space as the programs address it (low
// 32 bits of the node's IEEE 1394 register offsets), the maker's local
// parameter block and flash, and helpers to build and decode their words.
#ifndef VIRIZEDA_IIDC_IIDC_H
#define VIRIZEDA_IIDC_IIDC_H

#include <stdint.h>

#include <string>

namespace vz {
namespace iidc {

// Pixel codings a device sends, valued as IIDC's COLOR_CODING_ID.
enum class Coding : uint32_t {
  MONO8 = 0, YUV411 = 1, YUV422 = 2, YUV444 = 3, RGB8 = 4, RAW8 = 9
};

// Colour filter of RAW8 frames (and of MONO8 frames from a Bayer imager).
enum class Filter { NONE, RGGB, BGGR, GRBG, GBRG };

// IIDC frame rate codes, as in the CUR_V_FRM_RATE register.
enum Rate {
  RATE_1_875 = 0, RATE_3_75 = 1, RATE_7_5 = 2, RATE_15 = 3,
  RATE_30 = 4, RATE_60 = 5, RATE_120 = 6, RATE_240 = 7
};

// Feature numbers: bit 31 - n of FEATURE_HI_INQ, the n-th register of
// FEATURE_INQ and FEATURE_CTL (libdc1394's order).
enum Feature : int {
  BRIGHTNESS = 0, AUTO_EXPOSURE = 1, SHARPNESS = 2, WHITE_BALANCE = 3,
  HUE = 4, SATURATION = 5, GAMMA = 6, SHUTTER = 7, GAIN = 8,
  FEATURES = 9  // how many
};

// Configuration ROM: 1 KiB from here, quadlet addressed.
const uint32_t ROM_BASE = 0xF0000400u;
const int ROM_QUADS = 256;
// Quadlet indexes inside the ROM.
enum {
  ROM_BUS_INFO = 0,    // info length 4, CRC length 4, CRC
  ROM_BUS_NAME = 1,    // "1394"
  ROM_CAPS = 2,
  ROM_CHIP_HI = 3,     // vendor id << 8 | chip id high
  ROM_CHIP_LO = 4,     // device type << 16 | serial
  ROM_ROOT_DIR = 5,    // 0x414, four entries
  ROM_UID_LEAF = 10,   // 0x428, length 2
  ROM_UNIT_DIR = 13,   // 0x434, three entries
  ROM_UNIT_DEP = 17,   // 0x444, four entries
  ROM_VENDOR_LEAF = 22,  // 0x458, "virizeda"
  ROM_MODEL_LEAF = 27,   // 0x46C, the camera's name
  ROM_MODEL_MAX = 256    // bytes of the name the leaf holds
};

// DCAM (IIDC) registers.
const uint32_t DCAM_BASE = 0xF0F00000u;
enum {
  DC_INITIALIZE = 0x000,
  DC_V_FORMAT_INQ = 0x100,
  DC_V_MODE_INQ_0 = 0x180,   // + 4 * format
  DC_V_RATE_INQ = 0x200,     // + 32 * format + 4 * mode
  DC_V_CSR_INQ_7_0 = 0x2E0,
  DC_BASIC_FUNC_INQ = 0x400,
  DC_FEATURE_HI_INQ = 0x404,
  DC_FEATURE_INQ = 0x500,    // + 4 * feature
  DC_CUR_V_FRM_RATE = 0x600,
  DC_CUR_V_MODE = 0x604,
  DC_CUR_V_FORMAT = 0x608,
  DC_ISO_CHANNEL = 0x60C,
  DC_CAMERA_POWER = 0x610,
  DC_ISO_EN = 0x614,
  DC_ONE_SHOT = 0x61C,
  DC_FEATURE_CTL = 0x800,    // + 4 * feature
  DC_FORMAT7_0 = 0x1000      // Format_7 Mode_0 block
};
// Registers of a Format_7 mode's block.
enum {
  F7_MAX_SIZE = 0x000, F7_UNIT_SIZE = 0x004, F7_POSITION = 0x008,
  F7_SIZE = 0x00C, F7_CODING_ID = 0x010, F7_CODING_INQ = 0x014,
  F7_PIXELS = 0x034, F7_TOTAL_HI = 0x038, F7_TOTAL_LO = 0x03C,
  F7_PACKET_PARA = 0x040, F7_BYTE_PER_PACKET = 0x044,
  F7_PACKETS_PER_FRAME = 0x048, F7_UNIT_POSITION = 0x04C,
  F7_FRAME_INTERVAL = 0x050, F7_DATA_DEPTH = 0x054, F7_COLOR_FILTER = 0x058,
  F7_VALUE_SETTING = 0x07C, F7_BLOCK = 0x080
};
// IIDC colour coding ids.
enum { CODING_MONO8 = 0, CODING_YUV411 = 1, CODING_YUV422 = 2,
       CODING_YUV444 = 3, CODING_RGB8 = 4, CODING_RAW8 = 9 };

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

// CRC-16 of IEEE 1212 (polynomial 0x1021, start 0) over n quadlets, most
// significant byte first.
uint16_t crc16(const uint32_t *q, int n);

// A factory-fresh ROM for a node: bus info block, root directory, unique ID
// leaf, unit directories and the vendor and model name leaves, every CRC set.
// The GUID's upper 24 bits are the vendor identifier.
void rom_build(uint32_t rom[ROM_QUADS], uint64_t guid, int bus_speed,
                  const std::string &model);
// Recompute the CRC of a directory or leaf whose header is at index i.
void rom_fix_crc(uint32_t rom[ROM_QUADS], int i);

// Quadlets as bytes, most significant first (as on the bus and in files).
std::string quadlets_to_bytes(const uint32_t *q, int n);
void quadlets_from_bytes(const std::string &b, uint32_t *q, int n);

// Feature inquiry and control words in IIDC layout.
uint32_t feature_inq(bool present, bool has_auto, bool has_manual,
                        bool on_off, int lo, int hi);
uint32_t feature_ctl(bool present, bool on, bool is_auto, int value);
uint32_t wb_ctl(bool present, bool is_auto, int blue, int red);
inline bool ctl_auto(uint32_t w) { return w & (1u << 24); }
inline bool ctl_on(uint32_t w) { return w & (1u << 25); }
inline int ctl_value(uint32_t w) { return w & 0xfff; }
inline int ctl_value_hi(uint32_t w) { return (w >> 12) & 0xfff; }


}  // namespace iidc
}  // namespace vz

#endif
