// Capture core: start-up, the main loop, acquisition, video format, the
// frame list and the video parameters panel of capture.
#include "fldx.h"

#include <FL/Fl_Menu_Item.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/fl_ask.H>
#include <ctype.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

#include "fld.h"
#include "flwin.h"
#include "fl_value.h"
#include "image_io.h"
#include "timer.h"

// ------------------------------------------------------------------ state

fld *mainw = 0;
dcamDebugWin *debugWin = 0;
dCamera *dcam = 0;
int cam_num = 0;
int acquire_type = ACQUIRE_NONE;
bool single_shot = false;
unsigned char *this_image = 0;
dISIZE cam_size = S_640x480;
dITYPE cam_type = S_RGB24;
dISPEED cam_speed = S_15;
int cam_fdiv = 1;
int im_width = 0, im_height = 0, im_color = 0, im_size = 0;
// pixel type of the images being captured, and so of the recorded frames
static dITYPE im_type = S_RGB24;
unsigned char *bufferList[BUFFER_SLOTS];
int bufferSize = BUFFER_SLOTS, bufferNum = 0, bufferCur = 0;
bool storeFlag = false;
static char apparg_text[] = "dcam";
char *apparg = apparg_text;

int rate_t0 = 0, rate_frames = 0;
// false once frames are recorded, true again when "Store buffer" wrote them
static bool buffer_stored = true;

// ------------------------------------------------- messages and the rate

void status_message(const char *text) {
  if (mainw) mainw->infoLine->value(text);
}

void debugFn(char *line) {
  // the line is data, never a format: a '%' in it stays as it is
  if (debugWin && line) debugWin->Print("%s", line);
}

void debugMessage(const char *fmt, ...) {
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  bool ok = format_text(text, fmt, ap);
  va_end(ap);
  if (!ok) return;
  status_message(text.c_str());
  debugFn(&text[0]);
}

void show_rate(double fps) {
  if (mainw) mainw->rate_val->val(fps);
}

void tally_frame(int now) {
  if (++rate_frames < 10) return;
  // differences of the wrapping clock are taken in unsigned arithmetic
  unsigned elapsed = (unsigned)now - (unsigned)rate_t0;
  if (elapsed == 0) elapsed = 1;  // ten frames within a millisecond
  show_rate(10000.0 / (double)(int)elapsed);
  rate_t0 = ms_time();
  rate_frames = 0;
}

char *get_icon() { return 0; }

// ----------------------------------------------------------- camera menu

std::string camera_label(int i, const char *name) {
  // Fl_Menu_::add reads '/' as a submenu step and '\' as an escape, and
  // the label drawing reads '&' as a shortcut mark and '@' as a symbol.
  // It copies each path step into 255 bytes, so long names are cut at a
  // character boundary well inside that.
  const size_t limit = 240;
  std::string label = std::to_string(i) + " ";
  for (const char *p = name ? name : ""; *p; p++) {
    bool lead = ((unsigned char)*p & 0xC0) != 0x80;
    if (lead && label.size() + 8 > limit) break;
    if (*p == '/' || *p == '\\') label += '\\';
    if (*p == '&' || *p == '@') label += *p;
    label += *p;
  }
  return label;
}

void set_cameras() {
  for (int i = 0; dSys && i < dSys->NumCameras(); i++) {
    char **names = dSys->Names();
    std::string path = "Camera/" + camera_label(i, names ? names[i] : "");
    int flags = FL_MENU_RADIO | FL_MENU_TOGGLE | (i == 0 ? FL_MENU_VALUE : 0);
    int at = mainw->menubar->add(path.c_str(), 0, camera_cb, 0, flags);
    Fl_Menu_Item *items = (Fl_Menu_Item *)mainw->menubar->menu();
    if (at >= 0 && items) items[at].labelcolor(FL_BLACK);
  }
  cam_num = 0;
}

void camera_cb(Fl_Widget *w, void *) {
  const Fl_Menu_Item *m = ((Fl_Menu_ *)w)->mvalue();
  if (!m || !m->label()) return;
  char *end = 0;
  long n = strtol(m->label(), &end, 10);
  if (end != m->label() && n >= 0 && n <= 0x7fffffff) cam_num = (int)n;
}

void set_item_data(Fl_Menu_ *m, const char *label, void *v) {
  Fl_Menu_Item *item = (Fl_Menu_Item *)m->find_item(label);
  if (item) item->user_data(v);
}

void exit_cb(Fl_Menu_ *, void *) {
  if (mainw) delete mainw;  // ends the process
}

void debug_cb(Fl_Menu_ *, void *) {
  if (debugWin) debugWin->show();
}

// ----------------------------------------------------- start-up and loop

static void panel_defaults() {
  fld *f = mainw;
  f->exposure_auto_button->value(1);
  f->exposure_val->deactivate();
  f->gain_val->deactivate();
  f->brightness_auto_button->value(1);
  f->brightness_val->deactivate();
  f->balance_auto_button->value(1);
  f->red_val->deactivate();
  f->blue_val->deactivate();
  f->imager_gamma_button->value(1);
}

// The library's lines while it opens the bus; when it cannot, they hold
// the reason, which goes to standard error: the debug window that also
// receives them is never shown.
static std::vector<std::string> bus_lines;

static void debug_and_keep(char *line) {
  debugFn(line);
  if (line) bus_lines.push_back(line);
}

static void open_bus() {
  bus_lines.clear();
  dcamDebug = debug_and_keep;
  dSysInit();
  dcamDebug = debugFn;
  if (!dSys) {
    for (const std::string &l : bus_lines) fprintf(stderr, "%s\n", l.c_str());
    printf("Can't initialize IEEE 1394 bus\n");
    fflush(stdout);
    exit(-1);
  }
}

// Adding camera entries made the menu bar copy its table: point the two
// item pointers at the live items.
static void find_menu_items() {
  Fl_Menu_Bar *mb = mainw->menubar;
  Fl_Menu_Item *fw = (Fl_Menu_Item *)mb->find_item("Firmware...");
  Fl_Menu_Item *cam = (Fl_Menu_Item *)mb->find_item("Camera");
  if (fw) fld::firmware_params_val = fw;
  if (cam) fld::camera_val = cam;
}

void start_up() {
  Fl::visual(FL_RGB);
  mainw = new fld();
  mainw->win->icon(get_icon());
  char *args[2] = {apparg, 0};
  mainw->win->show(1, args);
  mainw->rate_val->val("%3.1f");
  mainw->rate_val->val(0.0);
  mainw->size_val->value(2);
  mainw->format_val->value(0);
  mainw->speed_val->value(2);
  panel_defaults();
  debugWin = new dcamDebugWin(100, 100, 500, 400, "DCAM Debug Window");
  debugMessage("DCAM version %s", dcamVersion);
  mainw->win->callback(main_window_cb);
  open_bus();
  debugMessage("%d cameras available", dSys->NumCameras());
  set_cameras();
  find_menu_items();
}

// A stray Escape must not close the main window: the stream would run on
// unseen, or the program end and lose the recorded frames. Closing it
// through the window manager hides it as before.
void main_window_cb(Fl_Widget *w, void *) {
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) return;
  w->hide();
}

void top() {
  rate_t0 = ms_time();
  rate_frames = 0;
  for (;;) {
    if (!Fl::check()) return;
    if (get_next_image()) {
      do_storage();
      tally_frame(ms_time());
    } else {
      usleep(100000);
    }
  }
}

int main(int, char **) {
  start_up();
  top();
  return 0;
}

// ---------------------------------------------------------- input source

static const char *picked(Fl_Menu_ *w) {
  const Fl_Menu_Item *m = w->mvalue();
  return m && m->label() ? m->label() : "";
}

static void set_active_item(Fl_Menu_Item *m, bool on) {
  if (on) m->activate();
  else m->deactivate();
}

void set_active(Fl_Widget *w, bool on) {
  if (on) w->activate();
  else w->deactivate();
}

static void menu_items_for_source(bool camera_menu, bool firmware) {
  set_active_item(fld::camera_val, camera_menu);
  set_active_item(fld::firmware_params_val, firmware);
  mainw->menubar->redraw();
}

static void input_none() {
  acquire_type = ACQUIRE_NONE;
  if (dcam) dcam->Stop();
  single_shot = false;
  mainw->contin_val->value(0);
  mainw->contin_val->deactivate();
  mainw->record->deactivate();
  mainw->clear->deactivate();
  mainw->frame_val->deactivate();
  menu_items_for_source(true, false);
}

static void input_video() {
  acquire_type = ACQUIRE_NONE;
  // the last frame stays: it goes with its size or type, at the next start
  dcam = dSys ? dSys->InitCamera(cam_num) : 0;
  if (!dcam) {
    status_message("Can't initialize camera");
    mainw->input_val->value(0);
    return;
  }
  single_shot = false;
  status_message("Camera initialized");
  show_all();
  mainw->contin_val->activate();
  mainw->clear->activate();
  mainw->record->activate();
  mainw->frame_val->activate();
  mainw->format_val->activate();
  mainw->speed_val->activate();
  fld::camera_val->deactivate();
  mainw->format_val->value(dcam->has_color ? 0 : 1);
  cam_type = dcam->has_color ? S_RGB24 : S_MONO;
  if (!dcam->has_frame_div) {
    // the idle choice shows the divider that will be sent
    cam_fdiv = 1;
    mainw->fdiv_val->value(0);
  }
  set_active(mainw->fdiv_val, dcam->has_frame_div);
  setup_video_params();
  acquire_type = ACQUIRE_CAMERA;
  menu_items_for_source(false, true);
}

static void input_buffer() {
  acquire_type = ACQUIRE_NONE;
  if (dcam) dcam->Stop();
  mainw->contin_val->activate();
  mainw->record->deactivate();
  mainw->clear->deactivate();
  mainw->frame_val->activate();
  acquire_type = ACQUIRE_BUFFER;
  menu_items_for_source(true, false);
}

void input_cb(Fl_Choice *w, void *) {
  const char *label = picked(w);
  if (!strcmp(label, "None")) input_none();
  else if (!strcmp(label, "Video")) input_video();
  else if (!strcmp(label, "Buffer")) input_buffer();
}

void show_all() { show_dig_params(); }

// ------------------------------------------------------------ acquisition

static void format_choices_active(bool on) {
  Fl_Choice *c[] = {mainw->size_val, mainw->format_val, mainw->speed_val,
                    mainw->fdiv_val};
  for (Fl_Choice *w : c) set_active(w, on);
}

// Geometry of the images cam_size and cam_type will give.
static void geometry(int *w, int *h, int *color) {
  frame_dims(cam_size, w, h);
  *color = (cam_type == S_MONO || cam_type == S_BAYER) ? 0 : 1;
}

// Recorded frames that a start in the chosen format would release and
// that were never stored.
static int frames_at_risk() {
  int w, h, color;
  geometry(&w, &h, &color);
  if (w * h * (color ? 3 : 1) == im_size || buffer_stored) return 0;
  int held = 0;
  for (int i = 0; i < bufferNum; i++)
    if (bufferList[i]) held++;
  return held;
}

// fl_ask is the toolkit's Yes/No question; FLTK 1.3 marks it deprecated
// only because of its button texts, which are the ones wanted here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static bool ask_yes(const char *question) { return fl_ask("%s", question) != 0; }
#pragma GCC diagnostic pop

// True when the recorded frames may go: none at risk, or the operator
// agreed.
static bool may_release_frames() {
  int n = frames_at_risk();
  if (n == 0) return true;
  char q[200];
  snprintf(q, sizeof q,
           "The new format releases the %d recorded frames, which were "
           "never stored. Release them?", n);
  return ask_yes(q);
}

static void acquire_on(Fl_Light_Button *w) {
  single_shot = false;
  if (!dcam) {
    debugMessage("No camera");
    w->value(0);
    return;
  }
  if (!may_release_frames()) {
    if (acquire_type == ACQUIRE_BUFFER) {
      // play what was recorded; the camera keeps its format
      debugMessage("Playing the recorded frames; the new format is not sent");
      single_shot = true;
      return;
    }
    debugMessage("Capture not started: the recorded frames are kept");
    w->value(0);
    return;
  }
  bool ok = dcam->SetFormat(cam_size, cam_type, cam_speed, cam_fdiv, false);
  debugMessage("[Acquire] Video Format: %d %d %d", (int)cam_size,
               (int)cam_type, (int)cam_speed);
  if (!ok) {
    debugMessage("Video format: %s", dcam->error ? dcam->error : "");
    w->value(0);
    return;
  }
  if (!dcam->Start()) {
    debugMessage("Can't get images");
    w->value(0);
    return;
  }
  set_size();
  debugMessage("Continuous capture");
  format_choices_active(false);
  single_shot = true;
}

static void acquire_off() {
  single_shot = false;
  if (dcam) dcam->Stop();
  debugMessage("Stop capture");
  mainw->size_val->activate();
  mainw->format_val->activate();
  mainw->speed_val->activate();
  if (dcam) set_active(mainw->fdiv_val, dcam->has_frame_div);
}

void acquire_cb(Fl_Light_Button *w, void *) {
  if (w->value()) acquire_on(w);
  else acquire_off();
}

// Bytes of a frame in the camera's current format, sized as the display
// reads it.
static long frame_bytes(dCamera *c) {
  int fw, fh;
  frame_dims(c->Size(), &fw, &fh);
  long w = fw, h = fh;
  switch (c->Type()) {
    case S_RGB24: return w * h * 3;
    case S_YUV422: return w * h * 2;
    case S_YUV411: return w * h * 3 / 2;
    default: return w * h;
  }
}

static void draw_frame(unsigned char *im) {
  if (!mainw->display_val->value() || !im || !dcam) return;
  mainw->image->DrawImage(im, dcam);
}

// Recorded frames are drawn in the size and type they were recorded in,
// whatever camera is open now.
static void draw_recorded(unsigned char *im) {
  if (!mainw->display_val->value()) return;
  dcamWin *w = mainw->image;
  w->DisplayImage(im, im_width, im_height, im_width, im_type, 1,
                  w->displayGamma, 0, 0);
}

static bool next_recorded() {
  single_shot = false;
  if (bufferNum <= 0) return false;
  if (++bufferCur >= bufferNum) bufferCur = 0;
  unsigned char *slot = bufferList[bufferCur];
  if (!slot) {
    // a released slot: step past it on the next pass
    single_shot = mainw->contin_val->value();
    return false;
  }
  this_image = slot;
  show_buffer();
  draw_recorded(this_image);
  single_shot = mainw->contin_val->value();
  return true;
}

static bool next_live() {
  if (!dcam) {
    single_shot = false;
    return false;
  }
  int frame = 0;
  unsigned long usec = 0;
  if (!dcam->GetImage(&this_image, 500, &frame, &usec)) return false;
  draw_frame(this_image);
  single_shot = mainw->contin_val->value();
  return true;
}

bool get_next_image() {
  if (!single_shot || acquire_type == ACQUIRE_NONE) return false;
  if (acquire_type == ACQUIRE_BUFFER) return next_recorded();
  return next_live();
}

// ----------------------------------------------------------- video format

void size_cb(Fl_Choice *w, void *) {
  const char *l = picked(w);
  if (!strcmp(l, "160x120")) cam_size = S_160x120;
  else if (!strcmp(l, "320x240")) cam_size = S_320x240;
  else if (!strcmp(l, "640x480")) cam_size = S_640x480;
  else if (!strcmp(l, "1280x960")) cam_size = S_1280x960;
}

void format_val_cb(Fl_Choice *w, void *) {
  const char *l = picked(w);
  if (!strcmp(l, "RGB24")) {
    if (dcam && !dcam->has_color) {
      w->value(1);
      cam_type = S_MONO;
    } else {
      cam_type = S_RGB24;
      debugMessage("Camera type is RGB24");
    }
  } else if (!strcmp(l, "Mono")) {
    cam_type = S_MONO;
    debugMessage("Camera type is Monochrome");
  } else if (!strcmp(l, "Bayer")) {
    cam_type = S_BAYER;
    debugMessage("Camera type is Bayer");
  }
}

void speed_val_cb(Fl_Choice *w, void *) {
  const char *l = picked(w);
  if (!strcmp(l, "3.75")) cam_speed = S_3;
  else if (!strcmp(l, "7.5")) cam_speed = S_7;
  else if (!strcmp(l, "15")) cam_speed = S_15;
  else if (!strcmp(l, "30")) cam_speed = S_30;
  else if (!strcmp(l, "60")) cam_speed = S_60;
}

void fdiv_val_cb(Fl_Choice *w, void *) {
  int n = atoi(picked(w));
  if (n >= 1 && n <= 3) cam_fdiv = n;
}

// Nothing may keep pointing at a slot that is released: the display
// redraws from its image and "Store current" writes this_image.
static void forget_slot(unsigned char *slot) {
  if (!slot) return;
  if (this_image == slot) this_image = 0;
  if (mainw && mainw->image->pixelData == slot) mainw->image->ClearImage();
}

// The current image leaves when the size or type of the images changes.
static void forget_image() {
  if (mainw && this_image && mainw->image->pixelData == this_image)
    mainw->image->ClearImage();
  this_image = 0;
}

void set_size() {
  int old = im_size, old_w = im_width, old_h = im_height, old_c = im_color;
  dITYPE old_t = im_type;
  geometry(&im_width, &im_height, &im_color);
  im_type = cam_type;
  im_size = im_width * im_height * (im_color ? 3 : 1);
  if (im_width != old_w || im_height != old_h || im_color != old_c ||
      im_type != old_t)
    forget_image();
  if (im_size == old) return;
  for (int i = 0; i < bufferSize; i++) {
    forget_slot(bufferList[i]);
    delete[] bufferList[i];
    bufferList[i] = 0;
  }
  // the recorded frames went with their slots
  bufferNum = 0;
  bufferCur = 0;
  buffer_stored = true;
  if (mainw) show_buffer();
}

// ------------------------------------------------------------- frame list

void show_buffer() {
  fld *f = mainw;
  set_active(f->frame_val, acquire_type == ACQUIRE_BUFFER && bufferNum > 0);
  set_active(f->record, acquire_type == ACQUIRE_CAMERA && bufferSize > 0);
  set_active(f->clear, bufferNum > 0);
  f->frame_val->value(bufferCur);
  f->frame_val->minimum(0);
  f->frame_val->maximum(bufferNum);
}

static void stop_recording() {
  storeFlag = false;
  mainw->record->value(0);
}

// Copies the live frame into the slot after the current one.
static void record_frame() {
  if (bufferCur + 1 >= bufferSize) {
    stop_recording();  // the list is full
    return;
  }
  if (bufferNum > 0) bufferCur++;
  if (!bufferList[bufferCur])
    bufferList[bufferCur] = new (std::nothrow) unsigned char[im_size];
  if (!bufferList[bufferCur]) {
    // out of memory: stop as when the list is full, keeping what we have
    if (bufferNum > 0) bufferCur--;
    stop_recording();
    debugMessage("No memory for another frame: recording stopped at %d frames",
                 bufferNum);
    return;
  }
  memcpy(bufferList[bufferCur], this_image, im_size);
  bufferNum = bufferCur + 1;
  buffer_stored = false;
}

// A frame smaller than the slots (a camera reopened in another format)
// would be copied from beyond its end.
static bool frame_fills_slot() {
  return im_size > 0 && dcam && frame_bytes(dcam) >= im_size;
}

void do_storage() {
  if (!storeFlag) return;
  if (acquire_type == ACQUIRE_CAMERA && this_image && frame_fills_slot())
    record_frame();
  show_buffer();
}

void record_cb(Fl_Light_Button *w, void *) {
  storeFlag = acquire_type == ACQUIRE_CAMERA && w->value();
  w->value(storeFlag);
  show_buffer();
}

void clear_cb(Fl_Button *, void *) {
  bufferNum = 0;
  bufferCur = 0;
  buffer_stored = true;
  mainw->frame_val->maximum(0);
  stop_recording();
  show_buffer();
}

void frame_val_cb(Fl_Counter *w, void *) {
  if (w->value() < 0) w->value(0);
  int v = (int)w->value();
  if (v == 0) bufferCur = bufferNum - 1;
  else if (v < 0) bufferCur = bufferNum - 2;
  else bufferCur = v - 1;
  // stay on a recorded frame: the counter can run past the list before
  // show_buffer has set its maximum, and a recording continues from here
  if (bufferCur >= bufferNum) bufferCur = bufferNum - 1;
  if (bufferCur < 0) bufferCur = bufferNum > 0 ? bufferNum - 1 : 0;
  single_shot = true;
}

// The light itself is the switch: acquisition reads it for every frame.
void display_cb(Fl_Light_Button *, void *) {}

// ---------------------------------------------------------------- storing

char *filedir = 0;

const char *get_dirname() {
  // kept for the life of the program, of any length
  static std::string dir;
  if (filedir) return 0;
  const char *env = getenv("DCAMDIR");
  if (env) {
    dir = std::string(env) + "/data";
  } else {
    std::vector<char> cwd(4096);
    const char *got;
    while (!(got = getcwd(cwd.data(), cwd.size())) && errno == ERANGE)
      cwd.resize(cwd.size() * 2);
    dir = got ? got : "";  // a removed directory: the chooser's own start
  }
  filedir = &dir[0];
  return filedir;
}

// After the first time the chooser reopens where it was last left.
static const char *choose_store_name() {
  return fl_file_chooser("Store current image to file", "{*.bmp}",
                         get_dirname(), 0);
}

static double store_gamma() { return dcam && dcam->isBayer ? 0.6 : 0; }

static std::string without_bmp(const char *chosen) {
  std::string name = chosen;
  size_t n = name.size();
  if (n > 4 && name.compare(n - 4, 4, ".bmp") == 0) name.erase(n - 4);
  return name;
}

static bool ends_in_three_digits(const std::string &s) {
  size_t n = s.size();
  return n > 3 && isdigit((unsigned char)s[n - 1]) &&
         isdigit((unsigned char)s[n - 2]) && isdigit((unsigned char)s[n - 3]);
}

std::string store_file_name(const char *chosen) {
  return without_bmp(chosen) + ".bmp";
}

std::string store_base_name(const char *chosen) {
  std::string base = without_bmp(chosen);
  if (!ends_in_three_digits(base)) base += "000";
  return base;
}

static int write_image(const std::string &name, unsigned char *im,
                       double gam) {
  const char *path = name.c_str();
  return im_color ? write_color_bmp(path, im, im_width, im_height, gam)
                  : write_bmp(path, im, im_width, im_height, gam);
}

void store_current_cb(Fl_Menu_ *, void *) {
  if (!this_image) return;
  const char *chosen = choose_store_name();
  double gam = store_gamma();
  if (!chosen) return;
  std::string file = store_file_name(chosen);
  if (write_image(file, this_image, gam) < 0)
    debugMessage("Can't store %s: %s", file.c_str(), imageError);
}

void store_buffer_cb(Fl_Menu_ *, void *) {
  if (!this_image) return;
  const char *chosen = choose_store_name();
  double gam = store_gamma();
  if (!chosen) return;
  std::string base = store_base_name(chosen);
  int written = 0, failed = 0;
  for (int i = 0; i < bufferNum; i++) {
    if (!bufferList[i]) continue;
    if (write_image(base + ".bmp", bufferList[i], gam) == 0)
      written++;
    else
      failed++;
    // a failed file uses up its number all the same
    incr_name(&base[0]);
  }
  if (written > 0 && failed == 0) buffer_stored = true;
  debugMessage("Wrote %d files at %s", written, base.c_str());
  if (failed)
    debugMessage("Failed to write %d files: %s", failed, imageError);
}

void incr_name(char *name) {
  size_t n = strlen(name);
  if (n < 3) return;
  // compared unsigned, so that a byte above 127 never steps to a NUL
  for (size_t k = n; k > n - 3; k--) {
    unsigned char *d = (unsigned char *)&name[k - 1];
    if (*d <= '8') {
      ++*d;
      return;
    }
    *d = '0';
  }
}

// ----------------------------------------------------- video parameters

static int slider_int(Fl_Valuator *v) { return (int)v->value(); }

void video_params_cb(Fl_Menu_ *, void *v) {
  if (!v) return;
  show_dig_params();
  ((fld *)v)->video_params->show();
}

void show_dig_params() {
  if (!dcam) return;
  mainw->exposure_val->value(dcam->exposure);
  mainw->gain_val->value(dcam->gain);
}

// One automatic control: with auto, the button lit and the slider idle;
// with manual only, the slider; with neither, nothing.
static void setup_control(Fl_Light_Button *b, Fl_Widget *s, bool has_auto,
                          bool has_manual) {
  b->value(has_auto);
  set_active(b, has_auto);
  set_active(s, !has_auto && has_manual);
}

static void setup_balance() {
  fld *f = mainw;
  bool a = dcam->has_auto_whitebalance;
  f->balance_auto_button->value(a);
  set_active(f->balance_auto_button, a);
  set_active(f->red_val, !a && dcam->has_color);
  set_active(f->blue_val, !a && dcam->has_color);
}

static void setup_gain() {
  fld *f = mainw;
  // gain starts in manual mode even where it could run automatically
  f->gain_auto_button->value(0);
  set_active(f->gain_auto_button, dcam->has_auto_gain);
  set_active(f->gain_val, dcam->has_auto_gain || dcam->has_manual_gain);
}

static void setup_gamma() {
  fld *f = mainw;
  double g = dcam->has_gamma && !dcam->isBayer ? 1.0 : 0.75;
  f->image->displayGamma = g;
  f->display_gamma_val->value(100 * g);
  f->imager_gamma_button->value(dcam->has_gamma && dcam->gamma);
  set_active(f->imager_gamma_button, dcam->has_gamma);
}

void setup_video_params() {
  if (!mainw || !dcam) return;
  fld *f = mainw;
  show_dig_params();
  setup_balance();
  setup_control(f->brightness_auto_button, f->brightness_val,
                dcam->has_auto_brightness, dcam->has_manual_brightness);
  setup_control(f->exposure_auto_button, f->exposure_val,
                dcam->has_auto_exposure, dcam->has_manual_exposure);
  setup_gain();
  set_active(f->saturation_val, dcam->has_saturation);
  set_active(f->sharpness_val, dcam->has_sharpness);
  setup_gamma();
}

void set_exposure() {
  if (dcam)
    dcam->SetExposure(slider_int(mainw->exposure_val),
                      mainw->exposure_auto_button->value() != 0);
}

void set_gain() {
  if (dcam)
    dcam->SetGain(slider_int(mainw->gain_val),
                  mainw->gain_auto_button->value() != 0);
}

void set_brightness() {
  if (dcam)
    dcam->SetBrightness(slider_int(mainw->brightness_val),
                        mainw->brightness_auto_button->value() != 0);
}

void set_balance() {
  if (dcam)
    dcam->SetWhiteBalance(slider_int(mainw->red_val),
                          slider_int(mainw->blue_val),
                          mainw->balance_auto_button->value() != 0);
}

void exposure_cb(Fl_Value_Slider *, void *) { set_exposure(); }
void gain_cb(Fl_Value_Slider *, void *) { set_gain(); }
void brightness_cb(Fl_Value_Slider *, void *) { set_brightness(); }
void red_gain_cb(Fl_Value_Slider *, void *) { set_balance(); }
void blue_gain_cb(Fl_Value_Slider *, void *) { set_balance(); }

void saturation_cb(Fl_Value_Slider *, void *) {
  if (dcam) dcam->SetSaturation(slider_int(mainw->saturation_val));
}

void sharpness_cb(Fl_Value_Slider *w, void *) {
  if (dcam) dcam->SetSharpness(slider_int(w));
}

void imager_gamma_cb(Fl_Light_Button *w, void *) {
  if (dcam) dcam->SetGamma(w->value() != 0);
}

// Exposure and gain Auto: going manual freezes the camera at the value
// its automatic control had reached.
static void auto_control(Fl_Light_Button *b, Fl_Value_Slider *s,
                         const int *camera_value, void (*send)()) {
  if (b->value()) {
    if (dcam) {
      s->value(*camera_value);
      s->deactivate();
    }
  } else {
    s->activate();
    if (dcam) s->value(*camera_value);
    show_dig_params();
  }
  send();
}

void exposure_auto_cb(Fl_Light_Button *w, void *) {
  auto_control(w, mainw->exposure_val, dcam ? &dcam->exposure : 0,
               set_exposure);
}

void gain_auto_cb(Fl_Light_Button *w, void *) {
  auto_control(w, mainw->gain_val, dcam ? &dcam->gain : 0, set_gain);
}

void brightness_auto_cb(Fl_Light_Button *w, void *) {
  bool capable = !dcam || dcam->has_auto_brightness;
  if (!capable) w->value(0);
  set_active(mainw->brightness_val, !w->value());
  set_brightness();
}

void balance_auto_cb(Fl_Light_Button *w, void *) {
  set_active(mainw->red_val, !w->value());
  set_active(mainw->blue_val, !w->value());
  set_balance();
}

void display_gamma_cb(Fl_Slider *w, void *) {
  mainw->image->displayGamma = 0.01 * w->value();
}
