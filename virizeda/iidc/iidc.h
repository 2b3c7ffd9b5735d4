// The register space of an IIDC camera as the programs address it (low 32
// bits of the node's IEEE 1394 register offsets), and helpers to build and
// decode its words. Shared by every backend.
#ifndef VIRIZEDA_IIDC_IIDC_H
#define VIRIZEDA_IIDC_IIDC_H

#include <stdint.h>

#include <string>

// Configuration ROM: 1 KiB from here, quadlet addressed.
const uint32_t VZ_ROM_BASE = 0xF0000400u;
const int VZ_ROM_QUADS = 256;
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
const uint32_t VZ_DCAM_BASE = 0xF0F00000u;
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
// IIDC feature numbers (bit 31 - n of FEATURE_HI_INQ).
enum {
  FEAT_BRIGHTNESS = 0,
  FEAT_AUTO_EXPOSURE = 1,
  FEAT_SHARPNESS = 2,
  FEAT_WHITE_BALANCE = 3,
  FEAT_SATURATION = 5,
  FEAT_GAMMA = 6,
  FEAT_SHUTTER = 7,
  FEAT_GAIN = 8,
  FEAT_COUNT = 9
};

// Local parameter block: ten words from here.
const uint32_t VZ_LOCAL_BASE = 0xF0FFF000u;
const int VZ_LOCAL_WORDS = 10;
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
const uint32_t VZ_FLASH_CMD = 0xF0FFF040u;
const uint32_t VZ_CALIB_PAGE = 0xF0FFF044u;  // byte offset of the window
const uint32_t VZ_CALIB_SIZE = 0xF0FFF048u;  // bit 31 stored, bits 0-23 length
const uint32_t VZ_CALIB_WINDOW = 0xF0FFF400u;
const int VZ_CALIB_WINDOW_BYTES = 1024;
const uint32_t FLASH_SAVE_LOCAL = 1, FLASH_STORE_CALIB = 2,
               FLASH_ERASE_CALIB = 3;
// results: done, kept by the device but not in flash, refused
const uint32_t FLASH_OK = 0, FLASH_NOT_KEPT = 0x80000001u,
               FLASH_REFUSED = 0x80000002u;
const int VZ_CALIB_MAX = 1 << 20;
const uint32_t IMAGER_WRITE = 0x04;

// CRC-16 of IEEE 1212 (polynomial 0x1021, start 0) over n quadlets, most
// significant byte first.
uint16_t vz_crc16(const uint32_t *q, int n);

// A factory-fresh ROM for a node: bus info block, root directory, unique ID
// leaf, unit directories and the vendor and model name leaves, every CRC set.
// The GUID's upper 24 bits are the vendor identifier.
void vz_rom_build(uint32_t rom[VZ_ROM_QUADS], uint64_t guid, int bus_speed,
                  const std::string &model);
// Recompute the CRC of a directory or leaf whose header is at index i.
void vz_rom_fix_crc(uint32_t rom[VZ_ROM_QUADS], int i);

// Quadlets as bytes, most significant first (as on the bus and in files).
std::string vz_quadlets_to_bytes(const uint32_t *q, int n);
void vz_quadlets_from_bytes(const std::string &b, uint32_t *q, int n);

// Feature inquiry and control words in IIDC layout.
uint32_t vz_feature_inq(bool present, bool has_auto, bool has_manual,
                        bool on_off, int lo, int hi);
uint32_t vz_feature_ctl(bool present, bool on, bool is_auto, int value);
uint32_t vz_wb_ctl(bool present, bool is_auto, int blue, int red);
inline bool vz_ctl_auto(uint32_t w) { return w & (1u << 24); }
inline bool vz_ctl_on(uint32_t w) { return w & (1u << 25); }
inline int vz_ctl_value(uint32_t w) { return w & 0xfff; }
inline int vz_ctl_value_hi(uint32_t w) { return (w >> 12) & 0xfff; }

#endif
