// Image display window, debug window and value widget, shared by capture
// and viewer.
#include "flwin.h"
#include "fl_value.h"

#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Menu_Item.H>
#include <FL/fl_ask.H>
#include <FL/fl_draw.H>
#include <FL/Fl_File_Chooser.H>
#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

// ---------------------------------------------------------------- dcamWin

// The window whose draw() is running. While it runs, the toolkit has made
// the back buffer the drawing target, and drawit must draw there rather
// than switch to the window itself (which the back buffer would then cover).
static dcamWin *drawing_win = 0;

dcamWin::dcamWin(int x, int y, int w, int h)
    : Fl_Double_Window(x, y, w, h),
      dwidth(w), dheight(h), width(w), height(h), xoff(0), yoff(0),
      displayGamma(0), skipw(1), linesize(w), pixelData(0), pixelType(0),
      oldgamma(-1.0), bhandler(0), ofn(0), ovArg(0) {
  memset(gamtab, 0, sizeof gamtab);
  end();
}

static bool gamma_applies(double g) { return g > 0 && g < 1; }

static void make_gamma_table(unsigned char *tab, double gam) {
  for (int i = 0; i < 256; i++)
    tab[i] = (unsigned char)(int)(255.0 * pow(i / 255.0, gam) + 0.5);
}

void dcamWin::DisplayImage(unsigned char *im, int w, int h, int ls, int type,
                           int s, double gam, int x, int y) {
  pixelData = im;
  pixelType = type;
  xoff = x;
  yoff = y;
  width = w;
  height = h;
  linesize = ls;
  skipw = s;
  // halving ends at 0 rows at the latest, whatever the display size
  while (height > dheight && height > 0) {
    height /= 2;
    yoff /= 2;
    linesize *= 2;
  }
  while (width > dwidth && width > 0) {
    width /= 2;
    xoff /= 2;
    skipw *= 2;
  }
  if (gam != oldgamma) {
    oldgamma = gam;
    if (gamma_applies(gam)) make_gamma_table(gamtab, gam);
  }
  if (shown()) drawit();
}

void frame_dims(dISIZE size, int *w, int *h) {
  switch (size) {
    case S_1280x960: *w = 1280; *h = 960; break;
    case S_640x480: *w = 640; *h = 480; break;
    case S_320x240: *w = 320; *h = 240; break;
    default: *w = 160; *h = 120; break;
  }
}

void dcamWin::DrawImage(unsigned char *im, dCamera *dc) {
  if (!dc) return;  // no camera, no size or type to read the frame with
  int w, h;
  frame_dims(dc->Size(), &w, &h);
  DisplayImage(im, w, h, w, dc->Type(), 1, displayGamma, 0, 0);
}

void dcamWin::ClearImage() {
  pixelData = 0;
  redraw();
}

// The record's fields are copied to locals: stores through out could alias
// them, and reloading them per pixel costs half the time.
void gamma_image_cb_fn(void *data, int x, int y, int n, unsigned char *out) {
  const image_cb_data *d = (const image_cb_data *)data;
  const int skip = d->skip;
  const unsigned char *g = d->gtab;
  const unsigned char *src = d->pdata + (long)y * d->linesize + (long)x * skip;
  for (int k = 0; k < n; k++, src += skip) out[k] = g[*src];
}

void gamma_color_image_cb_fn(void *data, int x, int y, int n,
                             unsigned char *out) {
  const image_cb_data *d = (const image_cb_data *)data;
  const int skip = d->skip;
  const unsigned char *g = d->gtab;
  const unsigned char *src = d->pdata + (long)y * d->linesize + (long)x * skip;
  for (int k = 0; k < n; k++, src += skip, out += 3) {
    out[0] = g[src[0]];
    out[1] = g[src[1]];
    out[2] = g[src[2]];
  }
}

void dcamWin::drawit() {
  if (!shown() || !pixelData || width <= 0 || height <= 0) return;
  if (drawing_win != this) make_current();
  bool gam = gamma_applies(displayGamma);
  if (pixelType == S_MONO) {
    if (gam) {
      image_cb_data d = {pixelData, 256, skipw, linesize, gamtab};
      fl_draw_image_mono(gamma_image_cb_fn, &d, xoff, yoff, width, height, 1);
    } else {
      fl_draw_image_mono(pixelData, xoff, yoff, width, height, skipw, linesize);
    }
  } else if (pixelType == S_RGB24) {
    if (gam) {
      image_cb_data d = {pixelData, 256, 3 * skipw, 3 * linesize, gamtab};
      fl_draw_image(gamma_color_image_cb_fn, &d, xoff, yoff, width, height, 3);
    } else {
      fl_draw_image(pixelData, xoff, yoff, width, height, 3 * skipw,
                    3 * linesize);
    }
  }
  // other pixel types: the window keeps what it showed
}

void dcamWin::draw() {
  dcamWin *outer = drawing_win;
  drawing_win = this;
  if (height < dheight || width < dwidth || !pixelData) {
    fl_color(FL_BLACK);
    fl_rectf(0, 0, dwidth, dheight);
  }
  if (pixelData)
    DisplayImage(pixelData, width, height, linesize, pixelType, skipw,
                 displayGamma, xoff, yoff);
  if (ofn) ofn(this, ovArg);
  drawing_win = outer;
}

int dcamWin::handle(int e) {
  if (Fl_Double_Window::handle(e)) return 1;
  switch (e) {
    case FL_PUSH:
      if (!bhandler) return 0;
      if (Fl::focus() != this) Fl::focus(this);
      bhandler(Fl::event_x(), Fl::event_y(), Fl::event_state() & 0x0F000000,
               Fl::event_state() & 0x00FF0000, this);
      return 1;
    case FL_KEYDOWN:
      return 1;
    default:
      return 0;
  }
}

// ----------------------------------------------------------- dcamDebugWin

static Fl_Menu_Item menuitems[] = {
    {"&File", 0, 0, 0, FL_SUBMENU, 0, 0, 0, 0},
    {"&Save File", FL_CTRL + 's', save_cb, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {"&Edit", 0, 0, 0, FL_SUBMENU, 0, 0, 0, 0},
    {"&Copy", FL_CTRL + 'c', copy_cb, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0, 0}};

static const int MENU_H = 30;

dcamDebugWin::dcamDebugWin(int ix, int iy, int w, int h, const char *name)
    : Fl_Window(ix, iy, w, h, name) {
  outp[0] = 0;
  Fl_Menu_Bar *menu = new Fl_Menu_Bar(0, 0, w, MENU_H);
  menu->copy(menuitems, this);
  // fills exactly the space below the menu bar
  dwin = new Fl_Text_Display(0, MENU_H, w, h > MENU_H ? h - MENU_H : 0);
  dbuf = new Fl_Text_Buffer();
  dwin->buffer(dbuf);
  dbuf->append("DCAM Debugging Window\n");
  dbuf->append("\n");
  resizable(dwin);
  end();
}

// The X server refuses to draw a single text run much beyond 100000
// glyphs and the connection dies, so a giant text goes in as several lines.
static const int LINE_MAX_CHARS = 32768;

// Appends text (n bytes, NUL at text[n]) and a line end; may write into text.
static void append_lines(Fl_Text_Buffer *buf, char *text, int n) {
  while (n > LINE_MAX_CHARS) {
    int cut = LINE_MAX_CHARS;
    while (cut > 0 && ((unsigned char)text[cut] & 0xC0) == 0x80) cut--;
    char keep = text[cut];
    text[cut] = 0;
    buf->append(text);
    buf->append("\n");
    text[cut] = keep;
    text += cut;
    n -= cut;
  }
  buf->append(text);
  buf->append("\n");
}

// The display outlives this body (the group deletes it afterwards) and would
// still reach its buffer, so it lets go of it first.
dcamDebugWin::~dcamDebugWin() {
  dwin->buffer(0);
  delete dbuf;
}

bool format_text(std::string &out, const char *fmt, va_list ap) {
  char local[256];
  va_list again;
  va_copy(again, ap);
  int n = vsnprintf(local, sizeof local, fmt, ap);
  if (n >= 0 && (size_t)n < sizeof local) {
    out.assign(local, n);
  } else if (n >= 0) {
    // longer texts are kept whole
    out.resize(n);
    vsnprintf(&out[0], n + 1, fmt, again);
  }
  va_end(again);
  return n >= 0;
}

void dcamDebugWin::Print(const char *str, ...) {
  if (!str) return;
  std::string text;
  va_list ap;
  va_start(ap, str);
  bool ok = format_text(text, str, ap);
  va_end(ap);
  if (!ok) return;
  append_lines(dbuf, text.data(), (int)text.size());
  Bottom();
}

void dcamDebugWin::Bottom() {
  dwin->insert_position(dbuf->length());
  dwin->show_insert_position();
}

// Writes the whole text; false with errno set when any of it did not land.
static bool write_text(Fl_Text_Buffer *buf, const char *name) {
  FILE *f = fopen(name, "w");
  if (!f) return false;
  char *text = buf->text();
  size_t len = strlen(text);
  bool ok = fwrite(text, 1, len, f) == len;
  int err = errno;
  free(text);
  if (fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  errno = err;
  return ok;
}

void save_cb(Fl_Widget *, void *v) {
  dcamDebugWin *dw = (dcamDebugWin *)v;
  const char *name = fl_file_chooser("Save File As?", "*.txt", "", 0);
  if (!name) return;
  std::string file = name;  // the chooser's buffer is reused by fl_alert
  if (!write_text(dw->dbuf, file.c_str()))
    fl_alert("Can't save the debug text to %s: %s", file.c_str(),
             strerror(errno));
}

void copy_cb(Fl_Widget *, void *v) {
  dcamDebugWin *dw = (dcamDebugWin *)v;
  if (!dw->dbuf->selected()) return;
  char *text = dw->dbuf->selection_text();
  size_t len = strlen(text);
  if (len) Fl::copy(text, (int)len, 1);
  free(text);
}

// --------------------------------------------------------------- Fl_Value

Fl_Value::Fl_Value(int x, int y, int w, int h, const char *l, const char *val)
    : Fl_Widget(x, y, w, h, l) {
  copy_text(str, val);
  copy_text(buf, val);
  align(FL_ALIGN_LEFT);
  labelcolor(FL_BLACK);
  labelfont(FL_HELVETICA);
  labelsize(14);
  c = FL_BLACK;
}

void Fl_Value::draw() {
  fl_color(color());
  fl_rectf(x(), y(), w(), h());
  fl_font(FL_HELVETICA_BOLD, labelsize());
  fl_color(c);
  fl_draw(buf, x(), y() + h() / 2 + fl_height() / 2 - fl_descent());
}

// Drops a UTF-8 sequence left incomplete at the end by a cut.
static void trim_partial_utf8(char *s) {
  size_t n = strlen(s);
  size_t i = n;
  while (i > 0 && ((unsigned char)s[i - 1] & 0xC0) == 0x80) i--;
  if (i == 0) return;
  unsigned char lead = (unsigned char)s[i - 1];
  size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (n - (i - 1) < need) s[i - 1] = 0;
}

void Fl_Value::copy_text(char *dst, const char *src) {
  if (!src) src = "";
  snprintf(dst, 100, "%s", src);
  if (strlen(src) > 99) trim_partial_utf8(dst);
}

// Accepts a format with at most one conversion, of the kind given ('i' for
// an int, 'f' for a double), and no '*' or '$' that would read arguments
// that are not there.
bool Fl_Value::format_fits(const char *f, char kind) {
  int conversions = 0;
  for (const char *p = f; *p; p++) {
    if (*p != '%') continue;
    p++;
    if (*p == '%') continue;
    while (*p && strchr("-+ #0'", *p)) p++;
    while (*p >= '0' && *p <= '9') p++;
    if (*p == '.') {
      p++;
      while (*p >= '0' && *p <= '9') p++;
    }
    bool half = false, lng = false;
    while (*p == 'h') { half = true; p++; }
    if (*p == 'l' && p[1] != 'l') { lng = true; p++; }
    if (!*p) return false;
    if (kind == 'i' && (!strchr("diouxXc", *p) || lng)) return false;
    if (kind == 'f' && (!strchr("fFeEgGaA", *p) || half)) return false;
    conversions++;
  }
  return conversions <= 1;
}

void Fl_Value::format_result() {
  if (strlen(buf) == 99) trim_partial_utf8(buf);
}
