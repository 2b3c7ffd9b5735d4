// viewer: shows the first camera's live video, 640x480 RGB at 15 fps,
// reduced into a 320x240 display, until the window is closed.
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "dcam.h"
#include "flwin.h"

Fl_Window *mainw;
dcamWin *win;
dCamera *dcam;
char *apparg = (char *)"dcam";

void *get_icon() { return 0; }

// as data, never as a format, and with no line end: the failure text is
// all that standard output receives
void print_msg(char *msg) { printf("%s", msg); }

// The library's diagnostics: they hold the reason of a failure, and the
// viewer has no debug window to show them in.
static std::vector<std::string> lib_lines;
static void keep_line(char *line) {
  if (line) lib_lines.push_back(line);
}

static void fail(const char *msg) {
  for (const std::string &l : lib_lines) fprintf(stderr, "%s\n", l.c_str());
  print_msg((char *)msg);
  exit(-1);
}

int main(int, char **) {
  Fl::visual(FL_RGB);
  mainw = new Fl_Window(327, 276, "Orvane Design DCAM Capture (2.1)");
  win = new dcamWin(3, 23, 320, 240);
  mainw->end();
  mainw->icon(get_icon());
  mainw->show(1, &apparg);

  dcamDebug = keep_line;
  dSysInit();
  if (!dSys) fail("Can't initialize IEEE 1394 bus");
  dcam = dSys->InitCamera(0);
  if (!dcam) fail("Can't find a camera");
  if (!dcam->SetFormat(S_640x480, S_RGB24, S_15, 1, false))
    fail("Can't set format");
  if (!dcam->Start()) fail("Can't start video streaming");
  lib_lines.clear();
  // from here on nothing is fatal: keep no growing record
  dcamDebug = 0;

  for (;;) {
    if (!Fl::check()) return 0;
    unsigned char *image = 0;
    if (dcam->GetImage(&image, 500, 0, 0)) win->DrawImage(image, dcam);
  }
}
