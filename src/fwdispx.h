// Firmware dialog logic: device parameters, register access and identity
// programming of the open camera.
#ifndef FWDISPX_H
#define FWDISPX_H

#include <stdint.h>
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

#endif
