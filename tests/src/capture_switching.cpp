// Changing camera or format: what the current image, the recorded frames,
// the divider and the frame counter become; Escape in the main window.
#include "capture_fixture.h"

#include <FL/Fl_Choice.H>
#include <FL/Fl_Counter.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>

namespace {

// Two colour cameras; the second never delivers a frame.
const char *TWO_CAMERAS = R"({"cameras": [
  {"name": "A", "color": true, "has_frame_div": true, "max_frame_div": 3},
  {"name": "B", "color": true, "frames_stop_after": 0}]})";

class Switching : public CaptureTest {
 protected:
  void size(const char *label) {
    int i = mainw->size_val->find_index(label);
    ASSERT_GE(i, 0) << label;
    pick(mainw->size_val, i);
  }
  void input(int i) { pick(mainw->input_val, i); }
  // Every way the program could read the current image finds none.
  void expect_no_current_image() {
    EXPECT_EQ(nullptr, this_image);
    EXPECT_EQ(nullptr, mainw->image->pixelData);
    DialogAnswerer none({});
    store_current_cb(mainw->menubar, nullptr);
    settle(0.05);
    EXPECT_TRUE(none.seen().empty()) << "a chooser for an image of another size";
    EXPECT_TRUE(files_in(dir.path()).count("bus.json"));
    EXPECT_EQ(1u, files_in(dir.path()).size());
  }
  // Records n live frames.
  void record(int n) {
    mainw->record->value(1);
    mainw->record->do_callback();
    for (int i = 0; i < n; i++) {
      ASSERT_TRUE(next_image(100));
      do_storage();
    }
    mainw->record->value(0);
    mainw->record->do_callback();
  }
};

// The fault seen under AddressSanitizer: "Store current" after opening
// another camera and starting a larger format that has not delivered.
TEST_F(Switching, NewCameraAndFormatLeaveNoImageOfTheOldSize) {
  start(TWO_CAMERAS);
  mainw->display_val->value(1);
  ASSERT_TRUE(open_camera(0));
  size("320x240");
  ASSERT_TRUE(start_capture());
  ASSERT_TRUE(next_image(100));
  ASSERT_NE(nullptr, this_image);
  stop_capture();
  input(0);  // None
  cam_num = 1;
  input(1);  // Video
  ASSERT_EQ(1, acquire_type);
  size("1280x960");
  ASSERT_TRUE(start_capture());
  EXPECT_EQ(1280, im_width);
  expect_no_current_image();
  EXPECT_FALSE(next_image(2));
  mainw->record->value(1);
  mainw->record->do_callback();
  do_storage();
  EXPECT_EQ(0, bufferNum) << "nothing recorded from another camera's frame";
}

TEST_F(Switching, SameCameraNewFormatLeavesNoImageOfTheOldSize) {
  start(TWO_CAMERAS);
  ASSERT_TRUE(open_camera(0));
  size("320x240");
  ASSERT_TRUE(start_capture());
  ASSERT_TRUE(next_image(100));
  stop_capture();
  size("640x480");
  ASSERT_TRUE(start_capture());
  expect_no_current_image();
  ASSERT_TRUE(next_image(100));  // the new format's own frame
  EXPECT_NE(nullptr, this_image);
}

// Recorded frames that were never stored go only when the operator agrees.
TEST_F(Switching, PlaybackInAnotherSizeAsksBeforeDroppingTheRecording) {
  start(TWO_CAMERAS);
  ASSERT_TRUE(open_camera(0));
  size("320x240");
  ASSERT_TRUE(start_capture());
  record(5);
  stop_capture();
  input(2);  // Buffer
  size("160x120");
  {
    DialogAnswerer no({"No"});
    ASSERT_TRUE(start_capture()) << "playback runs";
    EXPECT_TRUE(no.saw("The new format releases the 5 recorded frames, which "
                       "were never stored. Release them?"));
  }
  EXPECT_EQ(5, bufferNum);
  EXPECT_TRUE(next_image(3)) << "the recording plays";
  EXPECT_EQ(320, im_width);
  stop_capture();
  {
    DialogAnswerer yes({"Yes"});
    ASSERT_TRUE(start_capture());
    EXPECT_EQ(0u, yes.pending());
  }
  EXPECT_EQ(0, bufferNum) << "released, as agreed";
  EXPECT_EQ(160, im_width);
}

TEST_F(Switching, NoQuestionWhenTheRecordingWasStoredOrTheSizeStays) {
  start(TWO_CAMERAS);
  ASSERT_TRUE(open_camera(0));
  size("320x240");
  ASSERT_TRUE(start_capture());
  record(3);
  stop_capture();
  ASSERT_TRUE(mainw->clear->active());
  ASSERT_EQ(3, mainw->frame_val->maximum());
  {
    DialogAnswerer none({});
    ASSERT_TRUE(start_capture());  // same size: the frames stay
    settle(0.05);
    EXPECT_TRUE(none.seen().empty());
  }
  EXPECT_EQ(3, bufferNum);
  stop_capture();
  filedir = nullptr;
  {
    DialogAnswerer chooser({"file:" + dir.file("take")});
    store_buffer_cb(mainw->menubar, nullptr);
  }
  EXPECT_TRUE(files_in(dir.path()).count("take002.bmp"));
  size("640x480");
  {
    DialogAnswerer none({});
    ASSERT_TRUE(start_capture());
    settle(0.05);
    EXPECT_TRUE(none.seen().empty()) << "stored frames go without a question";
  }
  EXPECT_EQ(0, bufferNum);
  // the buffer controls follow at once, not at the next recording
  EXPECT_FALSE(mainw->clear->active());
  EXPECT_EQ(0, mainw->frame_val->value());
  EXPECT_EQ(0, mainw->frame_val->maximum());
  filedir = nullptr;
}

// Colour frames recorded on one camera, kept when another (monochrome)
// camera is opened and a start would release them: they play back in the
// size and type they were recorded in, not in the open camera's format.
TEST_F(Switching, KeptFramesPlayInTheirOwnFormatOnAnotherCamera) {
  start(R"({"cameras": [{"name": "A", "color": true}, {"name": "M"}]})");
  mainw->display_val->value(1);
  ASSERT_TRUE(open_camera(0));
  size("320x240");
  ASSERT_TRUE(start_capture());
  record(3);
  stop_capture();
  input(0);  // None
  cam_num = 1;
  input(1);  // Video: the monochrome camera
  ASSERT_EQ(S_MONO, cam_type);
  input(2);  // Buffer
  {
    DialogAnswerer no({"No"});
    ASSERT_TRUE(start_capture()) << "playback runs";
    EXPECT_EQ(0u, no.pending());
  }
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(next_image(3));
    EXPECT_EQ(bufferList[bufferCur], mainw->image->pixelData);
    EXPECT_EQ(S_RGB24, mainw->image->pixelType);
    EXPECT_EQ(320, mainw->image->width);
    EXPECT_EQ(240, mainw->image->height);
    EXPECT_EQ(320, mainw->image->linesize);
  }
  stop_capture();
}

// Opening the camera again changes neither the size nor the type of the
// last frame: it stays shown, and "Store current" still writes it.
TEST_F(Switching, VideoAgainKeepsTheLastFrame) {
  start(TWO_CAMERAS);
  mainw->display_val->value(1);
  ASSERT_TRUE(open_camera(0));
  size("320x240");
  ASSERT_TRUE(start_capture());
  ASSERT_TRUE(next_image(100));
  stop_capture();
  unsigned char *last = this_image;
  ASSERT_NE(nullptr, last);
  ASSERT_EQ(last, mainw->image->pixelData);
  input(1);  // Video again
  EXPECT_EQ(last, this_image);
  EXPECT_EQ(last, mainw->image->pixelData);
  filedir = nullptr;
  {
    DialogAnswerer chooser({"file:" + dir.file("kept")});
    store_current_cb(mainw->menubar, nullptr);
  }
  EXPECT_TRUE(files_in(dir.path()).count("kept.bmp"));
  filedir = nullptr;
}

// A divider chosen for one camera is not sent to one that has none.
TEST_F(Switching, DividerOfTheLastCameraIsNotKept) {
  start(TWO_CAMERAS);
  ASSERT_TRUE(open_camera(0));
  ASSERT_TRUE(mainw->fdiv_val->active());
  pick(mainw->fdiv_val, 1);
  ASSERT_EQ(2, cam_fdiv);
  input(0);
  cam_num = 1;
  input(1);
  EXPECT_FALSE(mainw->fdiv_val->active());
  EXPECT_STREQ("1", mainw->fdiv_val->text());
  EXPECT_EQ(1, cam_fdiv);
  EXPECT_TRUE(start_capture()) << status_text();
  stop_capture();
  EXPECT_FALSE(mainw->fdiv_val->active());
}

TEST_F(Switching, FrameCounterNeverGoesBelowZero) {
  start(TWO_CAMERAS);
  EXPECT_EQ(0, mainw->frame_val->minimum());
  ASSERT_TRUE(open_camera(0));
  ASSERT_TRUE(start_capture());
  record(2);
  stop_capture();
  input(2);
  EXPECT_EQ(0, mainw->frame_val->minimum());
  // the counter's own arrow, clicked at 0
  mainw->frame_val->value(0);
  Fl_Counter *c = mainw->frame_val;
  for (int i = 0; i < 3; i++) {
    c->value(c->clamp(c->increment(c->value(), -1)));
    c->do_callback();
  }
  EXPECT_EQ(0, c->value());
  c->value(-1);  // set from outside all the same
  c->do_callback();
  EXPECT_EQ(0, c->value());
  EXPECT_GE(bufferCur, 0);
  EXPECT_LT(bufferCur, bufferNum);
}

// Escape must not close the main window: that ended the program and lost
// the recording, or hid the window for good. The window manager's close
// still hides it.
TEST_F(Switching, EscapeDoesNotCloseTheMainWindow) {
  start(TWO_CAMERAS);
  ASSERT_TRUE(mainw->win->shown());
  Fl::e_keysym = FL_Escape;
  Fl::e_text = (char *)"\033";
  Fl::e_length = 1;
  Fl::handle(FL_KEYBOARD, mainw->win);
  EXPECT_TRUE(mainw->win->shown());
  mainw->video_params->show();
  Fl::handle(FL_KEYBOARD, mainw->win);
  EXPECT_TRUE(mainw->win->shown());
  Fl::e_keysym = 0;
  Fl::e_number = FL_CLOSE;  // as the window manager's close arrives
  mainw->win->do_callback();
  EXPECT_FALSE(mainw->win->shown());
}

}  // namespace
