// The programs end to end on aravis's GigE Vision simulator, run as a
// process of its own on 127.0.0.1 and opened by address (nothing is
// discovered). Its picture is a ramp along the diagonal: every row is the
// row above moved one pixel left. Its control port is fixed, so these
// tests run one at a time.
#include "capture_fixture.h"
#include "firmware_fake.h"
#include "image_io.h"
// after gtest: Xlib's macros clash with its names
#include <FL/Fl_Light_Button.H>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// the simulator states no DeviceFirmwareVersion
const char *const FIRMWARE = "0000";

// The simulator, serial 1234, for the lifetime of the object.
struct Simulator {
  pid_t pid = fork();
  Simulator() {
    if (pid == 0) {
      execlp("arv-fake-gv-camera-0.8", "arv-fake-gv-camera-0.8", "-i", "127.0.0.1",
             "-s", "1234", (char *)nullptr);
      _exit(127);
    }
    usleep(300000);  // until it listens
  }
  // false when it could not take the port (another simulator holds it)
  bool alive() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
  ~Simulator() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
  }
};

struct GigEEnv {
  ScopedEnv bus{"VIRIZEDA_BUS", "genicam"};
  ScopedEnv devices{"VIRIZEDA_GENICAM_DEVICES", "127.0.0.1"};
};

// Rows of w pixels of bpp bytes: each row is the row above moved one
// pixel left, and the picture is not flat.
bool is_ramp(const unsigned char *p, int w, int h, int bpp) {
  bool varies = false;
  size_t row = (size_t)w * bpp;
  for (int y = 1; y < h; y++)
    for (size_t i = 0; i + bpp < row; i++) {
      if (p[y * row + i] != p[(y - 1) * row + i + bpp]) return false;
      varies = varies || p[i] != p[i + bpp];
    }
  return varies;
}

class GigECapture : public CaptureTest {
 protected:
  Simulator sim;
  GigEEnv env;
};

TEST_F(GigECapture, StreamsRecordsAndStoresTheRamp) {
  ASSERT_TRUE(sim.alive());
  start();
  ASSERT_TRUE(open_camera(0));
  pick(mainw->format_val, 1);  // Mono
  ASSERT_EQ(S_MONO, cam_type);
  ASSERT_EQ(S_640x480, cam_size);
  ASSERT_TRUE(start_capture());
  ASSERT_TRUE(next_image(100));
  EXPECT_TRUE(is_ramp(this_image, 640, 480, 1));
  mainw->record->value(1);
  mainw->record->do_callback();
  for (int n = 0; n < 3;)
    if (next_image(100)) do_storage(), n++;
  mainw->record->value(0);
  mainw->record->do_callback();
  ASSERT_EQ(3, bufferNum);
  filedir = nullptr;
  {
    DialogAnswerer a({"file:" + dir.file("gige")});
    store_buffer_cb(mainw->menubar, nullptr);
    EXPECT_EQ(0u, a.pending()) << "no chooser opened";
  }
  EXPECT_EQ("Wrote 3 files at " + dir.file("gige003"), status_text());
  std::vector<unsigned char> firsts;
  for (const char *name : {"gige000.bmp", "gige001.bmp", "gige002.bmp"}) {
    std::vector<unsigned char> im(BMP_MAX_FILE_SIZE);
    int w = 0, h = 0;
    ASSERT_EQ(0, read_bmp(dir.file(name).c_str(), im.data(), &w, &h, 0)) << name;
    ASSERT_EQ(640, w);
    ASSERT_EQ(480, h);
    EXPECT_TRUE(is_ramp(im.data(), w, h, 1)) << name;
    firsts.push_back(im[0]);
  }
  // frames advance: the ramp moves between recorded frames
  EXPECT_TRUE(firsts[0] != firsts[1] || firsts[1] != firsts[2]);
}

class GigEFirmware : public FirmwareTest {
 protected:
  Simulator sim;
  GigEEnv env;
};

TEST_F(GigEFirmware, ShowsTheIdentityAndReadsARegister) {
  ASSERT_TRUE(sim.alive());
  dSysInit();  // a bus of its own, on this simulator
  ASSERT_NE(nullptr, dSys);
  dCamera *cam = dSys->InitCamera(0);
  ASSERT_NE(nullptr, cam);
  firmware_params_dialog(cam);
  EXPECT_STREQ("04d2", fwd()->device_id_val->value());  // serial 1234
  EXPECT_STREQ(FIRMWARE, fwd()->camera_version_val->buf);
  clear_messages();
  // the GigE Vision bootstrap register 0x0048, the first four bytes of the
  // maker's name; the field takes an offset from the IIDC space, wrapping
  fwd()->reg_addr_val->value("f100048");
  fwd()->dcam_reg_read_val->do_callback();
  EXPECT_EQ(std::vector<std::string>{"[Device] DCAM Register f100048: 41726176"},
            messages());  // "Arav"
}

// The viewer's display area, 320x240 at (3, 23) of its window.
struct Shot {
  XImage *im;
  unsigned long at(int x, int y) const { return XGetPixel(im, x, y); }
  // along the diagonal the picture is the same, and it is not flat
  bool ramp() const {
    bool varies = false;
    for (int y = 0; y + 1 < 240; y++)
      for (int x = 0; x + 1 < 320; x++) {
        if (at(x + 1, y) != at(x, y + 1)) return false;
        varies = varies || at(x + 1, y) != at(x, y);
      }
    return varies;
  }
};

Window viewer_window(Display *d, pid_t pid) {
  Atom pid_atom = XInternAtom(d, "_NET_WM_PID", False);
  for (int i = 0; i < 300; i++, usleep(100000)) {
    Window root = DefaultRootWindow(d), parent, *kids = nullptr, found = 0;
    unsigned n = 0;
    XQueryTree(d, root, &root, &parent, &kids, &n);
    for (unsigned k = 0; k < n && !found; k++) {
      Atom type;
      int format;
      unsigned long items, after;
      unsigned char *data = nullptr;
      XWindowAttributes a;
      if (XGetWindowProperty(d, kids[k], pid_atom, 0, 1, False, XA_CARDINAL, &type,
                             &format, &items, &after, &data) == Success && data &&
          items == 1 && *(unsigned long *)data == (unsigned long)pid &&
          XGetWindowAttributes(d, kids[k], &a) && a.map_state == IsViewable)
        found = kids[k];
      if (data) XFree(data);
    }
    if (kids) XFree(kids);
    if (found) return found;
  }
  return 0;
}

TEST(GigEViewer, ShowsAdvancingFrames) {
  Simulator sim;
  ASSERT_TRUE(sim.alive());
  TempDir dir;
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(dir.file("out.txt").c_str(), "w", stdout)) _exit(126);
    setenv("VIRIZEDA_BUS", "genicam", 1);
    setenv("VIRIZEDA_GENICAM_DEVICES", "127.0.0.1", 1);
    execl(VIEWER_BIN, VIEWER_BIN, (char *)nullptr);
    _exit(127);
  }
  Display *d = XOpenDisplay(nullptr);
  ASSERT_NE(nullptr, d);
  Window w = viewer_window(d, pid);
  EXPECT_NE(0u, w) << read_file(dir.file("out.txt"));
  if (w) {
    XSetWindowAttributes a;
    a.backing_store = Always;
    XChangeWindowAttributes(d, w, CWBackingStore, &a);
    usleep(1000000);
    Shot first{XGetImage(d, w, 3, 23, 320, 240, AllPlanes, ZPixmap)};
    usleep(500000);
    Shot later{XGetImage(d, w, 3, 23, 320, 240, AllPlanes, ZPixmap)};
    ASSERT_TRUE(first.im && later.im);
    EXPECT_TRUE(first.ramp());
    EXPECT_TRUE(later.ramp());
    EXPECT_NE(first.at(0, 0), later.at(0, 0));  // 15 frames later: moved on
    XDestroyImage(first.im);
    XDestroyImage(later.im);
  }
  XCloseDisplay(d);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace
