#include "iidc/rom.h"

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
  rom[ROM_UNIT_DEP + 1] = 0x40000000u | ((DCAM_BASE - CSR_BASE) >> 2);
  rom[ROM_UNIT_DEP + 2] = 0x38000010u;
  rom[ROM_UNIT_DEP + 3] = 0x81000000u | (ROM_VENDOR_LEAF - (ROM_UNIT_DEP + 3));
  rom[ROM_UNIT_DEP + 4] = 0x82000000u | (ROM_MODEL_LEAF - (ROM_UNIT_DEP + 4));
  rom_fix_crc(rom, ROM_UNIT_DEP);
  text_leaf(rom, ROM_VENDOR_LEAF, "virizeda");
  text_leaf(rom, ROM_MODEL_LEAF, model.substr(0, ROM_MODEL_MAX));
}

bool is_iidc_rom(const uint32_t *rom, size_t quads) {
  if (quads < 6 || (rom[0] >> 24) != 4 || rom[1] != 0x31333934) return false;
  size_t root = 5;
  size_t len = rom[root] >> 16;
  for (size_t i = 1; i <= len && root + i < quads; ++i) {
    uint32_t e = rom[root + i];
    if ((e >> 24) != 0xD1) continue;
    size_t unit = root + i + (e & 0xFFFFFF);
    if (unit >= quads) continue;
    size_t ulen = rom[unit] >> 16;
    for (size_t j = 1; j <= ulen && unit + j < quads; ++j) {
      uint32_t u = rom[unit + j];
      if ((u >> 24) == 0x12 && ((u & 0xFFFFFF) == 0x00A02D || (u & 0xFFFFFF) == 0x00B09D))
        return true;
    }
  }
  return false;
}

}  // namespace iidc
}  // namespace vz
