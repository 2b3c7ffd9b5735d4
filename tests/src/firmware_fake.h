// A camera with a register map that records every register access, and the
// fixture the firmware dialog tests share.
#ifndef FIRMWARE_FAKE_H
#define FIRMWARE_FAKE_H

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "dcam.h"
#include "fldx.h"
#include "flwin.h"
#include "fwdisp.h"
#include "fwdispx.h"

struct Access {
  char op;  // 'R' read, 'W' write, 'S' SaveLocalParams
  unsigned long addr;
  unsigned long value;
  bool operator==(const Access &o) const {
    return op == o.op && addr == o.addr && value == o.value;
  }
};

inline std::ostream &operator<<(std::ostream &os, const Access &a) {
  return os << a.op << " " << std::hex << a.addr << " " << a.value << std::dec;
}

class FakeCamera : public dCamera {
 public:
  std::map<unsigned long, unsigned long> regs;
  std::set<unsigned long> failing_reads;
  std::set<unsigned long> refused_writes;  // report failure, store nothing
  std::set<unsigned long> lost_writes;     // report success, store nothing
  bool save_ok = true, calib_ok = true;
  std::map<int, unsigned> imager;  // imager register file
  std::vector<Access> log;
  std::vector<std::pair<int, int>> y_offsets;
  bool calibration = false;
  int set_calib_calls = 0;

  FakeCamera() : dCamera(nullptr, 0) {
    initialized = true;
    isReversed = false;
    camImager = 4;
    fwFirmware = 0x0203;
    camFirmware = 0x0412;
    devID = 0x00031234;
    has_color = true;
    max_width = 640;
    max_height = 480;
    has_y_offset = true;
    max_y_offset = 8;
    y_offset = 3;
    has_50Hz_rate = true;
    is_50Hz_rate = false;
    regs[REG_LP_VERSION] = 0x0205;
    regs[REG_CAMERA_TYPE] = 0x00000008;
    regs[REG_ID_INVERSION] = 0x00001234;
    regs[REG_RATE] = 0x00010000;
    regs[REG_IMAGER_CMD] = 0;
  }

  bool ReadQuadlet(unsigned long addr, unsigned long *value) override {
    log.push_back({'R', addr, 0});
    auto it = regs.find(addr);
    if (failing_reads.count(addr) || it == regs.end()) return false;
    *value = it->second;
    log.back().value = it->second;
    return true;
  }
  bool WriteQuadlet(unsigned long addr, unsigned long value) override {
    log.push_back({'W', addr, value});
    if (refused_writes.count(addr)) return false;
    if (lost_writes.count(addr)) return true;
    regs[addr] = value;
    if (addr == REG_IMAGER_CMD) imager_command(value);
    return true;
  }
  void SetYOffset(int left, int right) override {
    y_offsets.push_back({left, right});
  }
  bool SaveLocalParams() override {
    log.push_back({'S', 0, 0});
    return save_ok;
  }
  bool GetCalib(char *, int) override { return calibration; }
  bool SetCalib(char *, int) override {
    set_calib_calls++;
    if (!calib_ok) return false;
    calibration = false;
    return true;
  }

  std::vector<Access> writes() const {
    std::vector<Access> w;
    for (const auto &a : log)
      if (a.op != 'R') w.push_back(a);
    return w;
  }

 private:
  // a read request leaves the register's value in the low half
  void imager_command(unsigned long word) {
    int reg = (word >> 16) & 0xff;
    if ((word >> 24) == 0x02)
      regs[REG_IMAGER_CMD] = (word & 0xffff0000UL) | (imager[reg] & 0xffff);
    else if ((word >> 24) == 0x04)
      imager[reg] = word & 0xffff;
  }
};

// CRC-16/XMODEM bit by bit over the quadlets' bytes, most significant byte
// first: the reference the ROM CRCs are checked against.
inline uint16_t xmodem_quads(const std::vector<uint32_t> &quads) {
  uint16_t crc = 0;
  for (uint32_t q : quads)
    for (int s = 24; s >= 0; s -= 8) {
      crc ^= (uint16_t)(((q >> s) & 0xff) << 8);
      for (int i = 0; i < 8; i++)
        crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021)
                             : (uint16_t)(crc << 1);
    }
  return crc;
}

// An unprogrammed configuration ROM laid out as IEEE 1212 has it, with
// valid CRCs.
inline void unprogrammed_rom(FakeCamera &cam) {
  cam.devID = 0xffff;
  cam.regs[0xF0000400] = 0x04040000 | xmodem_quads({0x31333934, 0xe0ff8112,
                                                    0x00500e01, 0x0000ffff});
  cam.regs[0xF0000404] = 0x31333934;
  cam.regs[0xF0000408] = 0xe0ff8112;
  cam.regs[0xF000040C] = 0x00500e01;
  cam.regs[0xF0000410] = 0x0000ffff;
  cam.regs[0xF0000428] = 0x00020000 | xmodem_quads({0x00500e01, 0x0000ffff});
  cam.regs[0xF000042C] = 0x00500e01;
  cam.regs[0xF0000430] = 0x0000ffff;
}

// Every test starts without a dialog and with an empty debug window, the
// place where debugMessage lands.
class FirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    firmware_dialog_discard();
    if (!debugWin)
      debugWin = new dcamDebugWin(100, 100, 500, 400, "DCAM Debug Window");
    debugWin->dbuf->text("");
  }
  void TearDown() override { firmware_dialog_discard(); }

  static std::vector<std::string> messages() {
    char *t = debugWin->dbuf->text();
    std::vector<std::string> lines;
    std::istringstream in(t);
    free(t);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  static void clear_messages() { debugWin->dbuf->text(""); }
  static firmware_disp *fwd() { return firmware_dialog(); }
};

#endif
