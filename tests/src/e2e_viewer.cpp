// The real viewer program under the test's X server, on the simulated bus.
#include <gtest/gtest.h>
// after gtest: Xlib's macros (None, Status, ...) clash with its names
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "test_support.h"

namespace {

const char *const TITLE = "Orvane Design DCAM Capture (2.1)";

// The viewer as a child process, its standard output going to a file.
struct Viewer {
  pid_t pid = -1;

  Viewer(const std::string &out_file, const char *config_file) {
    pid = fork();
    if (pid == 0) {
      if (!freopen(out_file.c_str(), "w", stdout)) _exit(126);
      if (!freopen((out_file + ".err").c_str(), "w", stderr)) _exit(126);
      if (config_file)
        setenv("VIRIZEDA_SIM_CONFIG", config_file, 1);
      else
        unsetenv("VIRIZEDA_SIM_CONFIG");
      unsetenv("VIRIZEDA_SIM_STATE");
      // DCAM_VIEWER_BIN: an installed viewer instead of the build's
      const char *bin = getenv("DCAM_VIEWER_BIN");
      if (!bin || !*bin) bin = VIEWER_BIN;
      execl(bin, bin, "-ignored", (char *)nullptr);
      _exit(127);
    }
  }
  // The exit status, or -1 when it has not ended within the time.
  int wait_exit(double seconds) {
    for (int i = 0; i < seconds * 20; i++) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(50000);
    }
    return -1;
  }
  ~Viewer() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

// A connection of the test's own to the X server.
class XConn {
 public:
  XConn() : d(XOpenDisplay(nullptr)) {}
  ~XConn() {
    if (d) XCloseDisplay(d);
  }
  // The top-level window of process pid, once it is on screen; 0 if none.
  // The server keeps its contents from then on, even while the windows of
  // tests running in parallel cover it.
  Window find(pid_t pid, double seconds) {
    for (int i = 0; i < seconds * 10; i++) {
      if (Window w = search(pid)) {
        XSetWindowAttributes a;
        a.backing_store = Always;
        XChangeWindowAttributes(d, w, CWBackingStore, &a);
        XFlush(d);
        return w;
      }
      usleep(100000);
    }
    return 0;
  }
  std::string title(Window w) {
    char *name = nullptr;
    std::string t;
    if (XFetchName(d, w, &name) && name) t = name;
    if (name) XFree(name);
    return t;
  }
  // The 16-bit number of the bar code in the display area's top rows, or -1
  // when the blocks are not clean black and white.
  int barcode(Window w) {
    XImage *im = XGetImage(d, w, 3, 23 + 3, 320, 1, AllPlanes, ZPixmap);
    if (!im) return -1;
    int code = 0;
    for (int b = 0; b < 16 && code >= 0; b++) {
      unsigned long p = XGetPixel(im, b * 20 + 10, 0);
      bool white = (p & im->red_mask) == im->red_mask &&
                   (p & im->green_mask) == im->green_mask &&
                   (p & im->blue_mask) == im->blue_mask;
      bool black = (p & (im->red_mask | im->green_mask | im->blue_mask)) == 0;
      code = white || black ? code << 1 | (white ? 1 : 0) : -1;
    }
    XDestroyImage(im);
    return code;
  }
  // What the window manager's close button sends.
  void close(Window w) {
    XEvent ev = {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = (long)XInternAtom(d, "WM_DELETE_WINDOW", False);
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, w, False, NoEventMask, &ev);
    XFlush(d);
  }
  Display *d;

 private:
  Window search(pid_t pid) {
    Window root = DefaultRootWindow(d), parent, *kids = nullptr, found = 0;
    unsigned n = 0;
    Atom pid_atom = XInternAtom(d, "_NET_WM_PID", False);
    if (!XQueryTree(d, root, &root, &parent, &kids, &n)) return 0;
    for (unsigned i = 0; i < n && !found; i++) {
      Atom type;
      int format;
      unsigned long items, after;
      unsigned char *data = nullptr;
      XWindowAttributes a;
      if (XGetWindowProperty(d, kids[i], pid_atom, 0, 1, False, XA_CARDINAL, &type,
                             &format, &items, &after, &data) == Success &&
          data && items == 1 && *(unsigned long *)data == (unsigned long)pid &&
          XGetWindowAttributes(d, kids[i], &a) && a.map_state == IsViewable)
        found = kids[i];
      if (data) XFree(data);
    }
    if (kids) XFree(kids);
    return found;
  }
};

struct Failure {
  const char *config;
  const char *message;
};

TEST(ViewerProgram, StartUpFailuresPrintTheirTextAndExitWith255) {
  const Failure cases[] = {
      {R"({"bus_fail": true})", "Can't initialize IEEE 1394 bus"},
      {R"({"cameras": []})", "Can't find a camera"},
      {R"({"cameras": [{"name": "A", "color": true, "fail_open": true}]})",
       "Can't find a camera"},
      {R"({"cameras": [{"name": "A", "color": true,
                        "refuse_format": "the camera's own reason"}]})",
       "Can't set format"},
      // a monochrome camera cannot give RGB
      {R"({"cameras": [{"name": "M"}]})", "Can't set format"},
      {R"({"cameras": [{"name": "A", "color": true, "fail_start": true}]})",
       "Can't start video streaming"}};
  for (const Failure &f : cases) {
    SCOPED_TRACE(f.config);
    TempDir dir;
    write_file(dir.file("sim.json"), f.config);
    Viewer v(dir.file("out.txt"), dir.file("sim.json").c_str());
    EXPECT_EQ(255, v.wait_exit(30));
    // the text alone, with no line end
    EXPECT_EQ(f.message, read_file(dir.file("out.txt")));
  }
}

// The library's reason reaches a person at a terminal, on standard error.
TEST(ViewerProgram, BusFailureReasonGoesToStandardError) {
  TempDir dir;
  write_file(dir.file("sim.json"), R"({"cameras": [{"colour": true}]})");
  Viewer v(dir.file("out.txt"), dir.file("sim.json").c_str());
  EXPECT_EQ(255, v.wait_exit(30));
  EXPECT_EQ("Can't initialize IEEE 1394 bus", read_file(dir.file("out.txt")));
  EXPECT_NE(std::string::npos, read_file(dir.file("out.txt.err"))
                                   .find("unknown key \"colour\"\n"));
}

TEST(ViewerProgram, ShowsAdvancingFramesAndEndsWhenClosed) {
  TempDir dir;
  XConn x;
  ASSERT_NE(nullptr, x.d);
  Viewer v(dir.file("out.txt"), nullptr);
  Window w = x.find(v.pid, 30);
  ASSERT_NE(0u, w);
  EXPECT_EQ(TITLE, x.title(w));
  XWindowAttributes a;
  ASSERT_TRUE(XGetWindowAttributes(x.d, w, &a));
  EXPECT_EQ(327, a.width);
  EXPECT_EQ(276, a.height);

  // frames arrive at 15 per second; their numbers climb. The first frames
  // after find() fill the kept contents.
  usleep(500000);
  int first = -1, later = -1;
  for (int i = 0; i < 100 && first <= 0; i++, usleep(100000)) first = x.barcode(w);
  ASSERT_GT(first, 0);
  for (int i = 0; i < 100 && later <= first; i++, usleep(100000)) later = x.barcode(w);
  EXPECT_GT(later, first);
  EXPECT_LT(later, first + 300);

  x.close(w);
  EXPECT_EQ(0, v.wait_exit(30));
  EXPECT_EQ("", read_file(dir.file("out.txt")));
}

}  // namespace
