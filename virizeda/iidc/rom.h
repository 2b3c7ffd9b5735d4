// The configuration ROM of an IIDC node: its layout as our cameras build
// it, the IEEE 1212 CRC, a builder, and the test of whether a ROM read off
// any node describes an IIDC camera.
#ifndef VIRIZEDA_IIDC_ROM_H
#define VIRIZEDA_IIDC_ROM_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace vz {
namespace iidc {

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

// Whether a ROM of `quads` quadlets has a "1394" bus info block and a unit
// directory whose specifier is the 1394 TA's or Point Grey's (an IIDC camera).
bool is_iidc_rom(const uint32_t *rom, size_t quads);

}  // namespace iidc
}  // namespace vz

#endif
