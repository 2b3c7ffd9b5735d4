#include "test_support.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_File_Input.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input_.H>
#include <FL/Fl_Menu_.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>
// after gtest: Xlib's macros (None, Status, ...) clash with its names
#include <FL/x.H>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>
#include <ftw.h>
#include <dirent.h>
#include <sys/stat.h>

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dcamtest.XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp failed";
  path_ = buf.data();
}

static int remove_entry(const char *p, const struct stat *, int, struct FTW *) {
  return remove(p);
}

TempDir::~TempDir() {
  // only ever below the directory this object made
  if (path_.find("/dcamtest.") != std::string::npos)
    nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
  const char *old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    setenv(name_.c_str(), old_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

std::set<std::string> files_in(const std::string &path) {
  std::set<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') names.insert(e->d_name);
  closedir(d);
  return names;
}

bool is_char_device(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

std::string shell_quote(const std::string &text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void write_file(const std::string &path, const std::string &data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

// Passes of the event loop: each Fl::wait (Fl::check too) runs the check
// callbacks once, however many late timeouts it ran.
static unsigned long loop_passes;
static void count_pass(void *) { loop_passes++; }

DialogAnswerer::DialogAnswerer(std::vector<std::string> answers)
    : answers_(std::move(answers)) {
  Fl::add_timeout(0.02, poll, this);
  Fl::add_check(count_pass, this);
}

DialogAnswerer::~DialogAnswerer() {
  Fl::remove_timeout(poll, this);
  Fl::remove_check(count_pass, this);
}

bool DialogAnswerer::saw(const std::string &text) const {
  for (const auto &d : seen_) {
    if (d.title.find(text) != std::string::npos) return true;
    for (const auto &t : d.texts)
      if (t.find(text) != std::string::npos) return true;
  }
  return false;
}

static void collect(Fl_Widget *w, std::vector<std::string> &texts,
                    std::vector<Fl_Button *> &buttons,
                    std::vector<Fl_File_Input *> &files) {
  if (w->label()) texts.push_back(w->label());
  if (auto *in = dynamic_cast<Fl_Input_ *>(w)) {
    if (in->value()) texts.push_back(in->value());
  }
  // the picked entry of a choice (a file chooser's filter, say)
  if (auto *m = dynamic_cast<Fl_Menu_ *>(w))
    if (m->text()) texts.push_back(m->text());
  if (auto *b = dynamic_cast<Fl_Button *>(w))
    if (b->visible()) buttons.push_back(b);
  if (auto *f = dynamic_cast<Fl_File_Input *>(w)) files.push_back(f);
  if (auto *g = w->as_group())
    for (int i = 0; i < g->children(); i++) collect(g->child(i), texts, buttons, files);
}

static bool press(std::vector<Fl_Button *> &buttons, const std::string &label) {
  for (auto *b : buttons) {
    if (!b->label()) continue;
    std::string l = b->label();
    l.erase(std::remove(l.begin(), l.end(), '&'), l.end());
    if (l == label) {
      b->do_callback();
      return true;
    }
  }
  return false;
}

void DialogAnswerer::answer_modal() {
  Fl_Window *m = Fl::modal();
  // A dialog is answered only once it has been up for a whole poll, seen
  // in two passes of the event loop. The file chooser runs one Fl::check
  // of its own after showing; a late timeout runs twice within it, and an
  // answer given there is undone: taking focus shows the chooser again.
  Fl_Window *before = settling_;
  settling_ = m && m->shown() ? m : nullptr;
  if (!settling_ || settling_ != before) {
    settling_pass_ = loop_passes;
    return;
  }
  if (loop_passes == settling_pass_) return;
  settling_ = nullptr;
  SeenDialog d;
  d.title = m->label() ? m->label() : "";
  std::vector<Fl_Button *> buttons;
  std::vector<Fl_File_Input *> files;
  collect(m, d.texts, buttons, files);
  if (next_ >= answers_.size()) {
    ADD_FAILURE() << "unexpected dialog: " << d.title
                  << (d.texts.empty() ? "" : " / " + d.texts[0]);
    d.answer = "(closed)";
    seen_.push_back(d);
    if (!press(buttons, "Cancel") && !press(buttons, "No") && !press(buttons, "Close"))
      m->hide();
    return;
  }
  std::string a = answers_[next_++];
  d.answer = a;
  seen_.push_back(d);
  if (a.rfind("file:", 0) == 0) {
    if (files.empty()) {
      ADD_FAILURE() << "no file chooser for answer " << a;
      m->hide();
      return;
    }
    files[0]->value(a.c_str() + 5);
    if (!press(buttons, "OK")) ADD_FAILURE() << "file chooser has no OK";
    return;
  }
  if (!press(buttons, a)) {
    ADD_FAILURE() << "dialog has no button " << a;
    m->hide();
  }
}

void DialogAnswerer::poll(void *self) {
  static_cast<DialogAnswerer *>(self)->answer_modal();
  Fl::repeat_timeout(0.02, poll, self);
}

static double now_s() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec / 1e6;
}

bool run_until(const std::function<bool()> &cond, double seconds) {
  double end = now_s() + seconds;
  while (!cond() && now_s() < end) Fl::wait(0.01);
  return cond();
}

void settle(double seconds) {
  double end = now_s() + seconds;
  while (now_s() < end) Fl::wait(0.01);
  Fl::flush();
}

void keep_contents(Fl_Window *w) {
  if (!w || !w->shown()) return;
  XSetWindowAttributes a;
  a.backing_store = Always;
  XChangeWindowAttributes(fl_display, fl_xid(w), CWBackingStore, &a);
  XFlush(fl_display);
}
