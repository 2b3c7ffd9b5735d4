// The Video Parameters panel and the display gamma.
#include "capture_fixture.h"

#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Value_Slider.H>
#include <FL/fl_draw.H>
#include <math.h>

#include "virizeda_sim.h"

namespace {

class Panel : public CaptureTest {
 protected:
  LoggingCamera cam;
  // start-up without opening a camera, then this one as the open camera
  void use_logging_camera() {
    start();
    dcam = &cam;
  }
  void TearDown() override {
    if (dcam == &cam) dcam = nullptr;
    CaptureTest::TearDown();
  }
  void press(Fl_Light_Button *b, bool on) {
    b->value(on);
    b->do_callback();
  }
  void slide(Fl_Valuator *s, double v) {
    s->value(v);
    s->do_callback();
  }
  const SentSetting &last() { return cam.sent.back(); }
};

#define EXPECT_SENT(what_, a_, b_, auto_)      \
  do {                                         \
    ASSERT_FALSE(cam.sent.empty());            \
    EXPECT_EQ(what_, last().what);             \
    EXPECT_EQ(a_, last().a);                   \
    EXPECT_EQ(b_, last().b);                   \
    EXPECT_EQ(auto_, last().automatic);        \
  } while (0)

TEST_F(Panel, SettersSendTruncatedValuesAndTheAutoFlag) {
  use_logging_camera();
  fld *f = mainw;
  f->exposure_auto_button->value(0);
  slide(f->exposure_val, 42.7);
  EXPECT_SENT("exposure", 42, 0, false);
  f->gain_auto_button->value(1);
  slide(f->gain_val, 99.9);
  EXPECT_SENT("gain", 99, 0, true);
  f->brightness_auto_button->value(0);
  slide(f->brightness_val, 0.5);
  EXPECT_SENT("brightness", 0, 0, false);
  f->balance_auto_button->value(0);
  f->blue_val->value(12.9);
  slide(f->red_val, 70.2);
  EXPECT_SENT("balance", 70, 12, false);
  slide(f->blue_val, 33);
  EXPECT_SENT("balance", 70, 33, false);
  slide(f->saturation_val, 61.8);
  EXPECT_SENT("saturation", 61, 0, false);
  slide(f->sharpness_val, 100);
  EXPECT_SENT("sharpness", 100, 0, false);
  press(f->imager_gamma_button, false);
  EXPECT_SENT("gamma", 0, 0, false);
  press(f->imager_gamma_button, true);
  EXPECT_SENT("gamma", 1, 0, false);
  EXPECT_EQ(9u, cam.sent.size());  // one call per change
}

TEST_F(Panel, ExposureAutoOffFreezesAtTheCamerasValue) {
  use_logging_camera();
  fld *f = mainw;
  cam.exposure = 63;
  press(f->exposure_auto_button, false);
  EXPECT_EQ(63, f->exposure_val->value());
  EXPECT_TRUE(f->exposure_val->active());
  EXPECT_SENT("exposure", 63, 0, false);
  cam.exposure = 20;
  press(f->exposure_auto_button, true);
  EXPECT_EQ(20, f->exposure_val->value());
  EXPECT_FALSE(f->exposure_val->active());
  EXPECT_SENT("exposure", 20, 0, true);
}

TEST_F(Panel, GainAutoWorksLikeExposure) {
  use_logging_camera();
  fld *f = mainw;
  cam.gain = 17;
  cam.exposure = 80;
  press(f->gain_auto_button, true);
  EXPECT_FALSE(f->gain_val->active());
  EXPECT_SENT("gain", 17, 0, true);
  cam.gain = 44;
  press(f->gain_auto_button, false);
  EXPECT_TRUE(f->gain_val->active());
  EXPECT_EQ(44, f->gain_val->value());
  EXPECT_EQ(80, f->exposure_val->value());  // refreshed too
  EXPECT_SENT("gain", 44, 0, false);
}

TEST_F(Panel, BrightnessAutoIsRefusedWithoutTheCapability) {
  use_logging_camera();
  fld *f = mainw;
  cam.has_auto_brightness = false;
  f->brightness_val->value(30);
  press(f->brightness_auto_button, true);
  EXPECT_FALSE(f->brightness_auto_button->value());
  EXPECT_TRUE(f->brightness_val->active());
  EXPECT_SENT("brightness", 30, 0, false);
  cam.has_auto_brightness = true;
  press(f->brightness_auto_button, true);
  EXPECT_TRUE(f->brightness_auto_button->value());
  EXPECT_FALSE(f->brightness_val->active());
  EXPECT_SENT("brightness", 30, 0, true);
}

TEST_F(Panel, WhiteBalanceAuto) {
  use_logging_camera();
  fld *f = mainw;
  press(f->balance_auto_button, false);
  EXPECT_TRUE(f->red_val->active());
  EXPECT_TRUE(f->blue_val->active());
  EXPECT_SENT("balance", 50, 50, false);  // the sliders' own values
  press(f->balance_auto_button, true);
  EXPECT_FALSE(f->red_val->active());
  EXPECT_FALSE(f->blue_val->active());
  EXPECT_SENT("balance", 50, 50, true);
}

TEST_F(Panel, WithoutACameraWidgetsWorkAndNothingIsSent) {
  start();
  fld *f = mainw;
  ASSERT_EQ(nullptr, dcam);
  vzsim::clear_calls();
  press(f->brightness_auto_button, false);
  EXPECT_TRUE(f->brightness_val->active());
  press(f->brightness_auto_button, true);  // no camera counts as capable
  EXPECT_TRUE(f->brightness_auto_button->value());
  EXPECT_FALSE(f->brightness_val->active());
  f->exposure_val->value(77);
  press(f->exposure_auto_button, false);
  EXPECT_TRUE(f->exposure_val->active());
  EXPECT_EQ(77, f->exposure_val->value());
  press(f->exposure_auto_button, true);
  EXPECT_TRUE(f->exposure_val->active());  // keeps its value, stays usable
  slide(f->saturation_val, 10);
  slide(f->sharpness_val, 10);
  press(f->imager_gamma_button, false);
  press(f->balance_auto_button, false);
  EXPECT_TRUE(f->red_val->active());
  EXPECT_TRUE(vzsim::calls().empty());
}

TEST_F(Panel, OnTheSimulatedCamera) {
  start();
  ASSERT_TRUE(open_camera(0));
  fld *f = mainw;
  ASSERT_TRUE(vzsim::set_device_value(dcam, "exposure", 63));
  vzsim::clear_calls();
  press(f->exposure_auto_button, false);
  EXPECT_EQ(63, f->exposure_val->value());
  EXPECT_TRUE(f->exposure_val->active());
  slide(f->gain_val, 42.9);
  press(f->balance_auto_button, false);
  slide(f->red_val, 70.5);
  press(f->imager_gamma_button, false);
  using V = std::vector<std::string>;
  EXPECT_EQ((V{"SetExposure(63,0)", "SetGain(42,0)",
               "SetWhiteBalance(50,50,0)", "SetWhiteBalance(70,50,0)",
               "SetGamma(0)"}),
            vzsim::calls());
}

TEST_F(Panel, VideoMenuRefreshesAndShows) {
  use_logging_camera();
  cam.exposure = 12;
  cam.gain = 34;
  video_params_cb(mainw->menubar, nullptr);  // no widget set: nothing
  EXPECT_FALSE(mainw->video_params->shown());
  const Fl_Menu_Item *item = mainw->menubar->find_item("Video...");
  ASSERT_NE(nullptr, item);
  mainw->menubar->picked(item);
  EXPECT_TRUE(mainw->video_params->shown());
  EXPECT_EQ(12, mainw->exposure_val->value());
  EXPECT_EQ(34, mainw->gain_val->value());
  EXPECT_TRUE(cam.sent.empty());  // showing sends nothing
}

// ------------------------------------------- set-up from the capabilities

struct Expect {
  bool on, active;
};

void expect_button(Fl_Light_Button *b, Expect e) {
  EXPECT_EQ(e.on, b->value() != 0) << b->label();
  EXPECT_EQ(e.active, b->active() != 0) << b->label();
}

class PanelSetUp : public CaptureTest {};

TEST_F(PanelSetUp, EveryCapability) {
  start();
  ASSERT_TRUE(open_camera(0));  // the stereo colour camera has them all
  fld *f = mainw;
  expect_button(f->balance_auto_button, {true, true});
  EXPECT_FALSE(f->red_val->active());
  EXPECT_FALSE(f->blue_val->active());
  expect_button(f->brightness_auto_button, {true, true});
  EXPECT_FALSE(f->brightness_val->active());
  expect_button(f->exposure_auto_button, {true, true});
  EXPECT_FALSE(f->exposure_val->active());
  expect_button(f->gain_auto_button, {false, true});  // gain starts manual
  EXPECT_TRUE(f->gain_val->active());
  EXPECT_TRUE(f->saturation_val->active());
  EXPECT_TRUE(f->sharpness_val->active());
  EXPECT_EQ(1.0, f->image->displayGamma);
  EXPECT_EQ(100, f->display_gamma_val->value());
  expect_button(f->imager_gamma_button, {dcam->gamma, true});
  EXPECT_EQ(dcam->exposure, f->exposure_val->value());
  EXPECT_EQ(dcam->gain, f->gain_val->value());
}

TEST_F(PanelSetUp, ManualOnlyBayer) {
  start(R"({"cameras":[{"name":"Manual","color":true,"bayer":true,
      "has_auto_whitebalance":false,"has_manual_whitebalance":false,
      "has_auto_brightness":false,"has_manual_brightness":true,
      "has_auto_exposure":false,"has_manual_exposure":true,
      "has_auto_gain":false,"has_manual_gain":true,
      "has_saturation":true,"has_sharpness":false,
      "has_gamma":true,"gamma":false}]})");
  ASSERT_TRUE(open_camera(0));
  fld *f = mainw;
  expect_button(f->balance_auto_button, {false, false});
  EXPECT_TRUE(f->red_val->active());  // a colour camera balances by hand
  EXPECT_TRUE(f->blue_val->active());
  expect_button(f->brightness_auto_button, {false, false});
  EXPECT_TRUE(f->brightness_val->active());
  expect_button(f->exposure_auto_button, {false, false});
  EXPECT_TRUE(f->exposure_val->active());
  expect_button(f->gain_auto_button, {false, false});
  EXPECT_TRUE(f->gain_val->active());
  EXPECT_TRUE(f->saturation_val->active());
  EXPECT_FALSE(f->sharpness_val->active());
  EXPECT_EQ(0.75, f->image->displayGamma);  // Bayer
  EXPECT_EQ(75, f->display_gamma_val->value());
  expect_button(f->imager_gamma_button, {false, true});
}

TEST_F(PanelSetUp, NoControlsAtAll) {
  start(R"({"cameras":[{"name":"Bare","color":false,
      "has_auto_whitebalance":false,"has_manual_whitebalance":false,
      "has_auto_brightness":false,"has_manual_brightness":false,
      "has_auto_exposure":false,"has_manual_exposure":false,
      "has_auto_gain":false,"has_manual_gain":false,
      "has_saturation":false,"has_sharpness":false,
      "has_gamma":false,"gamma":true}]})");
  ASSERT_TRUE(open_camera(0));
  fld *f = mainw;
  expect_button(f->balance_auto_button, {false, false});
  EXPECT_FALSE(f->red_val->active());
  EXPECT_FALSE(f->blue_val->active());
  expect_button(f->brightness_auto_button, {false, false});
  EXPECT_FALSE(f->brightness_val->active());
  expect_button(f->exposure_auto_button, {false, false});
  EXPECT_FALSE(f->exposure_val->active());
  expect_button(f->gain_auto_button, {false, false});
  EXPECT_FALSE(f->gain_val->active());
  EXPECT_FALSE(f->saturation_val->active());
  EXPECT_FALSE(f->sharpness_val->active());
  EXPECT_EQ(0.75, f->image->displayGamma);
  expect_button(f->imager_gamma_button, {false, false});
}

TEST_F(PanelSetUp, AutomaticGainOnly) {
  start(R"({"cameras":[{"name":"AutoGain","has_auto_gain":true,
      "has_manual_gain":false,"has_auto_exposure":true,
      "has_manual_exposure":false}]})");
  ASSERT_TRUE(open_camera(0));
  expect_button(mainw->gain_auto_button, {false, true});
  EXPECT_TRUE(mainw->gain_val->active());
  expect_button(mainw->exposure_auto_button, {true, true});
  EXPECT_FALSE(mainw->exposure_val->active());
}

// ------------------------------------------------------- display gamma

class DisplayGammaDrawn : public Panel {
 protected:
  unsigned char pixel_at(int x, int y) {
    mainw->image->make_current();
    unsigned char *p = fl_read_image(nullptr, x, y, 1, 1);
    unsigned char v = p[0];
    delete[] p;
    return v;
  }
};

TEST_F(DisplayGammaDrawn, FortyChangesTheDrawnPixels) {
  use_logging_camera();
  ASSERT_TRUE(run_until([] { return mainw->image->shown() && mainw->win->visible(); }, 5));
  // drawing into a covered window is lost unless the server keeps it
  keep_contents(mainw->win);
  settle(0.3);
  cam.size = S_320x240;
  cam.type = S_MONO;
  std::vector<unsigned char> frame(320 * 240, 64);
  mainw->image->DrawImage(frame.data(), &cam);
  EXPECT_EQ(64, pixel_at(10, 10));
  slide(mainw->display_gamma_val, 40);
  EXPECT_DOUBLE_EQ(0.40, mainw->image->displayGamma);
  mainw->image->DrawImage(frame.data(), &cam);
  int want = (int)(255.0 * pow(64 / 255.0, 0.40) + 0.5);
  EXPECT_EQ(want, pixel_at(10, 10));
  slide(mainw->display_gamma_val, 100);
  mainw->image->DrawImage(frame.data(), &cam);
  EXPECT_EQ(64, pixel_at(10, 10));
  slide(mainw->display_gamma_val, 0);
  mainw->image->DrawImage(frame.data(), &cam);
  EXPECT_EQ(64, pixel_at(10, 10));
}

}  // namespace
