// Runs capture's start-up in the test process on a simulated bus, and a
// camera that records the settings it is sent.
#ifndef CAPTURE_FIXTURE_H
#define CAPTURE_FIXTURE_H

#include <gtest/gtest.h>
// after gtest: the toolkit's drawing header brings X11's macros
#include <FL/Fl.H>
#include <FL/Fl_Menu_Item.H>

#include <memory>
#include <string>
#include <vector>

#include "dcam.h"
#include "fld.h"
#include "fldx.h"
#include "flwin.h"
#include "test_support.h"

// One setter call as the camera received it.
struct SentSetting {
  std::string what;
  int a, b;
  bool automatic;
};

// Records every setting; reports the format it was given.
class LoggingCamera : public dCamera {
 public:
  std::vector<SentSetting> sent;
  dISIZE size = S_320x240;
  dITYPE type = S_MONO;

  LoggingCamera() : dCamera(nullptr, 0) {
    initialized = true;
    error = nullptr;
    exposure = 0;
    gain = 0;
  }
  void SetExposure(int v, bool a) override { sent.push_back({"exposure", v, 0, a}); }
  void SetGain(int v, bool a) override { sent.push_back({"gain", v, 0, a}); }
  void SetBrightness(int v, bool a) override { sent.push_back({"brightness", v, 0, a}); }
  void SetWhiteBalance(int r, int b, bool a) override {
    sent.push_back({"balance", r, b, a});
  }
  void SetSaturation(int v) override { sent.push_back({"saturation", v, 0, false}); }
  void SetGamma(bool on) override { sent.push_back({"gamma", on, 0, false}); }
  void SetSharpness(int v) override { sent.push_back({"sharpness", v, 0, false}); }
  bool Stop() override { return true; }
  bool Start() override { return true; }
  dISIZE Size() override { return size; }
  dITYPE Type() override { return type; }
  bool GetImage(unsigned char **, int, int *, unsigned long *) override { return false; }
};

// The text of the debug window, and whether its lines hold these texts in
// this order (each at the start of a line).
std::string debug_text();
bool debug_lines_in_order(const std::vector<std::string> &lines);
bool debug_has_line(const std::string &line);
std::string status_text();

// The entries of the Camera submenu.
std::vector<const Fl_Menu_Item *> camera_items();

// Picks entry i of a choice as the user would.
void pick(Fl_Choice *c, int i);

// Forgets everything an earlier start-up left behind (its windows stay,
// hidden: deleting the widget set ends the process).
void reset_capture();
// Keeps a widget set made by a test reachable until the end.
void keep(fld *f);

class CaptureTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::unique_ptr<ScopedEnv> config;

  // Starts capture on the bus that the JSON text describes, or on the
  // default bus for an empty text.
  void start(const std::string &json = "");
  void TearDown() override;
  // Video on camera n; true when it opened.
  bool open_camera(int n = 0);
  // Continuous on; true when the button stayed on.
  bool start_capture();
  void stop_capture();
  // Calls get_next_image until it delivers, at most tries times.
  bool next_image(int tries = 20);
};

#endif
