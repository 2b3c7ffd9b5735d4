#include "iidc/iidc.h"

namespace vz {
namespace iidc {

uint16_t crc16(const uint32_t *q, int n) {
  uint32_t crc = 0;
  for (int i = 0; i < n; ++i) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      crc ^= ((q[i] >> shift) & 0xff) << 8;
      for (int b = 0; b < 8; ++b)
        crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
      crc &= 0xffff;
    }
  }
  return (uint16_t)crc;
}

void rom_fix_crc(uint32_t rom[ROM_QUADS], int i) {
  int len = rom[i] >> 16;
  if (i == ROM_BUS_INFO) len = (rom[i] >> 16) & 0xff;
  if (i + 1 + len > ROM_QUADS) len = ROM_QUADS - i - 1;
  rom[i] = (rom[i] & 0xffff0000u) | crc16(rom + i + 1, len);
}

// A textual descriptor leaf (IEEE 1212): type and specifier 0, minimal
// ASCII, then the text padded with zeros; returns the index after it.
static int text_leaf(uint32_t rom[ROM_QUADS], int i, const std::string &t) {
  int quads = ((int)t.size() + 3) / 4;
  rom[i] = (uint32_t)(2 + quads) << 16;
  rom[i + 1] = rom[i + 2] = 0;
  for (int k = 0; k < 4 * quads; ++k)
    rom[i + 3 + k / 4] |= (uint32_t)(k < (int)t.size() ? (unsigned char)t[k] : 0)
                          << (24 - 8 * (k % 4));
  rom_fix_crc(rom, i);
  return i + 3 + quads;
}

void rom_build(uint32_t rom[ROM_QUADS], uint64_t guid, int bus_speed,
                  const std::string &model) {
  for (int i = 0; i < ROM_QUADS; ++i) rom[i] = 0;
  uint32_t vendor = (uint32_t)(guid >> 40);
  uint32_t chip_hi_word = (uint32_t)(guid >> 32), chip_lo = (uint32_t)guid;
  // bus info block: cmc, isc, cycle clock accuracy, max_rec 2048, link speed
  rom[ROM_BUS_INFO] = 0x04040000u;
  rom[ROM_BUS_NAME] = 0x31333934u;
  rom[ROM_CAPS] = 0x60ffa000u | (bus_speed >= 800 ? 3 : 2);
  rom[ROM_CHIP_HI] = chip_hi_word;
  rom[ROM_CHIP_LO] = chip_lo;
  rom_fix_crc(rom, ROM_BUS_INFO);
  // root directory: vendor, node capabilities, unit directory, unique ID leaf
  rom[ROM_ROOT_DIR] = 4u << 16;
  rom[ROM_ROOT_DIR + 1] = 0x03000000u | (vendor & 0xffffff);
  rom[ROM_ROOT_DIR + 2] = 0x0c0083c0u;
  rom[ROM_ROOT_DIR + 3] = 0xd1000000u | (ROM_UNIT_DIR - (ROM_ROOT_DIR + 3));
  rom[ROM_ROOT_DIR + 4] = 0x8d000000u | (ROM_UID_LEAF - (ROM_ROOT_DIR + 4));
  rom_fix_crc(rom, ROM_ROOT_DIR);
  rom[ROM_UID_LEAF] = 2u << 16;
  rom[ROM_UID_LEAF + 1] = chip_hi_word;
  rom[ROM_UID_LEAF + 2] = chip_lo;
  rom_fix_crc(rom, ROM_UID_LEAF);
  // unit directory: 1394 TA, IIDC 1.31, unit dependent directory
  rom[ROM_UNIT_DIR] = 3u << 16;
  rom[ROM_UNIT_DIR + 1] = 0x1200a02du;
  rom[ROM_UNIT_DIR + 2] = 0x13000102u;
  rom[ROM_UNIT_DIR + 3] = 0xd4000000u | (ROM_UNIT_DEP - (ROM_UNIT_DIR + 3));
  rom_fix_crc(rom, ROM_UNIT_DIR);
  // command_regs_base (DCAM registers at 0xF0F00000, in quadlets), IIDC
  // 1.31 (sub-version 1: libdc1394 takes 1.30 without it), vendor and model
  // name leaves
  rom[ROM_UNIT_DEP] = 4u << 16;
  rom[ROM_UNIT_DEP + 1] = 0x40000000u | ((DCAM_BASE - 0xF0000000u) >> 2);
  rom[ROM_UNIT_DEP + 2] = 0x38000010u;
  rom[ROM_UNIT_DEP + 3] = 0x81000000u | (ROM_VENDOR_LEAF - (ROM_UNIT_DEP + 3));
  rom[ROM_UNIT_DEP + 4] = 0x82000000u | (ROM_MODEL_LEAF - (ROM_UNIT_DEP + 4));
  rom_fix_crc(rom, ROM_UNIT_DEP);
  text_leaf(rom, ROM_VENDOR_LEAF, "virizeda");
  text_leaf(rom, ROM_MODEL_LEAF, model.substr(0, ROM_MODEL_MAX));
}

uint32_t feature_inq(bool present, bool has_auto, bool has_manual,
                        bool on_off, int lo, int hi) {
  if (!present) return 0;
  uint32_t w = 1u << 31;
  w |= 1u << 27;  // value readable
  if (on_off) w |= 1u << 26;
  if (has_auto) w |= 1u << 25;
  if (has_manual) w |= 1u << 24;
  w |= (uint32_t)(lo & 0xfff) << 12;
  w |= (uint32_t)(hi & 0xfff);
  return w;
}

uint32_t feature_ctl(bool present, bool on, bool is_auto, int value) {
  if (!present) return 0;
  uint32_t w = 1u << 31;
  if (on) w |= 1u << 25;
  if (is_auto) w |= 1u << 24;
  return w | (uint32_t)(value & 0xfff);
}

uint32_t wb_ctl(bool present, bool is_auto, int blue, int red) {
  if (!present) return 0;
  uint32_t w = (1u << 31) | (1u << 25);
  if (is_auto) w |= 1u << 24;
  return w | ((uint32_t)(blue & 0xfff) << 12) | (uint32_t)(red & 0xfff);
}

std::string quadlets_to_bytes(const uint32_t *q, int n) {
  std::string s;
  for (int i = 0; i < n; ++i)
    for (int shift = 24; shift >= 0; shift -= 8) s += (char)(q[i] >> shift);
  return s;
}

void quadlets_from_bytes(const std::string &b, uint32_t *q, int n) {
  for (int i = 0; i < n && 4 * (size_t)i + 3 < b.size(); ++i)
    q[i] = (uint32_t)(unsigned char)b[4 * i] << 24 |
           (uint32_t)(unsigned char)b[4 * i + 1] << 16 |
           (uint32_t)(unsigned char)b[4 * i + 2] << 8 |
           (uint32_t)(unsigned char)b[4 * i + 3];
}

}  // namespace iidc
}  // namespace vz
