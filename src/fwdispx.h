// Firmware dialog logic: device parameters, register access and identity
// programming of the open camera.
#ifndef FWDISPX_H
#define FWDISPX_H

#include <stdint.h>
#include <string>
#include <FL/Fl.H>
#include <FL/Fl_Menu_.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_Value_Slider.H>

#include "dcam.h"

class firmware_disp;

void firmware_params_cb(Fl_Menu_ *m, void *);
void firmware_params_dialog(dCamera *cam);
void device_type_cb(Fl_Choice *w, void *);

void reversed_cb(Fl_Check_Button *w, void *);
void Hz50_cb(Fl_Check_Button *w, void *);
void vert_off_cb(Fl_Value_Slider *w, void *);
void device_save_cb(Fl_Button *w, void *);
void device_clear_cal_cb(Fl_Button *w, void *);
void swap_dev_cb(Fl_Check_Button *w, void *);

void do_reg_read(int reg, int which);
void reg_read_cb(Fl_Button *w, void *);
void reg_write_cb(Fl_Button *w, void *);
void dcam_reg_read_cb(Fl_Button *w, void *);

void device_id_cb(Fl_Input *w, void *);
int ohci_crc16(const uint32_t *data, int length);

// the one dialog, null until the first opening (for tests and the menu)
firmware_disp *firmware_dialog();
// the camera the dialog works on, null until the first opening
dCamera *firmware_device();
// Tests only: drop the dialog and its camera, as if never opened.
void firmware_dialog_discard();

// Register addresses of the local parameter block, the DCAM registers and
// the configuration ROM, as passed to ReadQuadlet/WriteQuadlet (REG_ keeps
// them apart from the library's own register map).
enum : unsigned long {
  REG_IMAGER_CMD = 0xF0FFF000UL,
  REG_LP_VERSION = 0xF0FFF004UL,
  REG_CAMERA_TYPE = 0xF0FFF008UL,
  REG_ID_INVERSION = 0xF0FFF00CUL,
  REG_RATE = 0xF0FFF024UL,
  REG_DCAM_BASE = 0xF0F00000UL,
  REG_ROM_BUS_INFO = 0xF0000400UL,   // header: info length, CRC length, CRC
  REG_ROM_CHIP_HI = 0xF000040CUL,    // vendor and chip identifier high part
  REG_ROM_CHIP_LO = 0xF0000410UL,    // device type and serial number
  REG_ROM_UID_LEAF = 0xF0000428UL,   // header: leaf length, CRC
  REG_ROM_UID_LEAF_LO = 0xF0000430UL
};

// Words written to those registers.
enum : unsigned long {
  ID_INVERTED = 0x01000000UL,     // identity word: images upside down
  RATE_50HZ = 0x00010001UL,
  RATE_60HZ = 0x00010000UL,
  SERIAL_TYPE_STEREO = 0x00080000UL,  // type code 8 in the chip ID low part
  IMAGER_READ = 0x02,             // request codes of the imager command word
  IMAGER_WRITE = 0x04
};

// Checks the ROM layout identity programming writes into; on failure puts
// the reason into why and returns false.
bool rom_layout_ok(dCamera *cam, std::string *why);

// Decoding of what the camera reports.
bool local_params_version_ok(unsigned long word);
const char *imager_name(int code);

// Text of the "Reg:", "Val::" and "Device ID:" fields. Numbers are
// hexadecimal, read like strtol with base 16.
long parse_hex(const char *text);
// The "%x-%x" pattern: how many of its two numbers the text yields (0-2).
int parse_reg_range(const char *text, unsigned long *first,
                    unsigned long *last);
// Imager registers that "Read" reads, first <= last, both within 00-ff;
// false when a number lies outside 00-ff.
bool imager_read_range(const char *text, unsigned *first, unsigned *last);
// Command word that "Write" sends; false when the register lies outside
// 00-ff.
bool imager_write_word(const char *reg_text, const char *val_text,
                       unsigned long *word);
// Offset and register address that DCAM "Read" reads; false when the
// offset is negative or wider than 32 bits.
bool dcam_reg_address(const char *text, unsigned long *offset,
                      unsigned long *addr);
// A serial number to program: one hexadecimal number 0-ffff with nothing
// but blanks around it.
bool parse_device_id(const char *text, int *serial);

#endif
