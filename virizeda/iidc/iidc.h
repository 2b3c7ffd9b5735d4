// What IIDC registers mean, named once: colour codings, frame rates,
// feature numbers, the register space as the programs address it (low
// 32 bits of the node's IEEE 1394 register offsets), and helpers to build
// and decode their words. The configuration ROM is in iidc/rom.h, the
// maker's local parameter block and flash in iidc/maker_block.h.
#ifndef VIRIZEDA_IIDC_IIDC_H
#define VIRIZEDA_IIDC_IIDC_H

#include <stddef.h>
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
// Frames per second of a rate code (codes outside 0-7 taken as the nearest).
double rate_fps(int rate);

// Bytes of a frame of n pixels in a coding; 0 for a coding we do not know.
inline size_t coding_bytes(Coding c, size_t n) {
  switch (c) {
    case Coding::MONO8:
    case Coding::RAW8: return n;
    case Coding::YUV411: return n * 3 / 2;
    case Coding::YUV422: return n * 2;
    case Coding::RGB8:
    case Coding::YUV444: return n * 3;
  }
  return 0;
}

// Feature numbers: bit 31 - n of FEATURE_HI_INQ, the n-th register of
// FEATURE_INQ and FEATURE_CTL (libdc1394's order).
enum Feature : int {
  BRIGHTNESS = 0, AUTO_EXPOSURE = 1, SHARPNESS = 2, WHITE_BALANCE = 3,
  HUE = 4, SATURATION = 5, GAMMA = 6, SHUTTER = 7, GAIN = 8,
  FEATURES = 9  // how many
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

// Registers the simulated device answers but does not implement: the
// inquiries libdc1394 asks of every camera, and the memory channels.
// Offsets from DCAM_BASE; the ranges end where the next register starts.
const uint32_t CSR_BASE = 0xF0000000u;  // libdc1394's register offsets count from here
enum {
  DC_V_REV_INQ = 0x2C0,           // to 0x2DF: revisions of Format_0 to Format_7
  DC_FEATURE_LO_INQ = 0x408,
  DC_OPT_FUNC_INQ = 0x40C,
  DC_ADV_FEATURE_INQ = 0x480,     // to 0x48F: advanced features, PIO, SIO, strobe
  DC_FEATURE_LO_INQ_0 = 0x580,    // to 0x5FF: the low features' inquiries
  DC_MEMORY_SAVE = 0x618,
  DC_MEM_SAVE_CH = 0x620,
  DC_CUR_MEM_CH = 0x624,
  DC_DATA_DEPTH = 0x630,
  DC_FEATURE_ERR_HI_INQ = 0x640,
  DC_FEATURE_ERR_LO_INQ = 0x644,
  DC_FEATURE_LO_CTL = 0x880       // to 0x8FF: the low features' controls
};


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
