// Display and debug windows shared by capture and viewer.
#ifndef FLWIN_H
#define FLWIN_H

#include <FL/Fl.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Window.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Menu_.H>

#include <stdarg.h>
#include <string>

#include "dcam.h"

class dcamWin;

// Width and height of a frame of the given size; sizes the programs do not
// offer count as 160x120.
void frame_dims(dISIZE size, int *w, int *h);

typedef int (*dcamButtonHandler)(int x, int y, int buttons, int modifiers,
                                 dcamWin *win);
typedef void (*dcamOverlayFn)(dcamWin *win, void *arg);

// One gamma-corrected draw's arguments for the line callbacks.
struct image_cb_data {
  unsigned char *pdata;
  int ndisp;
  int skip;      // bytes between displayed pixels in a source row
  int linesize;  // bytes between displayed rows
  unsigned char *gtab;
};

void gamma_image_cb_fn(void *data, int x, int y, int n, unsigned char *out);
void gamma_color_image_cb_fn(void *data, int x, int y, int n,
                             unsigned char *out);

class dcamWin : public Fl_Double_Window {
 public:
  int dwidth, dheight;
  int width, height;
  int xoff, yoff;
  double displayGamma;
  int skipw, linesize;
  unsigned char *pixelData;
  int pixelType;
  double oldgamma;
  unsigned char gamtab[256];
  dcamButtonHandler bhandler;
  dcamOverlayFn ofn;
  void *ovArg;

  dcamWin(int x, int y, int w, int h);
  ~dcamWin() override {}
  void draw() override;
  int handle(int e) override;

  void DisplayImage(unsigned char *im, int w, int h, int ls, int type, int s,
                    double gam, int x, int y);
  void DrawImage(unsigned char *im, dCamera *dc);
  void ClearImage();
  void ButtonHandler(dcamButtonHandler fn) { bhandler = fn; }
  void DrawOverlayFn(dcamOverlayFn fn, void *arg) {
    ofn = fn;
    ovArg = arg;
  }
  void drawit();
};

class dcamDebugWin : public Fl_Window {
 public:
  Fl_Text_Display *dwin;
  Fl_Text_Buffer *dbuf;
  char outp[256];

  dcamDebugWin(int ix, int iy, int w, int h, const char *name);
  ~dcamDebugWin() override;
  // printf-style; appends one line. Finished text goes in as an argument
  // ("%s", text), never as the format.
  void Print(const char *str, ...);
  void Bottom();
};

// printf into a string of any length; false when the format fails
bool format_text(std::string &out, const char *fmt, va_list ap);

void save_cb(Fl_Widget *w, void *v);
void copy_cb(Fl_Widget *w, void *v);

#endif
