// capture's main window, start-up, camera menu, messages and rate display.
#include "capture_fixture.h"

#include <FL/Fl_Box.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Slider.H>
#include <FL/Fl_Value_Slider.H>
#include <FL/fl_draw.H>
#include <limits.h>
#include <string.h>

#include "fl_value.h"

namespace {

std::string choice_text(Fl_Choice *c) { return c->text() ? c->text() : ""; }

// The unlabelled frame box of a group, found by its label text.
Fl_Widget *child_labelled(Fl_Group *g, const char *label) {
  for (int i = 0; i < g->children(); i++) {
    Fl_Widget *w = g->child(i);
    if (w->label() && !strcmp(w->label(), label)) return w;
    if (Fl_Group *sub = w->as_group())
      if (Fl_Widget *found = child_labelled(sub, label)) return found;
  }
  return nullptr;
}

TEST(CaptureLayout, FreshWidgetSet) {
  fld *f = new fld();  // never deleted: that would end the process
  keep(f);
  EXPECT_STREQ("Orvane Design DCAM Capture (2.0)", f->win->label());
  EXPECT_EQ(327, f->win->w());
  EXPECT_EQ(377, f->win->h());
  EXPECT_FALSE(f->win->shown());
  EXPECT_FALSE(f->video_params->shown());
  EXPECT_TRUE(f->display_val->value());
  EXPECT_FALSE(f->contin_val->active());
  EXPECT_FALSE(f->frame_val->active());
  EXPECT_FALSE(f->clear->active());
  EXPECT_FALSE(f->record->active());
  EXPECT_FALSE(fld::firmware_params_val->active());
  EXPECT_STREQ("Firmware...", fld::firmware_params_val->label());
  EXPECT_STREQ("Camera", fld::camera_val->label());
  EXPECT_TRUE(fld::camera_val->submenu());
  EXPECT_EQ(nullptr, fld::camera_val[1].label());  // empty submenu
  EXPECT_STREQ("FDIV::", f->fdiv_val->label());
  EXPECT_STREQ("FPS:", f->speed_val->label());
  EXPECT_EQ(0, f->input_val->value());
  EXPECT_EQ(0, f->size_val->value());
  // labels that must not be drawn
  EXPECT_EQ(FL_NO_LABEL, f->infoLine->labeltype());
  Fl_Widget *input_box = child_labelled(f->win, "input");
  ASSERT_NE(nullptr, input_box);
  EXPECT_EQ(FL_NO_LABEL, input_box->labeltype());
  Fl_Widget *gamma_box = child_labelled(f->win, "Gamma");
  ASSERT_NE(nullptr, gamma_box);
  EXPECT_NE(f->display_gamma_val, gamma_box);  // the frame comes first
  EXPECT_EQ(FL_NO_LABEL, gamma_box->labeltype());
  EXPECT_EQ(FL_NORMAL_LABEL, f->display_gamma_val->labeltype());
  EXPECT_EQ(FL_ALIGN_LEFT, (int)f->display_gamma_val->align());
  // the items that act on the widget set carry it
  EXPECT_EQ(f, f->menubar->find_item("Video...")->user_data());
  EXPECT_EQ(f, f->menubar->find_item("Debug...")->user_data());
  EXPECT_EQ(f, f->menubar->find_item("Firmware...")->user_data());
  f->win->hide();
}

TEST(CaptureLayout, MenuTables) {
  auto labels = [](const Fl_Menu_Item *m) {
    std::vector<std::string> v;
    for (; m->label(); m++) v.push_back(m->label());
    return v;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ((V{"None", "Video", "Buffer"}), labels(fld::menu_input_val));
  EXPECT_EQ((V{"160x120", "320x240", "640x480", "1280x960"}),
            labels(fld::menu_size_val));
  EXPECT_EQ((V{"RGB24", "Mono", "Bayer"}), labels(fld::menu_format_val));
  EXPECT_EQ((V{"3.75", "7.5", "15", "30", "60"}), labels(fld::menu_speed_val));
  EXPECT_EQ((V{"1", "2", "3"}), labels(fld::menu_fdiv_val));
  EXPECT_EQ((V{"File", "Store buffer", "Store current", "Exit"}),
            labels(fld::menu_menubar));
  EXPECT_TRUE(fld::menu_menubar[2].flags & FL_MENU_DIVIDER);
}

TEST(CaptureLayout, VideoParameterSliders) {
  fld *f = new fld();
  keep(f);
  struct S {
    Fl_Value_Slider *s;
    double start;
  } sliders[] = {{f->exposure_val, 100}, {f->gain_val, 0},
                 {f->brightness_val, 50}, {f->saturation_val, 50},
                 {f->sharpness_val, 50},  {f->red_val, 50},
                 {f->blue_val, 50}};
  for (const S &s : sliders) {
    SCOPED_TRACE(s.s->label());
    EXPECT_EQ(100, s.s->minimum());  // 100 at the top
    EXPECT_EQ(0, s.s->maximum());
    EXPECT_EQ(1, s.s->step());
    EXPECT_EQ(s.start, s.s->value());
    EXPECT_EQ(FL_VERT_FILL_SLIDER, s.s->type());
  }
  EXPECT_STREQ("Video Parameters", f->video_params->label());
  // the display gamma in hundredths
  EXPECT_EQ(0, f->display_gamma_val->minimum());
  EXPECT_EQ(100, f->display_gamma_val->maximum());
  EXPECT_EQ(1, f->display_gamma_val->step());
  EXPECT_EQ(0, f->display_gamma_val->value());
}

class StartUp : public CaptureTest {};

TEST_F(StartUp, WindowAndDefaults) {
  start();
  fld *f = mainw;
  EXPECT_TRUE(f->win->shown());
  EXPECT_FALSE(debugWin->shown());
  EXPECT_STREQ("DCAM Debug Window", debugWin->label());
  EXPECT_EQ(500, debugWin->w());
  EXPECT_EQ(400, debugWin->h());
  EXPECT_EQ("640x480", choice_text(f->size_val));
  EXPECT_EQ("RGB24", choice_text(f->format_val));
  EXPECT_EQ("15", choice_text(f->speed_val));
  EXPECT_EQ("1", choice_text(f->fdiv_val));
  EXPECT_STREQ("0.0", f->rate_val->buf);
  EXPECT_STREQ("%3.1f", f->rate_val->str);
  // video parameters before any camera
  EXPECT_TRUE(f->exposure_auto_button->value());
  EXPECT_FALSE(f->exposure_val->active());
  EXPECT_FALSE(f->gain_val->active());
  EXPECT_FALSE(f->gain_auto_button->value());
  EXPECT_TRUE(f->brightness_auto_button->value());
  EXPECT_FALSE(f->brightness_val->active());
  EXPECT_TRUE(f->balance_auto_button->value());
  EXPECT_FALSE(f->red_val->active());
  EXPECT_FALSE(f->blue_val->active());
  EXPECT_TRUE(f->imager_gamma_button->value());
  EXPECT_TRUE(f->saturation_val->active());
  EXPECT_EQ(0.0, f->image->displayGamma);
  EXPECT_EQ(nullptr, dcam);
}

// The library's version text before any bus was opened in this process.
const std::string version_at_load = dcamVersion;

TEST_F(StartUp, DebugWindowRecordsTheStart) {
  strcpy(dcamVersion, version_at_load.c_str());  // as in a fresh program
  start();
  std::string version = "DCAM version " + version_at_load;
  EXPECT_EQ(0u, debug_text().find("DCAM Debugging Window\n\n" + version + "\n"));
  // printed before the bus opens, the version names none; the library then
  // names the bus it took (as its version now does), with the reason
  EXPECT_EQ(std::string::npos, version.find("bus")) << version;
  std::string now = dcamVersion;
  size_t open = now.find('(');
  ASSERT_NE(std::string::npos, open) << now;
  std::string bus = now.substr(open + 1, now.size() - open - 2);
  EXPECT_TRUE(debug_lines_in_order({"DCAM Debugging Window", "", version,
                                    "virizeda: " + bus,
                                    "3 cameras available"}))
      << debug_text();
  EXPECT_EQ("3 cameras available", status_text());
  EXPECT_EQ((void *)debugFn, (void *)dcamDebug);
}

TEST_F(StartUp, CameraMenuListsTheBus) {
  start();
  auto items = camera_items();
  ASSERT_EQ(3u, items.size());
  EXPECT_STREQ("0 Sim Stereo Color", items[0]->label());
  EXPECT_STREQ("1 Sim Mono", items[1]->label());
  EXPECT_STREQ("2 Sim Bayer", items[2]->label());
  EXPECT_TRUE(items[0]->value());
  EXPECT_FALSE(items[1]->value());
  EXPECT_TRUE(items[1]->radio());
  // the pointers follow the menu bar's own copy of the table
  EXPECT_EQ(mainw->menubar->find_item("Camera"), fld::camera_val);
  EXPECT_EQ(mainw->menubar->find_item("Firmware..."),
            fld::firmware_params_val);
  EXPECT_EQ(0, cam_num);
}

TEST_F(StartUp, PickingACameraOnlyRemembersIt) {
  start();
  auto items = camera_items();
  ASSERT_EQ(3u, items.size());
  mainw->menubar->picked(items[1]);
  EXPECT_EQ(1, cam_num);
  EXPECT_TRUE(items[1]->value());
  EXPECT_FALSE(items[0]->value());
  EXPECT_EQ(nullptr, dcam);
  EXPECT_EQ(0, acquire_type);
  EXPECT_FALSE(mainw->video_params->shown());
  mainw->menubar->picked(items[2]);
  EXPECT_EQ(2, cam_num);
}

TEST_F(StartUp, DebugMenuShowsTheDebugWindow) {
  start();
  const Fl_Menu_Item *item = mainw->menubar->find_item("Debug...");
  ASSERT_NE(nullptr, item);
  mainw->menubar->picked(item);
  EXPECT_TRUE(debugWin->shown());
  debugWin->hide();
  mainw->menubar->picked(item);  // again after closing
  EXPECT_TRUE(debugWin->shown());
}

TEST_F(StartUp, TwoDigitCameraNumbers) {
  std::string cams;
  for (int i = 0; i < 13; i++) cams += std::string(i ? "," : "") + "{}";
  start("{\"cameras\":[" + cams + "]}");
  auto items = camera_items();
  ASSERT_EQ(13u, items.size());
  EXPECT_STREQ("12 Camera 12", items[12]->label());
  mainw->menubar->picked(items[12]);
  EXPECT_EQ(12, cam_num);
}

TEST_F(StartUp, NoCamera) {
  start("{\"cameras\":[]}");
  EXPECT_TRUE(camera_items().empty());
  EXPECT_EQ("0 cameras available", status_text());
  EXPECT_TRUE(debug_has_line("0 cameras available"));
  EXPECT_EQ(0, cam_num);
  EXPECT_TRUE(mainw->win->shown());
}

}  // namespace
extern char fl_draw_shortcut;  // the toolkit's: set while menus draw labels
namespace {

// What the toolkit draws for a menu label, measured as a menu measures it.
int drawn_width(const char *label) {
  int w = 0, h = 0;
  fl_font(FL_HELVETICA, 11);
  char saved = fl_draw_shortcut;
  fl_draw_shortcut = 1;
  fl_measure(label, w, h, 1);
  fl_draw_shortcut = saved;
  return w;
}

int plain_width(const std::string &text) {
  fl_font(FL_HELVETICA, 11);
  return (int)(fl_width(text.c_str()) + 0.5);
}

TEST_F(StartUp, CameraNamesShowAsTheLibraryGivesThem) {
  std::vector<std::string> names = {"Left/Right", "R&D", "_under", "100%",
                                    "a\\b", "cam@home", "x_@y"};
  std::string cams;
  for (size_t i = 0; i < names.size(); i++)
    cams += std::string(i ? "," : "") + "{\"name\":\"" +
            (names[i] == "a\\b" ? std::string("a\\\\b") : names[i]) + "\"}";
  start("{\"cameras\":[" + cams + "]}");
  auto items = camera_items();
  ASSERT_EQ(names.size(), items.size());
  for (size_t i = 0; i < names.size(); i++) {
    SCOPED_TRACE(names[i]);
    std::string shown = std::to_string(i) + " " + names[i];
    EXPECT_FALSE(items[i]->submenu());
    EXPECT_FALSE(items[i]->flags & FL_MENU_DIVIDER);
    EXPECT_EQ(plain_width(shown), drawn_width(items[i]->label()));
    mainw->menubar->picked(items[i]);
    EXPECT_EQ((int)i, cam_num);
  }
}

TEST_F(StartUp, LongCameraNamesAreCutCleanly) {
  std::string mid(150, 'm');
  std::string lng;
  for (int i = 0; i < 127; i++) lng += "\xc3\xa9";  // é, two bytes each
  start("{\"cameras\":[{\"name\":\"" + mid + "\"},{\"name\":\"" + lng + "\"}]}");
  auto items = camera_items();
  ASSERT_EQ(2u, items.size());
  EXPECT_EQ("0 " + mid, std::string(items[0]->label()));
  std::string cut = items[1]->label();
  EXPECT_LT(cut.size(), 250u);
  EXPECT_GT(cut.size(), 200u);
  EXPECT_EQ(0u, ("1 " + lng).find(cut));  // a prefix
  EXPECT_EQ(0u, (cut.size() - 2) % 2);    // whole characters only
  mainw->menubar->picked(items[1]);
  EXPECT_EQ(1, cam_num);
}

TEST_F(StartUp, MessagesKeepPercentSignsAndLongTexts) {
  start();
  debugFn((char *)"50% done %s %d");
  EXPECT_TRUE(debug_has_line("50% done %s %d"));
  debugFn(nullptr);  // ignored
  std::string big(3000, 'x');
  debugMessage("%s!", big.c_str());
  EXPECT_EQ(big + "!", status_text());
  EXPECT_TRUE(debug_has_line(big + "!"));
  status_message("status only");
  EXPECT_EQ("status only", status_text());
  EXPECT_FALSE(debug_has_line("status only"));
}

TEST(CaptureMessages, IgnoredBeforeTheWindowsExist) {
  reset_capture();
  status_message("early");
  debugFn((char *)"early");
  debugMessage("early %d", 1);
  SUCCEED();
}

TEST(CaptureRate, TenFramesInTwoSecondsShowFive) {
  reset_capture();
  fld *f = new fld();
  keep(f);
  mainw = f;
  f->rate_val->val("%3.1f");
  f->rate_val->val(0.0);
  rate_t0 = 1000;
  for (int i = 0; i < 9; i++) tally_frame(1000 + 200 * i);
  EXPECT_STREQ("0.0", f->rate_val->buf);
  tally_frame(3000);
  EXPECT_STREQ("5.0", f->rate_val->buf);
  EXPECT_EQ(0, rate_frames);
  // across the wrap of the millisecond clock
  rate_t0 = INT_MAX - 999;
  for (int i = 0; i < 9; i++) tally_frame(INT_MAX);
  tally_frame(INT_MIN + 1000);
  EXPECT_STREQ("5.0", f->rate_val->buf);
  // ten frames within one millisecond: a number, not "inf"
  rate_t0 = 5000;
  for (int i = 0; i < 10; i++) tally_frame(5000);
  EXPECT_STREQ("10000.0", f->rate_val->buf);
  show_rate(29.97);
  EXPECT_STREQ("30.0", f->rate_val->buf);
  mainw = nullptr;
}

TEST(CaptureRate, ValueWidgetFormats) {
  Fl_Value v(0, 0, 40, 15, "x");
  v.val("%04x");
  v.val(26);
  EXPECT_STREQ("001a", v.buf);
  v.val("yes");
  v.val(7);
  EXPECT_STREQ("yes", v.buf);
  v.val(-1);
  EXPECT_STREQ("yes", v.buf);
}

}  // namespace
