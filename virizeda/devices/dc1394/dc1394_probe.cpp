#include "devices/dc1394/dc1394_probe.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <linux/firewire-cdev.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "core/diag.h"
#include "iidc/iidc.h"
#include "iidc/rom.h"

namespace vz {

namespace {

// --- libdc1394's log lines ---------------------------------------------

std::vector<std::string> *g_held = nullptr;  // lines kept while probing

void log_line(dc1394log_t type, const char *msg, void *) {
  const char *kind = type == DC1394_LOG_ERROR ? "error"
                   : type == DC1394_LOG_WARNING ? "warning" : "debug";
  std::string line = std::string("libdc1394 ") + kind + ": " + msg;
  if (g_held && vz_diag_on_own_thread())
    g_held->push_back(line);
  else
    vz_diag_later("libdc1394", line);
}

void route_log() {
  static bool done = false;
  if (done) return;
  done = true;
  vz_diag_own_thread();
  dc1394_log_register_handler(DC1394_LOG_ERROR, log_line, nullptr);
  dc1394_log_register_handler(DC1394_LOG_WARNING, log_line, nullptr);
  // libdc1394's debug lines (one per frame) only when asked for, as
  // libdc1394 itself does
  const char *dbg = getenv("DC1394_DEBUG");
  dc1394_log_register_handler(DC1394_LOG_DEBUG, dbg ? log_line : nullptr, nullptr);
}

// --- what libdc1394 misreads in a ROM -------------------------------------
// Its listing (enumeration.c) and its opening of a camera (control.c) follow
// the ROM's directories to the text leaves without checking a leaf's
// length: one shorter than its two header quadlets makes it write through a
// failed allocation. Its listing sees 256 quadlets whatever the kernel
// copied; the rest of its buffer was never filled.

std::string rom_addr(uint32_t offset) {
  char b[16];
  snprintf(b, sizeof b, "0x%08X", 0xF0000000u + offset);
  return b;
}

struct Listing {
  const uint32_t *rom;
  size_t quads;
  std::string fault;

  bool at(size_t i, uint32_t *v) {
    if (i < quads) {
      *v = rom[i];
      return true;
    }
    if (fault.empty())
      fault = "it points past its end (" + std::to_string(quads) + " quadlets) to " +
              rom_addr(0x400 + 4 * (uint32_t)i);
    return false;
  }

  void leaf(size_t i) {
    uint32_t h, q;
    if (i >= 256 || !at(i, &h)) return;
    size_t len = h >> 16;
    if (i + len >= 256) return;  // skipped
    if (len == 0 && fault.empty())
      fault = "the text leaf at " + rom_addr(0x400 + 4 * (uint32_t)i) + " has length 0";
    for (size_t k = 3; k <= len && at(i + k, &q); ++k) {
    }
  }

  // One unit directory; its unit-dependent directory's offset, 0 for no camera.
  uint32_t unit(size_t off) {
    uint32_t h, q, unit_owner = 0;
    size_t udd = 0;
    if (off >= 256 || !at(off, &h) || off + (h >> 16) >= 256) return 0;
    for (size_t i = 0; i < (h >> 16); ++i) {
      if (!at(off + 1 + i, &q)) return 0;
      if ((q >> 24) == 0x12) unit_owner = q & 0xffffff;
      if ((q >> 24) == 0xD4) udd = (q & 0xffffff) + off + i + 1;
    }
    if ((unit_owner != 0xA02D && unit_owner != 0xB09D) || !udd) return 0;
    if (udd < 256 && at(udd, &h) && udd + (h >> 16) < 256)
      for (size_t i = 0; i < (h >> 16) && at(udd + 1 + i, &q); ++i)
        if ((q >> 24) == 0x81 || (q >> 24) == 0x82) leaf((q & 0xffffff) + udd + 1 + i);
    return 0x400 + 4 * (uint32_t)udd;
  }
};

struct Info {
  uint32_t rom[256];
  size_t rom_quads;
  fw_cdev_event_bus_reset reset;
};

bool get_info(int fd, Info *in) {
  fw_cdev_get_info gi;
  memset(&gi, 0, sizeof gi);
  memset(in, 0, sizeof *in);
  gi.version = 4;
  gi.rom = (uint64_t)(uintptr_t)in->rom;
  gi.rom_length = sizeof in->rom;
  gi.bus_reset = (uint64_t)(uintptr_t)&in->reset;
  if (ioctl(fd, FW_CDEV_IOC_GET_INFO, &gi) < 0) return false;
  // the kernel's copy is in host order
  in->rom_quads = std::min<size_t>(gi.rom_length, sizeof in->rom) / 4;
  return true;
}

// A ROM quadlet's offset in the node's register space.
uint64_t node_csr(int rom_quad) {
  return 0xFFFF00000000ULL | (iidc::ROM_BASE + 4 * (uint32_t)rom_quad);
}

int64_t mono_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// One quadlet read through a node's fd, answered within 200 ms.
bool read_remote(int fd, uint32_t generation, uint64_t offset, uint32_t *v) {
  fw_cdev_send_request rq;
  memset(&rq, 0, sizeof rq);
  rq.tcode = 4;  // quadlet read request
  rq.length = 4;
  rq.offset = offset;
  rq.closure = 0x5649525A;
  rq.generation = generation;
  if (ioctl(fd, FW_CDEV_IOC_SEND_REQUEST, &rq) < 0) return false;
  int64_t end = mono_ms() + 200;
  for (;;) {
    int left = (int)(end - mono_ms());
    struct pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0 || !(p.revents & POLLIN)) return false;
    union {
      fw_cdev_event_response r;
      char bytes[64];
    } ev;
    ssize_t n = read(fd, &ev, sizeof ev);
    if (n < (ssize_t)sizeof ev.r) return false;
    if (ev.r.type != FW_CDEV_EVENT_RESPONSE || ev.r.closure != rq.closure) continue;
    if (ev.r.rcode != 0 || ev.r.length < 4 || n < (ssize_t)(sizeof ev.r + 4)) return false;
    *v = be32toh(ev.r.data[0]);
    return true;
  }
}

}  // namespace

std::string rom_listing_fault(const uint32_t *rom, size_t quads,
                              std::vector<uint32_t> *udds) {
  Listing l{rom, quads, ""};
  udds->clear();
  uint32_t q;
  if (l.at(0, &q) && (q >> 24) == 4 && l.at(1, &q) && q == 0x31333934 && l.at(3, &q) &&
      l.at(4, &q) && l.at(5, &q) && (q >> 16) + 6 <= 256) {
    size_t n = q >> 16;
    for (size_t i = 0; i < n && l.at(6 + i, &q); ++i)
      if ((q >> 24) == 0xD1) udds->push_back(l.unit((q & 0xffffff) + 6 + i));
  }
  return l.fault;
}

std::string rom_opening_fault(const std::function<bool(uint32_t, uint32_t *)> &read,
                              uint32_t udd) {
  uint32_t h, q, base = 0, vendor = 0, model = 0;
  if (!read(udd, &h)) return "";  // libdc1394 gives up on the camera
  for (uint32_t i = 0; i < (h >> 16); ++i) {
    if (!read(udd + 4 + 4 * i, &q)) return "";
    uint32_t leaf = udd + 4 + 4 * ((q & 0xffffff) + i);
    if ((q >> 24) == 0x40) base = q & 0xffffff;
    if ((q >> 24) == 0x81) (vendor ? model : vendor) = leaf;
    if ((q >> 24) == 0x82) model = leaf;
  }
  if (!base) return "";  // not opened at all
  // a missing leaf is read at offset 0
  for (uint32_t leaf : {vendor, model})
    if (read(leaf, &h) && (h >> 16) < 2)
      return leaf ? "the text leaf at " + rom_addr(leaf) + " has length " +
                        std::to_string(h >> 16)
                  : std::string("a vendor or model text leaf is missing");
  return "";
}

std::vector<FwNode> fw_nodes(const char *dir) {
  std::vector<FwNode> out;
  DIR *d = opendir(dir);
  if (!d) return out;
  while (struct dirent *de = readdir(d)) {
    const char *n = de->d_name;
    if (strncmp(n, "fw", 2) != 0 || n[2] < '0' || n[2] > '9') continue;
    FwNode node;
    node.path = std::string(dir) + "/" + n;
    int fd = open(node.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      node.open_errno = errno;
    } else {
      Info in;
      if (get_info(fd, &in)) {
        node.iidc = iidc::is_iidc_rom(in.rom, in.rom_quads);
        node.rom_fault = rom_listing_fault(in.rom, in.rom_quads, &node.udds);
        if (in.rom_quads >= 5) node.guid = (uint64_t)in.rom[3] << 32 | in.rom[4];
        int sc = ioctl(fd, FW_CDEV_IOC_GET_SPEED);
        if (sc >= 0 && sc <= 5) node.speed = 100 << sc;
      }
      close(fd);
    }
    out.push_back(node);
  }
  closedir(d);
  std::sort(out.begin(), out.end(),
            [](const FwNode &a, const FwNode &b) { return a.path < b.path; });
  return out;
}

std::string fw_node_problem(const FwNode &n) {
  std::string s = "FireWire node " + n.path + " cannot be opened: " + strerror(n.open_errno);
  if (n.open_errno == EACCES || n.open_errno == EPERM)
    s += "; cameras need read and write access to their node: install "
         "data/udev/60-virizeda-iidc.rules in /etc/udev/rules.d, add yourself "
         "to the video group (sudo usermod -aG video $USER), then log in again "
         "and replug the camera";
  return s;
}

std::string fw_node_left_out(const FwNode &n, const std::string &fault) {
  char guid[20];
  snprintf(guid, sizeof guid, "%016" PRIx64, n.guid);
  return "FireWire node " + n.path + " (" + guid + ") is left out: libdc1394 would "
         "misread its configuration ROM: " + fault;
}

// The ROM as the device holds it now, which a camera's opening reads: it
// may have been written since the kernel copied it.
std::string fw_node_opening_fault(const FwNode &n, int unit) {
  if (n.path.empty() || unit < 0 || (size_t)unit >= n.udds.size() || !n.udds[unit]) return "";
  int fd = open(n.path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return "";
  Info in;
  std::string fault;
  if (get_info(fd, &in))
    fault = rom_opening_fault([&](uint32_t off, uint32_t *v) {
      return read_remote(fd, in.reset.generation, 0xFFFFF0000000ULL + off, v);
    }, n.udds[unit]);
  close(fd);
  return fault;
}

// libdc1394's complaints while looking matter only when its bus is taken
void probe_bus(BusProbe *p, const char *dev_dir) {
  if (p->done) return;
  p->done = true;
  route_log();
  vz_diag_flush();
  p->nodes = fw_nodes(dev_dir);
  // libdc1394 lists every node it finds, and nothing keeps it from one
  bool fatal = false;
  for (const FwNode &n : p->nodes) {
    if (n.rom_fault.empty()) continue;
    p->log.push_back(fw_node_left_out(n, n.rom_fault));
    fatal = true;
  }
  if (fatal)
    p->log.push_back("libdc1394 reads every node's ROM when it lists cameras and would "
                     "crash on that one: no camera is listed while it is on the bus");
  g_held = &p->log;
  dc1394_t *d = dc1394_new();
  if (d) {
    p->ctx = std::shared_ptr<dc1394_t>(d, dc1394_free);
    if (fatal) d = nullptr;
    dc1394camera_list_t *list = nullptr;
    if (d && dc1394_camera_enumerate(d, &list) == DC1394_SUCCESS && list) {
      for (uint32_t i = 0; i < list->num; ++i) p->ids.push_back(list->ids[i]);
      dc1394_camera_free_list(list);
    }
  }
  g_held = nullptr;
}

void dc1394_release_log(BusProbe *p) {
  for (auto &l : p->log) vz_diag("%s", l.c_str());
  p->log.clear();
  vz_diag_flush();
}

bool dc1394_probe_says(const BusProbe &p, std::string *why) {
  if (!p.ids.empty()) {
    char buf[80];
    snprintf(buf, sizeof buf, "libdc1394 bus: it finds %zu camera%s", p.ids.size(),
             p.ids.size() == 1 ? "" : "s");
    *why = buf;
    return true;
  }
  if (!p.nodes.empty()) {
    *why = "libdc1394 bus: FireWire node " + p.nodes[0].path +
           " exists, though no camera is found";
    return true;
  }
  *why = "no FireWire node and no camera found";
  return false;
}

// A node whose ROM was written (identity programming) answers with a GUID
// that the kernel's copy, and so libdc1394, do not know yet. A bus reset
// makes the kernel read the ROM again. True once a node shows the new GUID.
bool reread_rom(const std::string &path, uint64_t cached, const char *dev_dir) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  Info in;
  uint32_t hi = 0, lo = 0;
  bool changed = get_info(fd, &in) &&
                 read_remote(fd, in.reset.generation, node_csr(iidc::ROM_CHIP_HI), &hi) &&
                 read_remote(fd, in.reset.generation, node_csr(iidc::ROM_CHIP_LO), &lo) &&
                 ((uint64_t)hi << 32 | lo) != cached;
  uint64_t live = (uint64_t)hi << 32 | lo;
  if (changed) {
    vz_diag("camera %016" PRIx64 " now says it is %016" PRIx64 " (its ROM was "
            "written); a bus reset lets the system read it again", cached, live);
    fw_cdev_initiate_bus_reset r;
    r.type = FW_CDEV_SHORT_RESET;
    changed = ioctl(fd, FW_CDEV_IOC_INITIATE_BUS_RESET, &r) == 0;
  }
  close(fd);
  if (!changed) return false;
  for (int i = 0; i < 40; ++i) {  // the kernel reads ROMs after the reset
    for (const FwNode &n : fw_nodes(dev_dir))
      if (n.guid == live) return true;
    usleep(50000);
  }
  return false;
}

namespace {

// The resource manager's BANDWIDTH_AVAILABLE register, read through the
// node that is the manager (on a real bus usually the local controller).
int bandwidth_register() {
  DIR *d = opendir("/dev");
  if (!d) return -1;
  int result = -1;
  while (struct dirent *de = readdir(d)) {
    const char *n = de->d_name;
    if (strncmp(n, "fw", 2) != 0 || n[2] < '0' || n[2] > '9') continue;
    std::string path = std::string("/dev/") + n;
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    Info in;
    uint32_t v;
    if (get_info(fd, &in) && in.reset.node_id == in.reset.irm_node_id &&
        read_remote(fd, in.reset.generation, 0xFFFFF0000220ULL, &v))
      result = (int)(v & 0x1FFF);
    close(fd);
    if (result >= 0) break;
  }
  closedir(d);
  return result;
}

// One allocation of bandwidth only, given back at once when granted.
// 1: granted, 0: refused, -1: cannot tell.
int try_bandwidth(int fd, int units) {
  fw_cdev_allocate_iso_resource a;
  memset(&a, 0, sizeof a);
  a.closure = 0x5649525A;
  a.bandwidth = (uint32_t)units;
  auto answer = [&](uint32_t *got) {
    int64_t end = mono_ms() + 200;
    for (;;) {
      int left = (int)(end - mono_ms());
      struct pollfd p = {fd, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, left) <= 0 || !(p.revents & POLLIN)) return false;
      fw_cdev_event_iso_resource e;
      if (read(fd, &e, sizeof e) < (ssize_t)sizeof e) return false;
      if (e.closure != a.closure) continue;
      *got = (uint32_t)e.bandwidth;
      return true;
    }
  };
  uint32_t got = 0;
  if (ioctl(fd, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE_ONCE, &a) < 0 || !answer(&got))
    return -1;
  if (!got) return 0;
  if (ioctl(fd, FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE_ONCE, &a) < 0 || !answer(&got))
    return -1;
  return 1;
}

}  // namespace

int irm_bandwidth_free(const std::string &node) {
  int v = bandwidth_register();
  if (v >= 0 || node.empty()) return v;
  // no manager node to read: find the largest allocation it grants
  int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  Info in;
  if (!get_info(fd, &in)) {
    close(fd);
    return -1;
  }
  int lo = 0, hi = BANDWIDTH_UNITS;
  while (lo < hi) {
    int mid = (lo + hi + 1) / 2;
    int r = try_bandwidth(fd, mid);
    if (r < 0) {
      lo = -1;
      break;
    }
    if (r) lo = mid;
    else hi = mid - 1;
  }
  close(fd);
  return lo;
}

}  // namespace vz
