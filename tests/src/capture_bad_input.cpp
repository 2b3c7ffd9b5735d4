// Bad input reaching capture: camera names the menu syntax would misread
// or that do not fit a menu label, and store commands given directories
// and names the system cannot take. Each gets a clear message (or is
// shown cut cleanly) and leaves everything else as it was.
#include "capture_fixture.h"

#include <FL/Fl_Choice.H>
#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "image_io.h"

namespace {

// The text a menu draws for a stored label: "&&" and "@@" are one
// character each. A lone '&' or '@' would be read as markup, so it makes
// the text empty, which no test expects.
std::string drawn_text(const char *label) {
  std::string out;
  for (const char *p = label; *p; p++) {
    if (*p == '&' || *p == '@') {
      if (p[1] != *p) return "";
      p++;
    }
    out += *p;
  }
  return out;
}

std::string repeat_to(const std::string &unit, size_t n) {
  std::string s;
  while (s.size() < n) s += unit;
  s.resize(n);
  return s;
}

class CameraNames : public CaptureTest {};

TEST_F(CameraNames, MarkupCharactersAndLongNamesShowAndSelectTheirCamera) {
  std::vector<std::string> names = {
      repeat_to("L/R&D_100%", 300), std::string(300, '/'),
      std::string(300, '&'),        std::string(300, '%'),
      std::string(300, '_'),        std::string(300, 'x'),
      repeat_to("a/b&c_d%e@", 1023), "short"};
  std::string cams;
  for (size_t i = 0; i < names.size(); i++)
    cams += std::string(i ? "," : "") + "{\"name\":\"" + names[i] +
            "\",\"dev_id\":" + std::to_string(0x1000 + i) + "}";
  start("{\"cameras\":[" + cams + "]}");
  ASSERT_EQ(names.size(), (size_t)dSys->NumCameras());
  EXPECT_EQ(names[6], dSys->Names()[6]);  // the library gives it whole

  auto items = camera_items();
  ASSERT_EQ(names.size(), items.size());  // no name opened a submenu
  for (size_t i = 0; i < names.size(); i++) {
    SCOPED_TRACE("camera " + std::to_string(i));
    std::string want = std::to_string(i) + " " + names[i];
    std::string shown = drawn_text(items[i]->label());
    EXPECT_FALSE(items[i]->submenu());
    EXPECT_EQ(0u, want.find(shown)) << shown;  // as given, or its start
    if (want.size() <= 100) {
      EXPECT_EQ(want, shown);
    } else {
      EXPECT_GE(shown.size(), 100u);  // cut, but still telling
    }
    // picking it chooses it, and Video opens that very camera
    mainw->menubar->picked(items[i]);
    EXPECT_EQ((int)i, cam_num);
    pick(mainw->input_val, 1);
    ASSERT_NE(nullptr, dcam);
    EXPECT_EQ(0x1000 + (int)i, dcam->devID);
    pick(mainw->input_val, 0);
  }
}

// ------------------------------------------------------------- storing

// A live grey camera fed by the test, with three recorded frames.
class BadStore : public CaptureTest {
 protected:
  LoggingCamera cam;
  std::vector<unsigned char> frame;

  void SetUp() override {
    start();
    filedir = nullptr;
    cam.size = cam_size = S_160x120;
    cam.type = cam_type = S_MONO;
    set_size();
    dcam = &cam;
    acquire_type = 1;
    frame.assign(im_size, 9);
    this_image = frame.data();
    mainw->record->value(1);
    mainw->record->do_callback();
    for (int k = 0; k < 3; k++) {
      frame.assign(im_size, (unsigned char)(k + 1));
      do_storage();
    }
    mainw->record->value(0);
    mainw->record->do_callback();
  }
  void TearDown() override {
    if (dcam == &cam) dcam = nullptr;
    filedir = nullptr;
    CaptureTest::TearDown();
  }
  void store(void (*cmd)(Fl_Menu_ *, void *), const std::string &path) {
    filedir = nullptr;  // the chooser starts from the directory each time
    DialogAnswerer a({"file:" + path});
    cmd(mainw->menubar, nullptr);
    EXPECT_EQ(0u, a.pending()) << "no chooser opened";
  }
  // Everything a store must leave as it was.
  std::string snapshot() {
    std::string s = std::to_string(bufferNum) + "/" + std::to_string(bufferCur) +
                    "/" + std::to_string(storeFlag) + "/" +
                    std::to_string(acquire_type) + "/" +
                    std::to_string(this_image == frame.data());
    for (int i = 0; i < bufferNum; i++)
      s += "/" + std::string((const char *)bufferList[i], im_size);
    return s + std::string((const char *)frame.data(), frame.size());
  }
};

TEST_F(BadStore, DcamdirOfAnyLengthIsTakenWhole) {
  // 94 characters filled the old 100-byte buffer exactly; the longer
  // ones pass the toolkit's and the system's path limits
  for (size_t n : {94, 95, 2100, 5000}) {
    if (n <= dir.path().size() + 1) continue;  // a long temporary directory
    std::string env = dir.path() + "/" + std::string(n - dir.path().size() - 1, 'e');
    ScopedEnv e("DCAMDIR", env.c_str());
    filedir = nullptr;
    EXPECT_EQ(env + "/data", std::string(get_dirname())) << n;
  }
  // the chooser opens on a directory far too long for it, and still stores
  std::string env = dir.path() + "/" + std::string(5000, 'e');
  ScopedEnv e("DCAMDIR", env.c_str());
  store(store_current_cb, dir.file("kept"));
  int w = 0, h = 0;
  std::vector<unsigned char> px(im_size);
  ASSERT_EQ(0, read_bmp(dir.file("kept.bmp").c_str(), px.data(), &w, &h, 0))
      << imageError;
  EXPECT_EQ(frame, px);
}

TEST_F(BadStore, FailuresReportAndLeaveFramesAndFilesAlone) {
  ASSERT_TRUE(is_char_device("/dev/full"));
  ASSERT_EQ(0, symlink("/dev/full", dir.file("full.bmp").c_str()));
  ASSERT_EQ(0, symlink("/dev/full", dir.file("full000.bmp").c_str()));
  // a name the file system cannot hold, in a directory path of more than
  // 1024 bytes, so the message outgrows the message buffer too
  std::string deep = dir.path();
  while (deep.size() < 1100) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
  }
  std::string too_long = deep + "/" + std::string(300, 'n');
  std::set<std::string> before = files_in(dir.path());
  std::string state = snapshot();

  struct Case {
    std::string chosen;
    std::string current_message;
    std::string error;
  } cases[] = {
      {dir.file("missing/one"), "Can't store " + dir.file("missing/one.bmp"),
       "Can't open file for write"},
      // a link into a device is never written through
      {dir.file("full"), "Can't store " + dir.file("full.bmp"),
       "Won't write through a link to a device"},
      {too_long, "Can't store " + too_long + ".bmp", "Can't open file for write"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.chosen.substr(0, 80));
    store(store_current_cb, c.chosen);
    EXPECT_EQ(c.current_message + ": " + c.error, status_text());
    EXPECT_TRUE(debug_has_line(c.current_message + ": " + c.error));
    store(store_buffer_cb, c.chosen);
    std::string failed = "Failed to write 3 files: " + c.error;
    if (c.error[0] == 'W')  // only full000 leads to the device
      failed = "Failed to write 1 files: " + c.error;
    EXPECT_EQ(failed, status_text());
    EXPECT_EQ(state, snapshot());
  }
  EXPECT_TRUE(is_char_device("/dev/full"));
  // the two links are still links, and only the full series was written
  std::set<std::string> after = files_in(dir.path());
  for (const char *n : {"full001.bmp", "full002.bmp"}) {
    EXPECT_EQ(1u, after.erase(n)) << n;
  }
  EXPECT_EQ(before, after);
  struct stat st;
  ASSERT_EQ(0, lstat(dir.file("full.bmp").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_TRUE(files_in(deep).empty());
}

}  // namespace
