// The libdc1394 side of the bus: which FireWire nodes exist and whether we
// may open them, how many cameras libdc1394 finds, and what that says for
// the choice of bus.
#ifndef VIRIZEDA_DC1394_PROBE_H
#define VIRIZEDA_DC1394_PROBE_H

#include <dc1394/dc1394.h>
#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vz {

// Isochronous bandwidth of a 1394 bus that may be allocated, in units of
// one quadlet at S1600 (80% of a 125 us cycle).
constexpr int BANDWIDTH_UNITS = 4915;

// One /dev/fw<N> entry.
struct FwNode {
  std::string path;
  int open_errno = 0;   // why it cannot be opened; 0 when it can
  bool iidc = false;    // its ROM names an IIDC unit
  uint64_t guid = 0;
  int speed = 0;        // best speed to the node (100..3200), 0 unknown
  // what libdc1394's listing of cameras, which reads every node's ROM, would
  // misread in this one (and then may crash on); "" when nothing
  std::string rom_fault;
  std::vector<uint32_t> udds;  // see rom_listing_fault
};

// How libdc1394 2.2.6 reads a node's ROM when it lists cameras: the kernel's
// copy (quads long) in a buffer of 256 quadlets. "" when it reads it
// soundly, else where it would crash or read past the copy. udds: the ROM
// offset of each unit's unit-dependent directory, by libdc1394's unit
// number (0 for a unit that is no camera).
std::string rom_listing_fault(const uint32_t *rom, size_t quads,
                              std::vector<uint32_t> *udds);
// How it reads the ROM again when it opens a camera: quadlet reads at ROM
// offsets (from 0xFFFFF0000000) from udd on. "" when it reads it soundly.
std::string rom_opening_fault(const std::function<bool(uint32_t, uint32_t *)> &read,
                              uint32_t udd);

// The fw<digit>... entries of dir (the kernel's are in /dev).
std::vector<FwNode> fw_nodes(const char *dir);
// The diagnostic for a node that cannot be opened: node, reason and fix.
std::string fw_node_problem(const FwNode &n);
// The diagnostic for a node left out because libdc1394 would misread it.
std::string fw_node_left_out(const FwNode &n, const std::string &fault);
// What opening unit of the node would misread in its ROM as the node holds
// it now (it may have been written since the kernel copied it); "" when
// nothing.
std::string fw_node_opening_fault(const FwNode &n, int unit);
// For a node whose ROM was written: a bus reset when the node's GUID is no
// longer cached, and true once the kernel lists the node with its new one.
bool reread_rom(const std::string &path, uint64_t cached, const char *dev_dir);

// What the bus choice looks at, found once.
struct BusProbe {
  bool done = false;
  std::shared_ptr<dc1394_t> ctx;     // null when libdc1394 cannot start
  std::vector<dc1394camera_id_t> ids;
  std::vector<FwNode> nodes;
  std::vector<std::string> log;      // libdc1394's lines while probing
};
// Starts libdc1394 (its log lines then go to our diagnostics), lists the
// cameras it finds and the nodes of dev_dir. Does nothing when done.
void probe_bus(BusProbe *p, const char *dev_dir);

// Sends the lines libdc1394 logged while probing (when its bus is taken).
void dc1394_release_log(BusProbe *p);

// What a probe says for the choice of bus. True: take libdc1394's, *why
// is the reason line; false: *why says what it did not find.
bool dc1394_probe_says(const BusProbe &p, std::string *why);

// Free bandwidth units on the bus: the resource manager's register, else
// the largest allocation granted through the node (a /dev/fw* path); -1
// when neither can be told.
int irm_bandwidth_free(const std::string &node);

}  // namespace vz

#endif
