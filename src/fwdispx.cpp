// Firmware dialog: shows what the camera reports about its firmware and
// imager, changes the settings kept in its local parameter block, gives
// access to imager and DCAM registers, and programs an unprogrammed
// device's type and serial number into its configuration ROM.
#include "fwdispx.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <FL/fl_ask.H>

#include "fldx.h"
#include "fwdisp.h"

static firmware_disp *fwd = 0;
static dCamera *dev = 0;
static int devid = 0xffff;
static char devstr[5] = "ffff";
static int devtype = 0;
static bool has_local_params = false;

static const int SMALL_HEIGHT = 380;  // hides the register section
static const int LARGE_HEIGHT = 532;
static const int DIALOG_WIDTH = 359;

// fl_ask is the toolkit's Yes/No question; FLTK 1.3 marks it deprecated
// only because of its button texts, which are the ones wanted here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static bool ask_yes(const char *question) { return fl_ask("%s", question) != 0; }
#pragma GCC diagnostic pop

static unsigned q32(unsigned long v) { return (unsigned)(v & 0xffffffffUL); }

firmware_disp *firmware_dialog() { return fwd; }
dCamera *firmware_device() { return dev; }

void firmware_dialog_discard() {
  if (fwd) {
    fwd->win->hide();
    delete fwd->win;
    delete fwd;
  }
  fwd = 0;
  dev = 0;
  devid = 0xffff;
  snprintf(devstr, sizeof devstr, "%04x", devid);
  devtype = 0;
  has_local_params = false;
}

// ---- decoding ----

bool local_params_version_ok(unsigned long word) {
  unsigned major = (word >> 8) & 0xff;
  unsigned minor = word & 0xff;
  return (word >> 16) == 0 && major >= 2 && minor <= 10;
}

const char *imager_name(int code) {
  static const char *names[] = {"KAC1310", "LM96x8", "MT9V403", "MT9M001",
                                "MT9V022"};
  if (code < 0 || code >= (int)(sizeof names / sizeof names[0]))
    return "Unknown";
  return names[code];
}

// ---- register text ----

long parse_hex(const char *text) { return text ? strtol(text, 0, 16) : 0; }

int parse_reg_range(const char *text, unsigned long *first,
                    unsigned long *last) {
  if (!text) return 0;
  char *end;
  *first = strtoul(text, &end, 16);
  if (end == text) return 0;
  if (*end != '-') return 1;
  const char *second = end + 1;
  *last = strtoul(second, &end, 16);
  return end == second ? 1 : 2;
}

bool imager_read_range(const char *text, unsigned *first, unsigned *last) {
  unsigned long a, b;
  if (parse_reg_range(text, &a, &b) == 2) {
    if (a > b) {
      unsigned long t = a;
      a = b;
      b = t;
    }
  } else {
    long r = parse_hex(text);
    if (r < 0) return false;
    a = b = (unsigned long)r;
  }
  if (b > 0xff) return false;  // a <= b
  *first = (unsigned)a;
  *last = (unsigned)b;
  return true;
}

bool imager_write_word(const char *reg_text, const char *val_text,
                       unsigned long *word) {
  long reg = parse_hex(reg_text);
  if (reg < 0 || reg > 0xff) return false;
  unsigned long v = (unsigned long)parse_hex(val_text) & 0xffff;
  *word = 0x04000000UL | ((unsigned long)reg << 16) | v;
  return true;
}

bool dcam_reg_address(const char *text, unsigned long *offset,
                      unsigned long *addr) {
  long off = parse_hex(text);
  if (off < 0 || (unsigned long)off > 0xffffffffUL) return false;
  *offset = (unsigned long)off;
  *addr = (REG_DCAM_BASE + *offset) & 0xffffffffUL;
  return true;
}

static int hex_digit(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_device_id(const char *text, int *serial) {
  if (!text) return false;
  const unsigned char *p = (const unsigned char *)text;
  while (isspace(*p)) p++;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0)
    p += 2;
  long v = 0;
  int digits = 0;
  for (; hex_digit(*p) >= 0; p++, digits++) {
    v = v * 16 + hex_digit(*p);
    if (v > 0xffff) return false;
  }
  while (isspace(*p)) p++;
  if (digits == 0 || *p) return false;
  *serial = (int)v;
  return true;
}

// ---- opening ----

static bool read_local_params_version(dCamera *cam) {
  unsigned long word = 0;
  // a device that cannot answer has no usable block
  if (!cam->ReadQuadlet(REG_LP_VERSION, &word)) return false;
  return local_params_version_ok(word);
}

static void show_versions(dCamera *cam) {
  fwd->fw_version_val->val("%04x");
  fwd->fw_version_val->val(cam->fwFirmware);
  fwd->camera_version_val->val("%04x");
  fwd->camera_version_val->val(cam->camFirmware);
  fwd->color_cap_val->val(cam->has_color ? "yes" : "no");
  fwd->imager_type_val->val(imager_name(cam->camImager));
}

static unsigned long read_q(dCamera *cam, unsigned long addr, bool *ok) {
  unsigned long v = 0;
  if (!cam->ReadQuadlet(addr, &v)) *ok = false;
  return v & 0xffffffffUL;
}

bool rom_layout_ok(dCamera *cam, std::string *why) {
  bool ok = true;
  uint32_t bus[5], leaf[3];
  for (int i = 0; i < 5; i++) bus[i] = read_q(cam, REG_ROM_BUS_INFO + 4 * i, &ok);
  for (int i = 0; i < 3; i++) leaf[i] = read_q(cam, REG_ROM_UID_LEAF + 4 * i, &ok);
  const char *bad = 0;
  if (!ok)
    bad = "its configuration ROM cannot be read";
  else if ((bus[0] >> 24) != 4 || ((bus[0] >> 16) & 0xff) != 4)
    bad = "its bus info block is not 4 quadlets with a CRC over 4";
  else if ((int)(bus[0] & 0xffff) != ohci_crc16(bus + 1, 4))
    bad = "the CRC of its bus info block is wrong";
  else if ((leaf[0] >> 16) != 2 || leaf[1] != bus[3])
    bad = "its unique ID leaf is not at 0428 with its chip ID";
  else if ((int)(leaf[0] & 0xffff) != ohci_crc16(leaf + 1, 2))
    bad = "the CRC of its unique ID leaf is wrong";
  if (bad && why) *why = bad;
  return !bad;
}

// Device ID field and the serial number the controls write.
static void show_device_id(int id) {
  devid = id & 0xffff;
  snprintf(devstr, sizeof devstr, "%04x", devid);
  fwd->device_id_val->value(devstr);
  if (devid != 0xffff) fwd->device_id_val->set_output();
}

// The library's devID, never the ROM's chip ID: a camera the library
// reports as programmed is not offered for programming, whatever its ROM
// reads.
static void show_identity(dCamera *cam) {
  int id = cam->devID;
  devtype = (id >> 16) & 0xf;
  if (devtype == 8) {
    fwd->device_type_val->value(1);
  } else if (devtype == 3) {
    fwd->device_type_val->value(2);
  } else if (devtype == 5) {
    fl_alert("Left camera of a pair is specified as right camera");
    fwd->device_type_val->value(2);
  } else {
    fwd->device_type_val->value(0);
  }
  fwd->device_type_val->set_output();
  fwd->swap_dev_val->deactivate();
  show_device_id(id);
}

static void show_local_params(dCamera *cam) {
  if (!has_local_params) {
    fwd->local_params_val->deactivate();
    return;
  }
  fwd->max_width_val->val("%4d");
  fwd->max_width_val->val(cam->max_width);
  fwd->max_height_val->val("%4d");
  fwd->max_height_val->val(cam->max_height);
  if (devtype == 8)
    fwd->reversed_val->deactivate();
  else
    fwd->reversed_val->value(cam->isReversed);
  if (cam->has_50Hz_rate)
    fwd->Hz50_val->value(cam->is_50Hz_rate);
  else
    fwd->Hz50_val->deactivate();
  if (cam->has_y_offset) {
    fwd->vert_off_val->bounds(0, cam->max_y_offset);
    fwd->vert_off_val->value(cam->y_offset);
  } else {
    fwd->vert_off_val->deactivate();
  }
}

void firmware_params_dialog(dCamera *cam) {
  if (!cam || !cam->initialized) {
    fl_alert("No device is opened");
    return;
  }
  dev = cam;
  int height = SMALL_HEIGHT;
  if (fwd)
    height = fwd->win->shown() ? LARGE_HEIGHT : SMALL_HEIGHT;
  else
    fwd = new firmware_disp();
  has_local_params = read_local_params_version(cam);
  show_versions(cam);
  show_identity(cam);
  show_local_params(cam);
  set_active(fwd->device_clear_cal_val, cam->GetCalib(0, 0));
  fwd->win->resize(fwd->win->x(), fwd->win->y(), DIALOG_WIDTH, height);
  fwd->win->show();
}

void firmware_params_cb(Fl_Menu_ *, void *) { firmware_params_dialog(dcam); }

// Output-only at every opening, so this runs only if something else
// gives the choice input.
void device_type_cb(Fl_Choice *w, void *) { w->deactivate(); }

// ---- device parameters ----

static void params_changed() {
  if (fwd) fwd->device_save_val->activate();
}

void reversed_cb(Fl_Check_Button *w, void *) {
  if (!dev) return;
  unsigned long word;
  if (w->value()) {
    debugMessage("[Device] *** Setting inverted image on left imager");
    word = (unsigned long)devid | ID_INVERTED;
  } else {
    debugMessage("[Device] *** Setting normal image on left imager");
    word = (unsigned long)devid;
  }
  bool written = dev->WriteQuadlet(REG_ID_INVERSION, word);
  dev->ReadQuadlet(REG_ID_INVERSION, &word);
  debugMessage("[Device] Camera id and inversion:    %08x", q32(word));
  if (!written) {
    debugMessage("[Device] The device refused the inversion setting");
    w->value((word & ID_INVERTED) != 0);  // what the device holds
    return;
  }
  dev->isReversed = w->value() != 0;
  params_changed();
}

void Hz50_cb(Fl_Check_Button *w, void *) {
  if (!dev) return;
  unsigned long word;
  if (w->value()) {
    debugMessage("[Device] *** Setting 50 Hz rate");
    word = RATE_50HZ;
  } else {
    debugMessage("[Device] *** Setting 60 Hz rate");
    word = RATE_60HZ;
  }
  bool written = dev->WriteQuadlet(REG_RATE, word);
  dev->ReadQuadlet(REG_RATE, &word);
  debugMessage("[Device] Camera rate:    %08x", q32(word));
  if (!written) {
    debugMessage("[Device] The device refused the rate setting");
    w->value(q32(word) == RATE_50HZ);
    return;
  }
  params_changed();
}

void vert_off_cb(Fl_Value_Slider *w, void *) {
  if (!dev) return;
  int left = (int)w->value();
  debugMessage("[Device] *** Setting vertical offset on imager");
  dev->SetYOffset(left, 0);
  params_changed();
}

void device_save_cb(Fl_Button *w, void *) {
  if (!dev) return;
  debugMessage("[Device] Uploading params to device");
  if (!dev->SaveLocalParams()) {
    // still to be uploaded: the button stays for another try
    debugMessage("[Device] Upload Params failed: the device did not store "
                 "its parameters");
    return;
  }
  w->deactivate();
}

void device_clear_cal_cb(Fl_Button *w, void *) {
  if (!dev) return;
  if (!ask_yes("Are you sure you want to clear the calibration?")) return;
  debugMessage("[Device] Clearing calibration on device");
  if (!dev->SetCalib(0, 0))
    debugMessage("[Device] Clear Cal failed: the device did not erase its "
                 "calibration");
  set_active(w, dev->GetCalib(0, 0));  // while the device still holds one
}

void swap_dev_cb(Fl_Check_Button *, void *) {}

// ---- register access ----

static const char *REG_RANGE_MSG =
    "[Device] Imager register numbers are 00-ff, not \"%.40s\"";

void do_reg_read(int reg, int which) {
  if (!dev) return;
  if (reg < 0 || reg > 0xff) {
    debugMessage("[Device] Imager register numbers are 00-ff, not %x", reg);
    return;
  }
  unsigned long word = ((unsigned long)(which & 0xff) << 24) |
                       ((unsigned long)reg << 16);
  dev->WriteQuadlet(REG_IMAGER_CMD, word);
  usleep(10000);  // the camera needs the time to fetch the imager register
  dev->ReadQuadlet(REG_IMAGER_CMD, &word);
  unsigned hi = (word >> 8) & 0xff, lo = word & 0xff;
  debugMessage("[Device] Register %02x: %02x %02x", reg, hi, lo);
  char text[8];
  snprintf(text, sizeof text, "%02x %02x", hi, lo);
  if (fwd) fwd->reg_value_val->value(text);
}

void reg_read_cb(Fl_Button *, void *) {
  if (!dev || !fwd) return;
  const char *text = fwd->reg_addr_val->value();
  unsigned first, last;
  if (!imager_read_range(text, &first, &last)) {
    debugMessage(REG_RANGE_MSG, text);
    return;
  }
  for (unsigned n = first; n <= last; n++) do_reg_read((int)n, IMAGER_READ);
}

void reg_write_cb(Fl_Button *, void *) {
  if (!dev || !fwd) return;
  unsigned long word;
  const char *text = fwd->reg_addr_val->value();
  if (!imager_write_word(text, fwd->reg_value_val->value(), &word)) {
    debugMessage(REG_RANGE_MSG, text);
    return;
  }
  dev->WriteQuadlet(REG_IMAGER_CMD, word);
  usleep(10000);  // the next command must not overtake this one
}

void dcam_reg_read_cb(Fl_Button *, void *) {
  if (!dev || !fwd) return;
  const char *text = fwd->reg_addr_val->value();
  unsigned long offset, addr, value = 0;
  if (!dcam_reg_address(text, &offset, &addr)) {
    debugMessage("[Device] DCAM register offsets are 0-ffffffff, not \"%.40s\"",
                 text);
    return;
  }
  if (!dev->ReadQuadlet(addr, &value)) {
    debugMessage("[Device] DCAM Register %02x: read failed", q32(offset));
    return;
  }
  debugMessage("[Device] DCAM Register %02x: %04x", q32(offset), q32(value));
  char shown[12];
  snprintf(shown, sizeof shown, "%04x", q32(value));
  fwd->reg_value_val->value(shown);
}

// ---- identity programming ----

int ohci_crc16(const uint32_t *data, int length) {
  uint32_t check = 0;
  for (int i = 0; i < length; i++) {
    uint32_t next = check;
    for (int shift = 28; shift >= 0; shift -= 4) {
      uint32_t sum = ((next >> 12) ^ (data[i] >> shift)) & 0xf;
      next = (next << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
    }
    check = next & 0xffff;
  }
  return (int)check;
}

static unsigned long read_q(unsigned long addr) {
  unsigned long v = 0;
  dev->ReadQuadlet(addr, &v);
  return v & 0xffffffffUL;
}

// True when the local block answered: a failed read and a read of all ones
// both mean it is out of reach.
static bool local_block_reachable() {
  unsigned long type = 0;
  bool ok = dev->ReadQuadlet(REG_CAMERA_TYPE, &type);
  debugMessage("[Device]  Camera type:  %08x", q32(type));
  return ok && q32(type) != 0xffffffffU;
}

// False, with the reason, when the local block refused the serial number.
static bool set_local_id(int serial, bool reachable) {
  if (!reachable) {
    debugMessage("  Couldn't access local params");
    return true;
  }
  debugMessage("  *** Setting ID in local block");
  bool written = dev->WriteQuadlet(REG_ID_INVERSION, (unsigned long)serial);
  debugMessage("  Camera ID:    %08x", q32(read_q(REG_ID_INVERSION)));
  if (!written) {
    debugMessage("[Device] The local block refused the serial number");
    return false;
  }
  if (!dev->SaveLocalParams()) {
    debugMessage("[Device] The device did not store its local parameters");
    return false;
  }
  return true;
}

// Writes a ROM quadlet; false, with the reason, unless the device took it
// and it reads back as written.
static bool write_rom(unsigned long addr, unsigned long word, const char *what,
                      unsigned long *now) {
  bool written = dev->WriteQuadlet(addr, word);
  usleep(100000);  // the camera's flash takes its time before reading back
  *now = read_q(addr);
  if (!written)
    debugMessage("[Device] The device refused the write of %s", what);
  else if (q32(*now) != q32(word))
    debugMessage("[Device] After the write of %s it reads back %08x, not %08x",
                 what, q32(*now), q32(word));
  return written && q32(*now) == q32(word);
}

// Programs the chip identifier's low part, the last of the n quadlets
// after the header at addr, then replaces the header's CRC by the CRC of
// those quadlets, keeping the header's upper half. Stops at the first
// write that does not hold.
static bool program_rom(unsigned long addr, int n, unsigned long word,
                        const char *what) {
  unsigned long header = read_q(addr), now;
  debugMessage(what, q32(header));
  unsigned long lo = addr + 4 * n;
  debugMessage("  Chip ID low:                   %08x", q32(read_q(lo)));
  debugMessage("  Setting serial number to       %08x", q32(word));
  bool ok = write_rom(lo, word, "the chip ID", &now);
  debugMessage("  Chip ID low:                   %08x", q32(now));
  if (!ok) return false;
  uint32_t quads[4];
  quads[n - 1] = (uint32_t)now;
  for (int i = 0; i < n - 1; i++) quads[i] = (uint32_t)read_q(addr + 4 + 4 * i);
  int crc = ohci_crc16(quads, n);
  debugMessage("  Setting CRC to                     %04x", crc);
  ok = write_rom(addr, (header & 0xFFFF0000UL) | (unsigned long)crc, "the CRC",
                 &now);
  debugMessage(what, q32(now));
  return ok;
}

void device_id_cb(Fl_Input *w, void *) {
  if (!dev) return;
  const char *text = w->value();
  int serial;
  if (!parse_device_id(text, &serial)) {
    debugMessage("[Device] Device ID must be a hexadecimal number 0-ffff, "
                 "not \"%.40s\"", text);
    return;
  }
  std::string why;
  if (!rom_layout_ok(dev, &why)) {
    debugMessage("[Device] Can't program the device ID: %s", why.c_str());
    return;
  }
  // the whole text, however long: the operator confirms what was typed
  std::string question =
      std::string("Are you sure you want to set the device STEREO #") + text + "?";
  if (!ask_yes(question.c_str())) return;
  bool reachable = local_block_reachable();
  printf("  Camera ID:    %08x\n", q32(read_q(REG_ID_INVERSION)));
  fflush(stdout);
  unsigned long word = (unsigned long)serial | SERIAL_TYPE_STEREO;
  bool ok = set_local_id(serial, reachable) &&
            program_rom(REG_ROM_BUS_INFO, 4, word,
                        "  ROM bus info block first quad: %08x") &&
            program_rom(REG_ROM_UID_LEAF, 2, word,
                        "  ROM unique leaf ID first quad: %08x");
  if (!ok) {
    // what the device holds now; the field stays open for another try
    debugMessage("[Device] Device ID not programmed");
    if (fwd) show_device_id(dev->devID);
    return;
  }
  if (fwd) fwd->device_type_val->value(1);
  // the inversion control writes the serial number: use the new one
  devtype = 8;
  devid = serial;
  snprintf(devstr, sizeof devstr, "%04x", devid);
  w->value(devstr);
  w->deactivate();
}
