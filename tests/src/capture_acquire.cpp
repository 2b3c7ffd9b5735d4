// Input sources, starting and stopping live video, and the format choices.
#include "capture_fixture.h"

#include <FL/Fl_Choice.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>

namespace {

const unsigned long ISO_EN = 0xF0F00614;

bool streaming() {
  unsigned long v = 0;
  EXPECT_TRUE(dcam->ReadQuadlet(ISO_EN, &v));
  return (v & 0x80000000u) != 0;
}

bool format_choices_active() {
  return mainw->size_val->active() && mainw->format_val->active() &&
         mainw->speed_val->active();
}

bool format_choices_inactive() {
  return !mainw->size_val->active() && !mainw->format_val->active() &&
         !mainw->speed_val->active() && !mainw->fdiv_val->active();
}

class Acquire : public CaptureTest {};

TEST_F(Acquire, CameraThatCannotBeOpened) {
  start(R"({"cameras":[{"name":"Broken","fail_open":true}]})");
  EXPECT_FALSE(open_camera(0));
  EXPECT_EQ("Can't initialize camera", status_text());
  EXPECT_FALSE(debug_has_line("Can't initialize camera"));  // status only
  EXPECT_EQ(0, mainw->input_val->value());
  EXPECT_EQ(nullptr, dcam);
  EXPECT_EQ(0, acquire_type);
  EXPECT_FALSE(mainw->contin_val->active());
  EXPECT_TRUE(fld::camera_val->active());
  EXPECT_FALSE(fld::firmware_params_val->active());
}

TEST_F(Acquire, FailedOpeningAfterAGoodOneKeepsTheWidgets) {
  start(R"({"cameras":[{"name":"Good"},{"name":"Broken","fail_open":true}]})");
  ASSERT_TRUE(open_camera(0));
  EXPECT_FALSE(open_camera(1));
  EXPECT_EQ(nullptr, dcam);
  EXPECT_EQ(0, acquire_type);
  EXPECT_TRUE(mainw->contin_val->active());  // unchanged
  EXPECT_FALSE(start_capture());
  EXPECT_EQ("No camera", status_text());
}

TEST_F(Acquire, ContinuousWithoutCamera) {
  start();
  pick(mainw->input_val, 2);  // "Buffer" makes the button usable
  ASSERT_TRUE(mainw->contin_val->active());
  EXPECT_FALSE(start_capture());
  EXPECT_EQ("No camera", status_text());
  EXPECT_TRUE(debug_has_line("No camera"));
  EXPECT_FALSE(single_shot);
}

TEST_F(Acquire, OpeningAColourCamera) {
  start();
  ASSERT_TRUE(open_camera(0));
  EXPECT_EQ("Camera initialized", status_text());
  EXPECT_FALSE(debug_has_line("Camera initialized"));
  EXPECT_EQ(1, acquire_type);
  EXPECT_FALSE(single_shot);
  EXPECT_EQ(0, mainw->format_val->value());
  EXPECT_EQ(S_RGB24, cam_type);
  EXPECT_TRUE(mainw->contin_val->active());
  EXPECT_FALSE(mainw->contin_val->value());
  EXPECT_TRUE(mainw->clear->active());
  EXPECT_TRUE(mainw->record->active());
  EXPECT_TRUE(mainw->frame_val->active());
  EXPECT_TRUE(mainw->fdiv_val->active());  // it has a frame divider
  EXPECT_FALSE(fld::camera_val->active());
  EXPECT_TRUE(fld::firmware_params_val->active());
}

TEST_F(Acquire, OpeningAMonoCameraWithoutDivider) {
  start();
  ASSERT_TRUE(open_camera(1));
  EXPECT_EQ(1, mainw->format_val->value());
  EXPECT_STREQ("Mono", mainw->format_val->text());
  EXPECT_EQ(S_MONO, cam_type);
  EXPECT_FALSE(mainw->fdiv_val->active());
}

TEST_F(Acquire, StartFetchStop) {
  start();
  ASSERT_TRUE(open_camera(0));
  ASSERT_TRUE(start_capture());
  EXPECT_TRUE(debug_lines_in_order({"[Acquire] Video Format: 0 1 2",
                                    "Continuous capture"}));
  EXPECT_EQ("Continuous capture", status_text());
  EXPECT_TRUE(format_choices_inactive());
  EXPECT_TRUE(single_shot);
  EXPECT_TRUE(streaming());
  EXPECT_EQ(640, im_width);
  EXPECT_EQ(480, im_height);
  EXPECT_EQ(1, im_color);
  EXPECT_EQ(640 * 480 * 3, im_size);
  ASSERT_TRUE(next_image());
  EXPECT_NE(nullptr, this_image);
  EXPECT_EQ(this_image, mainw->image->pixelData);
  EXPECT_TRUE(single_shot);  // the button keeps the request alive
  stop_capture();
  EXPECT_TRUE(debug_has_line("Stop capture"));
  EXPECT_TRUE(format_choices_active());
  EXPECT_TRUE(mainw->fdiv_val->active());
  EXPECT_FALSE(single_shot);
  EXPECT_FALSE(streaming());
  EXPECT_FALSE(get_next_image());
}

TEST_F(Acquire, RefusedFormatShowsTheCamerasText) {
  start(R"({"cameras":[{"name":"Picky","color":true,
                        "refuse_format":"mode 7 not supported"}]})");
  ASSERT_TRUE(open_camera(0));
  EXPECT_FALSE(start_capture());
  EXPECT_TRUE(debug_lines_in_order({"[Acquire] Video Format: 0 1 2",
                                    "Video format: mode 7 not supported"}));
  EXPECT_EQ("Video format: mode 7 not supported", status_text());
  EXPECT_TRUE(format_choices_active());  // a new format can be chosen at once
  EXPECT_FALSE(single_shot);
}

TEST_F(Acquire, FormatTheBusCannotCarry) {
  start();
  ASSERT_TRUE(open_camera(0));
  pick(mainw->size_val, 3);   // 1280x960
  pick(mainw->speed_val, 4);  // 60
  EXPECT_FALSE(start_capture());
  ASSERT_NE(nullptr, dcam->error);
  ASSERT_STRNE("", dcam->error);
  EXPECT_TRUE(debug_lines_in_order({"[Acquire] Video Format: 5 1 1",
                                    std::string("Video format: ") + dcam->error}));
  EXPECT_FALSE(mainw->contin_val->value());
}

TEST_F(Acquire, CameraThatDoesNotStart) {
  start(R"({"cameras":[{"name":"Lazy","fail_start":true}]})");
  ASSERT_TRUE(open_camera(0));
  EXPECT_FALSE(start_capture());
  EXPECT_TRUE(debug_lines_in_order({"[Acquire] Video Format: 0 0 2",
                                    "Can't get images"}));
  EXPECT_FALSE(single_shot);
  EXPECT_TRUE(format_choices_active());
}

TEST_F(Acquire, VideoAgainWhileCapturingStopsFetching) {
  start();
  ASSERT_TRUE(open_camera(0));
  ASSERT_TRUE(start_capture());
  ASSERT_TRUE(next_image());
  ASSERT_TRUE(open_camera(0));
  EXPECT_FALSE(single_shot);
  EXPECT_TRUE(mainw->contin_val->value());  // still shows on
  EXPECT_FALSE(get_next_image());
  EXPECT_FALSE(mainw->size_val->active());  // until the button goes off
  EXPECT_TRUE(mainw->format_val->active());
  stop_capture();
  ASSERT_TRUE(start_capture());
  EXPECT_TRUE(next_image());
}

TEST_F(Acquire, BufferWhileCapturingStopsTheCameraAndPlays) {
  start();
  pick(mainw->size_val, 0);  // 160x120 keeps the copies small
  ASSERT_TRUE(open_camera(0));
  ASSERT_TRUE(start_capture());
  mainw->record->value(1);
  mainw->record->do_callback();
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(next_image());
    do_storage();
  }
  ASSERT_EQ(3, bufferNum);
  ASSERT_EQ(2, bufferCur);
  pick(mainw->input_val, 2);
  EXPECT_EQ(2, acquire_type);
  EXPECT_FALSE(streaming());
  EXPECT_TRUE(mainw->contin_val->active());
  EXPECT_FALSE(mainw->record->active());
  EXPECT_FALSE(mainw->clear->active());
  EXPECT_TRUE(mainw->frame_val->active());
  EXPECT_TRUE(fld::camera_val->active());
  EXPECT_FALSE(fld::firmware_params_val->active());
  // plays at once, cycling from the frame after the current one
  for (int want : {0, 1, 2, 0}) {
    ASSERT_TRUE(get_next_image());
    EXPECT_EQ(want, bufferCur);
    EXPECT_EQ(bufferList[want], this_image);
    EXPECT_EQ(bufferList[want], mainw->image->pixelData);
  }
}

TEST_F(Acquire, BufferWithNothingRecordedClearsTheRequest) {
  start();
  ASSERT_TRUE(open_camera(0));
  ASSERT_TRUE(start_capture());
  pick(mainw->input_val, 2);
  EXPECT_TRUE(single_shot);
  EXPECT_FALSE(get_next_image());
  EXPECT_FALSE(single_shot);
}

TEST_F(Acquire, DisplayOffStillFetchesAndRecords) {
  start();
  pick(mainw->size_val, 0);
  ASSERT_TRUE(open_camera(0));
  mainw->display_val->value(0);
  ASSERT_TRUE(start_capture());
  mainw->record->value(1);
  mainw->record->do_callback();
  for (int i = 0; i < 2; i++) {
    ASSERT_TRUE(next_image());
    do_storage();
  }
  EXPECT_EQ(nullptr, mainw->image->pixelData);  // nothing drawn
  EXPECT_EQ(2, bufferNum);
}

TEST_F(Acquire, NoneStopsTheCamera) {
  start();
  ASSERT_TRUE(open_camera(0));
  ASSERT_TRUE(start_capture());
  pick(mainw->input_val, 0);
  EXPECT_EQ(0, acquire_type);
  EXPECT_FALSE(single_shot);
  EXPECT_FALSE(streaming());
  EXPECT_FALSE(mainw->contin_val->value());
  EXPECT_FALSE(mainw->contin_val->active());
  EXPECT_FALSE(mainw->record->active());
  EXPECT_FALSE(mainw->clear->active());
  EXPECT_FALSE(mainw->frame_val->active());
  EXPECT_TRUE(fld::camera_val->active());
  EXPECT_FALSE(fld::firmware_params_val->active());
  EXPECT_FALSE(mainw->size_val->active());  // the choices keep their state
  EXPECT_NE(nullptr, dcam);                  // the panel still acts on it
}

// ------------------------------------------------------------ formats

class Formats : public CaptureTest {};

TEST_F(Formats, EachEntrysValue) {
  start();
  const dISIZE sizes[] = {S_160x120, S_320x240, S_640x480, S_1280x960};
  for (int i = 0; i < 4; i++) {
    pick(mainw->size_val, i);
    EXPECT_EQ(sizes[i], cam_size) << i;
  }
  const dISPEED speeds[] = {S_3, S_7, S_15, S_30, S_60};
  for (int i = 0; i < 5; i++) {
    pick(mainw->speed_val, i);
    EXPECT_EQ(speeds[i], cam_speed) << i;
  }
  for (int i = 0; i < 3; i++) {
    pick(mainw->fdiv_val, i);
    EXPECT_EQ(i + 1, cam_fdiv);
  }
  pick(mainw->format_val, 1);
  EXPECT_EQ(S_MONO, cam_type);
  EXPECT_EQ("Camera type is Monochrome", status_text());
  pick(mainw->format_val, 2);
  EXPECT_EQ(S_BAYER, cam_type);
  EXPECT_TRUE(debug_has_line("Camera type is Bayer"));
  pick(mainw->format_val, 0);  // no camera: accepted
  EXPECT_EQ(S_RGB24, cam_type);
  EXPECT_TRUE(debug_has_line("Camera type is RGB24"));
}

TEST_F(Formats, RGB24OnAMonoCameraIsRefusedSilently) {
  start();
  ASSERT_TRUE(open_camera(1));
  pick(mainw->format_val, 2);
  EXPECT_EQ(S_BAYER, cam_type);  // not checked against the camera
  pick(mainw->format_val, 0);
  EXPECT_EQ(1, mainw->format_val->value());
  EXPECT_EQ(S_MONO, cam_type);
  EXPECT_EQ("Camera type is Bayer", status_text());
  EXPECT_FALSE(debug_has_line("Camera type is RGB24"));
}

TEST_F(Formats, ANewSizeIsUsedAtTheNextStart) {
  start();
  ASSERT_TRUE(open_camera(0));
  pick(mainw->size_val, 0);
  EXPECT_EQ(0, im_width);  // nothing happens before the start
  ASSERT_TRUE(start_capture());
  ASSERT_TRUE(next_image());
  EXPECT_EQ(S_160x120, dcam->Size());
  EXPECT_EQ(160, mainw->image->width);  // drawn at full size
  EXPECT_EQ(120, mainw->image->height);
  EXPECT_EQ(160 * 120 * 3, im_size);
  stop_capture();
  pick(mainw->size_val, 1);
  pick(mainw->format_val, 1);
  ASSERT_TRUE(start_capture());
  ASSERT_TRUE(next_image());
  EXPECT_EQ(S_MONO, dcam->Type());
  EXPECT_EQ(320, mainw->image->width);
  EXPECT_EQ(320 * 240, im_size);
  EXPECT_EQ(0, im_color);
}

TEST(SetSize, GeometryForEverySizeAndType) {
  reset_capture();
  struct G {
    dISIZE s;
    int w, h;
  } sizes[] = {{S_160x120, 160, 120}, {S_320x240, 320, 240},
               {S_640x480, 640, 480}, {S_1280x960, 1280, 960}};
  struct T {
    dITYPE t;
    int color;
  } types[] = {{S_MONO, 0}, {S_RGB24, 1}, {S_BAYER, 0}};
  for (const G &g : sizes)
    for (const T &t : types) {
      cam_size = g.s;
      cam_type = t.t;
      set_size();
      EXPECT_EQ(g.w, im_width);
      EXPECT_EQ(g.h, im_height);
      EXPECT_EQ(t.color, im_color);
      EXPECT_EQ(g.w * g.h * (t.color ? 3 : 1), im_size);
    }
}

TEST(SetSize, ANewFrameSizeEmptiesTheList) {
  reset_capture();
  cam_size = S_160x120;
  cam_type = S_BAYER;
  set_size();
  for (int i = 0; i < 3; i++) bufferList[i] = new unsigned char[im_size];
  unsigned char *kept = bufferList[0];
  bufferNum = 3;
  bufferCur = 2;
  cam_type = S_MONO;  // same bytes per frame: the frames stay
  set_size();
  EXPECT_EQ(kept, bufferList[0]);
  EXPECT_EQ(3, bufferNum);
  cam_type = S_RGB24;
  set_size();
  for (int i = 0; i < BUFFER_SLOTS; i++) ASSERT_EQ(nullptr, bufferList[i]) << i;
  EXPECT_EQ(0, bufferNum);
  EXPECT_EQ(0, bufferCur);
}

}  // namespace
