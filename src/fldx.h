// Capture core: the process-wide state of capture and its program logic.
// Plain globals and free functions; the widgets live in fld (fld.fl).
#ifndef FLDX_H
#define FLDX_H

#include <FL/Fl.H>
#include <FL/Fl_Widget.H>
#include <FL/Fl_Menu_.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Value_Slider.H>

#include <string>

#include "dcam.h"

class fld;
class dcamDebugWin;

#define BUFFER_SLOTS 200

extern fld *mainw;
extern dcamDebugWin *debugWin;
extern dCamera *dcam;
extern int cam_num;
// input sources, by their documented numbers
enum { ACQUIRE_NONE = 0, ACQUIRE_CAMERA = 1, ACQUIRE_BUFFER = 2 };
extern int acquire_type;  // one of ACQUIRE_*
// while true, each main-loop pass fetches (or plays back) one image
extern bool single_shot;
extern unsigned char *this_image;
extern dISIZE cam_size;
extern dITYPE cam_type;
extern dISPEED cam_speed;
extern int cam_fdiv;
extern int im_width, im_height, im_color, im_size;
extern unsigned char *bufferList[BUFFER_SLOTS];
extern int bufferSize, bufferNum, bufferCur;
extern bool storeFlag;
extern char *apparg;

// start-up, main loop, camera selection, messages
void start_up();  // everything main does before top()
void top();
// the main window's callback: ignores Escape, hides on the window manager
void main_window_cb(Fl_Widget *w, void *);
void tally_frame(int now);  // counts a delivered frame for the Rate display
extern int rate_t0, rate_frames;
void show_rate(double fps);
void set_cameras();
void camera_cb(Fl_Widget *w, void *);
void exit_cb(Fl_Menu_ *m, void *);
void status_message(const char *text);
void debugMessage(const char *fmt, ...);
void debugFn(char *line);
char *get_icon();
void debug_cb(Fl_Menu_ *m, void *);
// the menu label under which camera i is listed, as Fl_Menu_::add reads it
std::string camera_label(int i, const char *name);
// gives the menu item of that label the user data v
void set_item_data(Fl_Menu_ *m, const char *label, void *v);

// acquisition and input sources
void input_cb(Fl_Choice *w, void *);
void acquire_cb(Fl_Light_Button *w, void *);
bool get_next_image();
void show_all();
// activates or deactivates the widget
void set_active(Fl_Widget *w, bool on);

// video format
void size_cb(Fl_Choice *w, void *);
void format_val_cb(Fl_Choice *w, void *);
void speed_val_cb(Fl_Choice *w, void *);
void fdiv_val_cb(Fl_Choice *w, void *);
void set_size();

// frame list and recording
void do_storage();
void show_buffer();
void record_cb(Fl_Light_Button *w, void *);
void clear_cb(Fl_Button *w, void *);
void frame_val_cb(Fl_Counter *w, void *);
void display_cb(Fl_Light_Button *w, void *);

// storing
void store_current_cb(Fl_Menu_ *m, void *);
void store_buffer_cb(Fl_Menu_ *m, void *);
void incr_name(char *name);
const char *get_dirname();
extern char *filedir;  // the chooser's first directory; null until needed
// The file "Store current" writes for a chosen name, and the first numbered
// name of "Store buffer" (both before ".bmp" is added for the buffer).
std::string store_file_name(const char *chosen);
std::string store_base_name(const char *chosen);

// video parameters panel
void video_params_cb(Fl_Menu_ *m, void *v);
void show_dig_params();
void setup_video_params();
void set_exposure();
void set_gain();
void set_brightness();
void set_balance();
void exposure_cb(Fl_Value_Slider *w, void *);
void gain_cb(Fl_Value_Slider *w, void *);
void brightness_cb(Fl_Value_Slider *w, void *);
void red_gain_cb(Fl_Value_Slider *w, void *);
void blue_gain_cb(Fl_Value_Slider *w, void *);
void saturation_cb(Fl_Value_Slider *w, void *);
void sharpness_cb(Fl_Value_Slider *w, void *);
void imager_gamma_cb(Fl_Light_Button *w, void *);
void exposure_auto_cb(Fl_Light_Button *w, void *);
void gain_auto_cb(Fl_Light_Button *w, void *);
void brightness_auto_cb(Fl_Light_Button *w, void *);
void balance_auto_cb(Fl_Light_Button *w, void *);
void display_gamma_cb(Fl_Slider *w, void *);

#endif
