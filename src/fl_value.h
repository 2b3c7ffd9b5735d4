// A read-only one-line text beside a label. The text set last doubles as
// the printf format for numbers shown later ("%04x", then an int).
#ifndef FL_VALUE_H
#define FL_VALUE_H

#include <FL/Fl.H>
#include <FL/Fl_Widget.H>
#include <stdio.h>
#include <string.h>

class Fl_Value : public Fl_Widget {
 public:
  Fl_Color c;
  char str[100];
  char buf[100];

  Fl_Value(int x, int y, int w, int h, const char *l = 0, const char *val = "");

  // Longer texts are cut at 99 characters, at a character boundary.
  void val(const char *s) {
    copy_text(str, s);
    copy_text(buf, s);
    redraw();
  }
  // A format that does not fit the number's type is shown as it is.
  void val(int v) {
    if (format_fits(str, 'i'))
      snprintf(buf, sizeof buf, str, v);
    else
      copy_text(buf, str);
    format_result();
    redraw();
  }
  void val(double v) {
    if (format_fits(str, 'f'))
      snprintf(buf, sizeof buf, str, v);
    else
      copy_text(buf, str);
    format_result();
    redraw();
  }
  void setcolor(Fl_Color col) {
    c = col;
    redraw();
  }
  void draw() override;

  static void copy_text(char *dst, const char *src);
  static bool format_fits(const char *f, char kind);

 private:
  void format_result();
};

#endif
