// Storing: "Store current" and "Store buffer", their names, directory,
// gamma and failures, with the file chooser answered by the test.
#include "capture_fixture.h"

#include <FL/Fl_Light_Button.H>
#include <FL/Fl_Menu_Bar.H>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "image_io.h"
#include "virizeda_sim.h"

namespace {

typedef void (*StoreCommand)(Fl_Menu_ *, void *);

// The palette entry i of an 8-bit file as "b g r 0".
std::string palette(const std::string &file, int i) {
  char t[32];
  const unsigned char *p = (const unsigned char *)file.data() + 54 + 4 * i;
  snprintf(t, sizeof t, "%d %d %d %d", p[0], p[1], p[2], p[3]);
  return t;
}

// The pixels of a grey file as the image they were written from.
std::vector<unsigned char> grey_pixels(const std::string &path) {
  int w = 0, h = 0;
  std::vector<unsigned char> im(BMP_MAX_FILE_SIZE);
  if (read_bmp(const_cast<char *>(path.c_str()), im.data(), &w, &h, 0) != 0)
    return {};
  im.resize((size_t)std::max(w, 0) * std::max(h, 0));
  return im;
}

void mkdir_p(const std::string &path) {
  for (size_t i = 1; i <= path.size(); i++)
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0700);
}

// Live mode on a hand-fed camera: frames are filled by the test.
class Store : public CaptureTest {
 protected:
  LoggingCamera cam;
  std::vector<unsigned char> frame;

  void SetUp() override {
    start();
    filedir = nullptr;  // each test sees the chooser's first opening
    live(S_160x120, S_MONO);
  }
  void TearDown() override {
    if (dcam == &cam) dcam = nullptr;  // a simulated camera is stopped
    filedir = nullptr;
    CaptureTest::TearDown();
  }
  void live(dISIZE size, dITYPE type) {
    cam.size = cam_size = size;
    cam.type = cam_type = type;
    set_size();
    dcam = &cam;
    acquire_type = 1;
    frame.assign(im_size, 0);
    this_image = frame.data();
  }
  // Frame k: every byte differs from its neighbours and from frame k+1.
  void fill(int k) {
    for (size_t i = 0; i < frame.size(); i++)
      frame[i] = (unsigned char)(k * 31 + i * 7 + i / 160);
  }
  // Records n frames, numbered from first.
  void record(int n, int first = 0) {
    mainw->record->value(1);
    mainw->record->do_callback();
    for (int k = first; k < first + n; k++) {
      fill(k);
      do_storage();
    }
    mainw->record->value(0);
    mainw->record->do_callback();
  }
  std::vector<unsigned char> slot(int i) {
    return std::vector<unsigned char>(bufferList[i], bufferList[i] + im_size);
  }
  // Runs a store command with the chooser answered; returns what it showed.
  std::vector<SeenDialog> store(StoreCommand cmd, const std::string &answer) {
    // Reopened on the file picked last, the chooser previews it and runs
    // the event loop while still setting itself up, where an answer would
    // be lost: each store starts from the directory instead.
    filedir = nullptr;
    DialogAnswerer a({answer});
    cmd(mainw->menubar, nullptr);
    EXPECT_EQ(0u, a.pending()) << "no chooser opened";
    return a.seen();
  }
  std::vector<SeenDialog> store_as(StoreCommand cmd, const std::string &name) {
    return store(cmd, "file:" + dir.file(name));
  }
};

// ------------------------------------------------------------ names

struct NamingRow {
  const char *chosen;
  const char *current;
  std::vector<std::string> buffer;
  const char *next;
};

class Naming : public Store,
               public ::testing::WithParamInterface<NamingRow> {};

TEST_P(Naming, FilesAndMessage) {
  const NamingRow &r = GetParam();
  record(3);
  store_as(store_current_cb, r.chosen);
  EXPECT_EQ(std::set<std::string>{r.current}, files_in(dir.path()));
  EXPECT_EQ(frame, grey_pixels(dir.file(r.current)));

  store_as(store_buffer_cb, r.chosen);
  std::set<std::string> want(r.buffer.begin(), r.buffer.end());
  want.insert(r.current);
  EXPECT_EQ(want, files_in(dir.path()));
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(slot(i), grey_pixels(dir.file(r.buffer[i]))) << r.buffer[i];
  std::string msg = "Wrote 3 files at " + dir.file(r.next);
  EXPECT_EQ(msg, status_text());
  EXPECT_TRUE(debug_has_line(msg));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Naming,
    ::testing::Values(
        NamingRow{"scan", "scan.bmp",
                  {"scan000.bmp", "scan001.bmp", "scan002.bmp"}, "scan003"},
        NamingRow{"scan.bmp", "scan.bmp",
                  {"scan000.bmp", "scan001.bmp", "scan002.bmp"}, "scan003"},
        NamingRow{"scan017.bmp", "scan017.bmp",
                  {"scan017.bmp", "scan018.bmp", "scan019.bmp"}, "scan020"},
        NamingRow{"take12", "take12.bmp",
                  {"take12000.bmp", "take12001.bmp", "take12002.bmp"},
                  "take12003"},
        NamingRow{"run998", "run998.bmp",
                  {"run998.bmp", "run999.bmp", "run000.bmp"}, "run001"},
        NamingRow{"scan.BMP", "scan.BMP.bmp",
                  {"scan.BMP000.bmp", "scan.BMP001.bmp", "scan.BMP002.bmp"},
                  "scan.BMP003"}));

TEST(StoreNames, IncrNameCountsOnTheLastThreeDigits) {
  const char *cases[][2] = {{"scan000", "scan001"}, {"scan009", "scan010"},
                            {"scan099", "scan100"}, {"scan999", "scan000"},
                            {"a1999", "a1000"},     {"12", "12"},
                            {"", ""}};
  for (auto &c : cases) {
    std::string s = c[0];
    incr_name(&s[0]);
    EXPECT_EQ(c[1], s) << c[0];
  }
  // bytes above 127 carry like '9' and never turn into an end of text
  std::string odd = "a7\xff\xff";
  incr_name(&odd[0]);
  EXPECT_EQ("a800", odd);
}

TEST(StoreNames, ShortNamesAndEndings) {
  // ".bmp" alone is a name, not an ending; "123" is too short to count
  EXPECT_EQ(".bmp.bmp", store_file_name(".bmp"));
  EXPECT_EQ(".bmp000", store_base_name(".bmp"));
  EXPECT_EQ("a.bmp", store_file_name("a.bmp"));
  EXPECT_EQ("a000", store_base_name("a.bmp"));
  EXPECT_EQ("123000", store_base_name("123"));
  EXPECT_EQ("1234", store_base_name("1234"));
  EXPECT_EQ("x12a000", store_base_name("x12a"));
  EXPECT_EQ("/d/scan.bmp.bmp", store_file_name("/d/scan.bmp.bmp"));
}

TEST_F(Store, ABufferStoreReplacesEarlierFilesWithoutAsking) {
  write_file(dir.file("run000.bmp"), "old");
  record(3);
  store_as(store_buffer_cb, "run998");  // only the chooser opens
  EXPECT_EQ(slot(2), grey_pixels(dir.file("run000.bmp")));
}

// ----------------------------------------------------- the chooser

TEST_F(Store, ChooserTitleAndPatternForBothCommands) {
  record(1);
  for (StoreCommand cmd : {store_current_cb, store_buffer_cb}) {
    auto seen = store_as(cmd, "scan");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("Store current image to file", seen[0].title);
    EXPECT_NE(seen[0].texts.end(), std::find(seen[0].texts.begin(),
                                             seen[0].texts.end(), "{*.bmp}"));
  }
}

TEST_F(Store, CancelWritesNothing) {
  record(2);
  status_message("before");
  store(store_current_cb, "Cancel");
  store(store_buffer_cb, "Cancel");
  EXPECT_TRUE(files_in(dir.path()).empty());
  EXPECT_EQ("before", status_text());
  EXPECT_EQ(2, bufferNum);  // storing leaves the list alone
}

TEST_F(Store, NothingToStoreOpensNoChooser) {
  record(2);
  this_image = nullptr;
  DialogAnswerer none({});  // any dialog would be a failure
  store_current_cb(mainw->menubar, nullptr);
  store_buffer_cb(mainw->menubar, nullptr);
  settle(0.1);
  EXPECT_TRUE(none.seen().empty());
}

TEST_F(Store, StoreCurrentSucceedsSilently) {
  status_message("before");
  fill(5);
  store_as(store_current_cb, "one");
  EXPECT_EQ(frame, grey_pixels(dir.file("one.bmp")));
  EXPECT_EQ("before", status_text());
}

// ------------------------------------------------ default directory

TEST_F(Store, DirectoryFromDcamdir) {
  ScopedEnv env("DCAMDIR", dir.path().c_str());
  mkdir_p(dir.file("data"));
  auto seen = store_as(store_current_cb, "x");
  ASSERT_EQ(1u, seen.size());
  bool opened_there = false;
  for (const std::string &t : seen[0].texts)
    opened_there |= t.rfind(dir.file("data"), 0) == 0;
  EXPECT_TRUE(opened_there);
  EXPECT_STREQ((dir.path() + "/data").c_str(), filedir);
  EXPECT_EQ(nullptr, get_dirname());  // later choosers reopen where left
}

TEST_F(Store, DirectoryIsTheWorkingDirectoryWithoutDcamdir) {
  ScopedEnv env("DCAMDIR", nullptr);
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
  const char *d = get_dirname();
  ASSERT_NE(nullptr, d);
  EXPECT_STREQ(cwd, d);
  EXPECT_EQ(nullptr, get_dirname());
  EXPECT_EQ(nullptr, get_dirname());
}

TEST_F(Store, LongDirectoriesAndNames) {
  // a DCAMDIR of 300 characters and stored names far beyond 100
  std::string deep = dir.path();
  while (deep.size() < 300) deep += "/" + std::string(60, 'd');
  deep.resize(300);
  mkdir_p(deep + "/data");
  ScopedEnv env("DCAMDIR", deep.c_str());
  EXPECT_EQ(deep + "/data", get_dirname());
  filedir = nullptr;

  record(2);
  std::string name = deep + "/data/" + std::string(120, 'n');
  store(store_current_cb, "file:" + name);
  EXPECT_EQ(frame, grey_pixels(name + ".bmp"));
  store(store_buffer_cb, "file:" + name + ".bmp");
  EXPECT_EQ(slot(1), grey_pixels(name + "001.bmp"));
  EXPECT_EQ("Wrote 2 files at " + name + "002", status_text());
}

// ------------------------------------------------------------ gamma

TEST_F(Store, BayerCamerasStoreGreyWithGammaInThePalette) {
  cam.isBayer = true;
  fill(1);
  store_as(store_current_cb, "bayer");
  std::string f = read_file(dir.file("bayer.bmp"));
  ASSERT_EQ(1078u + 160 * 120, f.size());
  EXPECT_EQ("169 169 169 0", palette(f, 128));
  EXPECT_EQ("9 9 9 0", palette(f, 1));
  EXPECT_EQ(frame, grey_pixels(dir.file("bayer.bmp")));  // pixels as captured

  record(2);
  store_as(store_buffer_cb, "many");
  EXPECT_EQ("169 169 169 0", palette(read_file(dir.file("many001.bmp")), 128));
}

TEST_F(Store, OtherCamerasAndNoCameraStoreValuesUnchanged) {
  fill(1);
  store_as(store_current_cb, "plain");
  dcam = nullptr;  // a later opening failed
  store_as(store_current_cb, "none");
  for (const char *n : {"plain.bmp", "none.bmp"}) {
    std::string f = read_file(dir.file(n));
    for (int i : {1, 128, 254}) {
      std::string v = std::to_string(i);
      EXPECT_EQ(v + " " + v + " " + v + " 0", palette(f, i)) << n;
    }
  }
}

TEST_F(Store, ColourFilesCarryTheGammaInEveryByte) {
  live(S_160x120, S_RGB24);
  frame[(119 * 160) * 3 + 0] = 128;  // the first pixel of the last row
  frame[(119 * 160) * 3 + 1] = 16;
  frame[(119 * 160) * 3 + 2] = 64;
  store_as(store_current_cb, "plain");
  cam.isBayer = true;
  store_as(store_current_cb, "bayer");
  std::string plain = read_file(dir.file("plain.bmp"));
  std::string bayer = read_file(dir.file("bayer.bmp"));
  ASSERT_EQ(54u + 160 * 120 * 3, plain.size());
  ASSERT_EQ(plain.size(), bayer.size());
  // the file's first row is the image's last, as blue, green, red
  EXPECT_EQ(std::string("\x40\x10\x80", 3), plain.substr(54, 3));
  EXPECT_EQ(std::string("\x6f\x30\xa9", 3), bayer.substr(54, 3));
}

TEST_F(Store, SimulatedBayerCameraFramesKeepTheirBarCodes) {
  dcam = nullptr;
  ASSERT_TRUE(open_camera(2));  // "Sim Bayer"
  ASSERT_TRUE(dcam->isBayer);
  pick(mainw->size_val, 0);    // 160x120
  pick(mainw->format_val, 2);  // Bayer
  pick(mainw->speed_val, 4);   // 60
  ASSERT_TRUE(start_capture());
  ASSERT_EQ(0, im_color);
  mainw->record->value(1);
  mainw->record->do_callback();
  std::vector<int> codes;
  for (int i = 0; i < 4; i++) {
    ASSERT_TRUE(next_image(50));
    do_storage();
    codes.push_back(vzsim::barcode(this_image, 160, 1));
  }
  store_as(store_buffer_cb, "sim");
  for (int i = 0; i < 4; i++) {
    std::string name = dir.file("sim00" + std::to_string(i) + ".bmp");
    std::vector<unsigned char> px = grey_pixels(name);
    ASSERT_EQ(160u * 120, px.size());
    EXPECT_EQ(codes[i], vzsim::barcode(px.data(), 160, 1));
    EXPECT_EQ("169 169 169 0", palette(read_file(name), 128));
  }
  EXPECT_LT(codes[0], codes[3]);
}

// ---------------------------------------------- lists and released slots

TEST_F(Store, EmptyListWritesNothing) {
  store_as(store_buffer_cb, "scan");
  EXPECT_TRUE(files_in(dir.path()).empty());
  EXPECT_EQ("Wrote 0 files at " + dir.file("scan000"), status_text());
}

TEST_F(Store, SizeChangeReleasesSlotsAndNothingPointsAtThem) {
  record(5);
  // play back to frame 0, drawn from its slot
  acquire_type = 2;
  bufferCur = bufferNum - 1;
  single_shot = true;
  ASSERT_TRUE(get_next_image());
  ASSERT_EQ(bufferList[0], this_image);
  ASSERT_EQ(bufferList[0], mainw->image->pixelData);

  cam.size = cam_size = S_320x240;
  set_size();
  for (int i = 0; i < BUFFER_SLOTS; i++) ASSERT_EQ(nullptr, bufferList[i]);
  EXPECT_EQ(nullptr, this_image);
  EXPECT_EQ(nullptr, mainw->image->pixelData);
  mainw->image->redraw();
  settle(0.05);  // a redraw reads nothing released
  single_shot = true;
  EXPECT_FALSE(get_next_image());  // nothing left to play

  // a live frame of the new size: the old frames are not stored
  acquire_type = 1;
  frame.assign(im_size, 0);
  this_image = frame.data();
  store_as(store_buffer_cb, "scan");
  EXPECT_TRUE(files_in(dir.path()).empty());
  EXPECT_EQ("Wrote 0 files at " + dir.file("scan000"), status_text());

  record(2, 10);
  store_as(store_buffer_cb, "scan");
  EXPECT_EQ((std::set<std::string>{"scan000.bmp", "scan001.bmp"}),
            files_in(dir.path()));
  EXPECT_EQ(slot(1), grey_pixels(dir.file("scan001.bmp")));
  EXPECT_EQ("Wrote 2 files at " + dir.file("scan002"), status_text());
}

// --------------------------------------------------------- failures

TEST_F(Store, FileThatCannotBeCreated) {
  record(3);
  store_as(store_current_cb, "missing/one");
  EXPECT_EQ("Can't store " + dir.file("missing/one.bmp") +
                ": Can't open file for write",
            status_text());
  store_as(store_buffer_cb, "missing/scan");
  EXPECT_TRUE(debug_lines_in_order(
      {"Wrote 0 files at " + dir.file("missing/scan003"),
       "Failed to write 3 files: Can't open file for write"}));
  EXPECT_TRUE(files_in(dir.path()).empty());
}

TEST_F(Store, FullDeviceCountsOnlyFilesWritten) {
  struct stat before;
  ASSERT_EQ(0, stat("/dev/full", &before));
  ASSERT_TRUE(S_ISCHR(before.st_mode));
  ASSERT_EQ(0, symlink("/dev/full", dir.file("full001.bmp").c_str()));
  record(3);
  store_as(store_buffer_cb, "full");
  EXPECT_TRUE(debug_lines_in_order(
      {"Wrote 2 files at " + dir.file("full003"),
       "Failed to write 1 files: Won't write through a link to a device"}));
  EXPECT_EQ("Failed to write 1 files: Won't write through a link to a device",
            status_text());
  EXPECT_EQ(slot(2), grey_pixels(dir.file("full002.bmp")));

  store_as(store_current_cb, "full001");
  EXPECT_EQ("Can't store " + dir.file("full001.bmp") +
                ": Won't write through a link to a device",
            status_text());

  struct stat after, link;
  ASSERT_EQ(0, stat("/dev/full", &after));
  EXPECT_TRUE(S_ISCHR(after.st_mode));
  EXPECT_EQ(before.st_rdev, after.st_rdev);
  ASSERT_EQ(0, lstat(dir.file("full001.bmp").c_str(), &link));
  EXPECT_TRUE(S_ISLNK(link.st_mode));  // the link is left as it was
}

}  // namespace

// ------------------------------------------------ a camera of the bus

// Whatever bus the library chose (the simulated one, or libdc1394 on the
// emulated FireWire bus): colour frames streamed at 15 fps, recorded with
// Display on and stored keep their frame numbers, one after the other.
TEST_F(Store, BusCameraFramesAreRecordedAndStoredConsecutively) {
  dcam = nullptr;
  ASSERT_TRUE(open_camera(0));
  pick(mainw->size_val, 2);    // 640x480
  pick(mainw->format_val, 0);  // RGB24
  pick(mainw->speed_val, 2);   // 15
  ASSERT_TRUE(start_capture());
  ASSERT_EQ(1, im_color);
  mainw->record->value(1);
  mainw->record->do_callback();
  std::vector<int> codes;
  for (int i = 0; i < 8; i++) {
    ASSERT_TRUE(next_image(50));
    do_storage();
    codes.push_back(vzsim::barcode(this_image, 640, 3));
  }
  store_as(store_buffer_cb, "run");
  for (int i = 0; i < 8; i++) {
    std::string file = read_file(dir.file("run00" + std::to_string(i) + ".bmp"));
    ASSERT_EQ(54u + 640 * 480 * 3, file.size());
    // the top row is the file's last, blue green red: the bar code's
    // bytes are all 0 or all 255 either way
    const unsigned char *top = (const unsigned char *)file.data() + 54 + 479 * 640 * 3;
    EXPECT_EQ(codes[i], vzsim::barcode(top, 640, 3)) << i;
    if (i) {
      EXPECT_EQ(codes[i], codes[i - 1] + 1) << i;
    }
  }
}
