// viewer: shows the first camera's live video, 640x480 RGB at 15 fps,
// reduced into a 320x240 display, until the window is closed.
#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <stdio.h>
#include <stdlib.h>

#include "dcam.h"
#include "flwin.h"

Fl_Window *mainw;
dcamWin *win;
dCamera *dcam;
char *apparg = (char *)"dcam";

void *get_icon() { return 0; }

// as data, never as a format
void print_msg(char *msg) { printf("%s", msg); }

static void fail(const char *msg) {
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

  dSysInit();
  if (!dSys) fail("Can't initialize IEEE 1394 bus");
  dcam = dSys->InitCamera(0);
  if (!dcam) fail("Can't find a camera");
  if (!dcam->SetFormat(S_640x480, S_RGB24, S_15, 1, false))
    fail("Can't set format");
  if (!dcam->Start()) fail("Can't start video streaming");

  for (;;) {
    if (!Fl::check()) return 0;
    unsigned char *image = 0;
    if (dcam->GetImage(&image, 500, 0, 0)) win->DrawImage(image, dcam);
  }
}
