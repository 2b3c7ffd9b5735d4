// Helpers of the capture tests: start-up on a configured simulated bus.
#include "capture_fixture.h"

#include <FL/Fl_Choice.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Text_Buffer.H>
#include <stdlib.h>
#include <string.h>

#include <sstream>

std::string debug_text() {
  if (!debugWin) return "";
  char *t = debugWin->dbuf->text();
  std::string s = t;
  free(t);
  return s;
}

static std::vector<std::string> debug_lines() {
  std::vector<std::string> lines;
  std::istringstream in(debug_text());
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

bool debug_has_line(const std::string &line) {
  for (const std::string &l : debug_lines())
    if (l == line) return true;
  return false;
}

bool debug_lines_in_order(const std::vector<std::string> &want) {
  size_t next = 0;
  for (const std::string &l : debug_lines())
    if (next < want.size() && l.rfind(want[next], 0) == 0) next++;
  return next == want.size();
}

std::string status_text() {
  const char *v = mainw ? mainw->infoLine->value() : nullptr;
  return v ? v : "";
}

std::vector<const Fl_Menu_Item *> camera_items() {
  std::vector<const Fl_Menu_Item *> items;
  const Fl_Menu_Item *m = fld::camera_val;
  if (!m) return items;
  // entries up to the end of the submenu; nested submenus would be skipped
  for (m = m + 1; m->label(); m = m->next()) items.push_back(m);
  return items;
}

void pick(Fl_Choice *c, int i) {
  c->value(i);
  c->do_callback();
}

static void hide(Fl_Window *w) {
  if (w) w->hide();
}

// Earlier widget sets and debug windows, kept reachable: they are never
// deleted, as in the program, and are not leaks.
static std::vector<fld *> old_sets;
static std::vector<dcamDebugWin *> old_debug_windows;

void keep(fld *f) { old_sets.push_back(f); }

void reset_capture() {
  if (mainw) {
    hide(mainw->video_params);
    hide(mainw->win);
    keep(mainw);
  }
  if (debugWin) old_debug_windows.push_back(debugWin);
  hide(debugWin);
  mainw = nullptr;
  debugWin = nullptr;
  dcam = nullptr;
  dcamDebug = nullptr;
  cam_num = 0;
  acquire_type = 0;
  single_shot = false;
  this_image = nullptr;
  cam_size = S_640x480;
  cam_type = S_RGB24;
  cam_speed = S_15;
  cam_fdiv = 1;
  im_width = im_height = im_color = im_size = 0;
  for (int i = 0; i < BUFFER_SLOTS; i++) {
    delete[] bufferList[i];
    bufferList[i] = nullptr;
  }
  bufferNum = bufferCur = 0;
  storeFlag = false;
  rate_t0 = rate_frames = 0;
  // the static table is where a new widget set starts from
  int n = fld::menu_menubar->size();
  for (Fl_Menu_Item *m = fld::menu_menubar; m < fld::menu_menubar + n; m++) {
    if (!m->label()) continue;
    if (!strcmp(m->label(), "Camera")) {
      m->activate();
      fld::camera_val = m;
    }
    if (!strcmp(m->label(), "Firmware...")) {
      m->deactivate();
      fld::firmware_params_val = m;
    }
  }
}

void CaptureTest::start(const std::string &json) {
  reset_capture();
  if (json.empty()) {
    config.reset(new ScopedEnv("VIRIZEDA_SIM_CONFIG", nullptr));
  } else {
    std::string path = dir.file("bus.json");
    write_file(path, json);
    config.reset(new ScopedEnv("VIRIZEDA_SIM_CONFIG", path.c_str()));
  }
  start_up();
}

void CaptureTest::TearDown() {
  if (dcam && mainw) dcam->Stop();
  reset_capture();
  settle(0.05);
}

bool CaptureTest::open_camera(int n) {
  cam_num = n;
  pick(mainw->input_val, 1);
  return dcam != nullptr && acquire_type == 1;
}

bool CaptureTest::start_capture() {
  mainw->contin_val->value(1);
  mainw->contin_val->do_callback();
  return mainw->contin_val->value() != 0;
}

void CaptureTest::stop_capture() {
  mainw->contin_val->value(0);
  mainw->contin_val->do_callback();
}

bool CaptureTest::next_image(int tries) {
  for (int i = 0; i < tries; i++) {
    Fl::check();
    if (get_next_image()) return true;
  }
  return false;
}
