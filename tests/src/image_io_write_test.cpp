// The BMP writers: exact file layouts, gamma, and failed writes.
#include <dirent.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_io.h"
#include "image_io_util.h"
#include "test_support.h"

static bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(BmpBytes, LittleEndianHelpers) {
  unsigned char p[4] = {0, 0, 0, 0};
  write_bmp_word(p, 0x12345);
  EXPECT_EQ(p[0], 0x45);
  EXPECT_EQ(p[1], 0x23);
  EXPECT_EQ(p[2], 0); // only two bytes
  write_bmp_long(p, -2);
  EXPECT_EQ(Bytes(p, p + 4), (Bytes{0xfe, 0xff, 0xff, 0xff}));
  EXPECT_EQ(read_bmp_long(p), -2);
  EXPECT_EQ(read_bmp_word(p), 65534);
  EXPECT_EQ(read_bmp_word(p + 2), 65535);
  write_bmp_long(p, 1229878);
  EXPECT_EQ(read_bmp_long(p), 1229878);
}

TEST(BmpGamma, TableBuiltByEachWrite) {
  TempDir dir;
  Bytes im = test_image(4, 2, 1);
  ASSERT_EQ(write_bmp(dir.file("g.bmp").c_str(), im.data(), 4, 2, 0.6), 0);
  const int in[] = {0, 1, 16, 64, 128, 200, 254, 255};
  const int out[] = {0, 9, 48, 111, 169, 220, 254, 255};
  for (int i = 0; i < 8; i++) EXPECT_EQ(im_gamma[in[i]], out[i]) << in[i];
  for (double g : {0.0, -1.0, (double)NAN}) {
    ASSERT_EQ(write_color_bmp(dir.file("c.bmp").c_str(), im.data(), 2, 1, g), 0);
    for (int i = 0; i < 256; i++) ASSERT_EQ(im_gamma[i], i) << g;
  }
}

TEST(BmpWriteGrey, VgaFileLayoutAndPalette) {
  TempDir dir;
  Bytes im = test_image(640, 480, 1);
  std::string name = dir.file("vga.bmp");
  ASSERT_EQ(write_bmp(name.c_str(), im.data(), 640, 480, 0), 0);
  std::string f = read_file(name);
  ASSERT_EQ(f.size(), 308278u);
  EXPECT_EQ(f.substr(0, 2), "BM");
  const int fields[][3] = {{2, 4, 308278}, {6, 4, 0},  {10, 4, 1078},
                           {14, 4, 40},    {18, 4, 640}, {22, 4, 480},
                           {26, 2, 1},     {28, 2, 8},   {30, 4, 0},
                           {34, 4, 0},     {38, 4, 0},   {42, 4, 0},
                           {46, 4, 256},   {50, 4, 256}};
  for (auto &fl : fields) EXPECT_EQ(field(f, fl[0], fl[1]), fl[2]) << fl[0];
  for (int i = 0; i < 256; i++)
    ASSERT_EQ(field(f, 54 + 4 * i), i * 0x010101) << i;
  // last image row first, unpadded
  EXPECT_EQ(f.compare(1078, 640, (const char *)&im[479 * 640], 640), 0);
  EXPECT_EQ(f.compare(1078 + 479 * 640, 640, (const char *)&im[0], 640), 0);

  ASSERT_EQ(write_bmp(name.c_str(), im.data(), 640, 480, 0.6), 0);
  std::string g = read_file(name);
  EXPECT_EQ(field(g, 54 + 4 * 128), 0x00a9a9a9); // 169, 169, 169, 0
  EXPECT_EQ(g.substr(1078), f.substr(1078));      // pixels unchanged
}

TEST(BmpWriteColor, RowsPaddingAndByteOrder) {
  TempDir dir;
  std::string name = dir.file("c.bmp");
  Bytes im = test_image(320, 240, 3);
  ASSERT_EQ(write_color_bmp(name.c_str(), im.data(), 320, 240, 0), 0);
  std::string f = read_file(name);
  ASSERT_EQ(f.size(), 230454u);
  const int fields[][3] = {{2, 4, 230454}, {10, 4, 54}, {14, 4, 40},
                           {18, 4, 320},   {22, 4, 240}, {26, 2, 1},
                           {28, 2, 24},    {34, 4, 230400}, {46, 4, 0}};
  for (auto &fl : fields) EXPECT_EQ(field(f, fl[0], fl[1]), fl[2]) << fl[0];
  // second stored row is image row 238, 960 bytes on with no padding
  EXPECT_EQ((unsigned char)f[54 + 960], im[238 * 960 + 2]);

  Bytes two = {10, 20, 30, 1, 2, 3, 40, 50, 60, 4, 5, 6};
  ASSERT_EQ(write_color_bmp(name.c_str(), two.data(), 2, 2, 0), 0);
  f = read_file(name);
  ASSERT_EQ(f.size(), 54u + 16);
  EXPECT_EQ(f.substr(54), std::string("\x3c\x32\x28\x06\x05\x04\0\0"
                                      "\x1e\x14\x0a\x03\x02\x01\0\0", 16));

  ASSERT_EQ(write_color_bmp(name.c_str(), two.data(), 2, 2, 0.6), 0);
  f = read_file(name);
  EXPECT_EQ((unsigned char)f[54 + 8], im_gamma[30]);
  EXPECT_EQ((unsigned char)f[54 + 10], im_gamma[10]);
}

// Widths wider than one 4000-byte row, and ones whose last pixels take
// each of the row conversion's tail paths.
TEST(BmpWriteColor, AnyWidthWithAndWithoutGamma) {
  TempDir dir;
  std::string name = dir.file("wide.bmp");
  const int h = 3;
  for (int w : {2001, 40, 9, 1})
    for (double gam : {0.0, 0.6}) {
      Bytes im = test_image(w, h, 3);
      ASSERT_EQ(write_color_bmp(name.c_str(), im.data(), w, h, gam), 0);
      std::string f = read_file(name);
      size_t len = (3 * w + 3) / 4 * 4;
      ASSERT_EQ(f.size(), 54 + len * h);
      for (int y = 0; y < h; y++) {
        size_t row = 54 + (h - 1 - y) * len;
        for (int x = 0; x < w; x++)
          for (int c = 0; c < 3; c++)
            ASSERT_EQ((unsigned char)f[row + 3 * x + c],
                      im_gamma[im[(y * w + x) * 3 + 2 - c]])
                << w << " " << x << " " << gam;
        EXPECT_EQ(f.substr(row + 3 * w, len - 3 * w), std::string(len - 3 * w, '\0'));
      }
    }
}

TEST(BmpWriteFail, CannotOpen) {
  TempDir dir;
  Bytes im = test_image(4, 4, 3);
  std::string name = dir.file("no/such/dir/x.bmp");
  imageError = (char *)"";
  EXPECT_EQ(write_bmp(name.c_str(), im.data(), 4, 4, 0), -1);
  EXPECT_STREQ(imageError, "Can't open file for write");
  imageError = (char *)"";
  EXPECT_EQ(write_color_bmp(name.c_str(), im.data(), 4, 4, 0), -1);
  EXPECT_STREQ(imageError, "Can't open file for write");
}

TEST(BmpWriteFail, BadInputTouchesNoFile) {
  TempDir dir;
  std::string name = dir.file("keep.bmp");
  write_file(name, "precious");
  Bytes im = test_image(4, 4, 3);
  const int sizes[][2] = {{0, 4}, {4, 0}, {-4, 4}, {4, -1}, {65536, 65536}};
  for (auto &s : sizes) {
    EXPECT_EQ(write_bmp(name.c_str(), im.data(), s[0], s[1], 0), -1);
    EXPECT_STREQ(imageError, "Bad image size for BMP file");
    EXPECT_EQ(write_color_bmp(name.c_str(), im.data(), s[0], s[1], 0), -1);
    EXPECT_STREQ(imageError, "Bad image size for BMP file");
  }
  EXPECT_EQ(write_bmp(name.c_str(), nullptr, 4, 4, 0), -1);
  EXPECT_STREQ(imageError, "No image to write");
  EXPECT_EQ(read_file(name), "precious");
}

TEST(BmpWriteFail, FullDeviceStaysADevice) {
  ASSERT_TRUE(is_char_device("/dev/full"));
  Bytes im = test_image(64, 48, 3);
  EXPECT_EQ(write_bmp("/dev/full", im.data(), 64, 48, 0), -1);
  EXPECT_STREQ(imageError, "Can't write file");
  EXPECT_TRUE(is_char_device("/dev/full"));
  EXPECT_EQ(write_color_bmp("/dev/full", im.data(), 64, 48, 0.6), -1);
  EXPECT_STREQ(imageError, "Can't write file");
  EXPECT_TRUE(is_char_device("/dev/full"));

  TempDir dir; // a link to the device is not removed either
  std::string link = dir.file("full.bmp");
  ASSERT_EQ(symlink("/dev/full", link.c_str()), 0);
  EXPECT_EQ(write_bmp(link.c_str(), im.data(), 64, 48, 0), -1);
  EXPECT_TRUE(exists(link));
  EXPECT_TRUE(is_char_device("/dev/full"));
}

// A file size limit makes the disk "full" for a regular file.
static int write_limited(const std::string &name, bool color) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit lim = {4096, 4096};
  setrlimit(RLIMIT_FSIZE, &lim);
  Bytes im = test_image(640, 480, 3);
  int rc = color ? write_color_bmp(name.c_str(), im.data(), 640, 480, 0)
                 : write_bmp(name.c_str(), im.data(), 640, 480, 0);
  return rc == -1 && strcmp(imageError, "Can't write file") == 0 ? 0 : 1;
}

TEST(BmpWriteFailDeathTest, PartialRegularFileRemoved) {
  TempDir dir;
  for (bool color : {false, true}) {
    std::string name = dir.file(color ? "c.bmp" : "g.bmp");
    EXPECT_EXIT(_exit(write_limited(name, color)), testing::ExitedWithCode(0), "");
    EXPECT_FALSE(exists(name)) << color;
  }
  // through a link: the link and its target stay where they are
  std::string target = dir.file("target.bmp"), link = dir.file("link.bmp");
  write_file(target, "old");
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  EXPECT_EXIT(_exit(write_limited(link, false)), testing::ExitedWithCode(0), "");
  EXPECT_TRUE(exists(link));
  EXPECT_TRUE(exists(target));
}

// Replacing a file: a failed store leaves the earlier file whole, a good
// one keeps its mode, and neither leaves a file of its own behind.
TEST(BmpWriteFailDeathTest, FailedStoreKeepsTheEarlierFile) {
  TempDir dir;
  for (bool color : {false, true}) {
    std::string name = dir.file(color ? "c.bmp" : "g.bmp");
    write_file(name, "earlier image");
    EXPECT_EXIT(_exit(write_limited(name, color)), testing::ExitedWithCode(0), "");
    EXPECT_EQ("earlier image", read_file(name)) << color;
  }
  EXPECT_EQ((std::set<std::string>{"c.bmp", "g.bmp"}), files_in(dir.path()));

  std::string name = dir.file("g.bmp");
  ASSERT_EQ(0, chmod(name.c_str(), 0640));
  Bytes im = test_image(8, 6, 1);
  ASSERT_EQ(0, write_bmp(name.c_str(), im.data(), 8, 6, 0));
  struct stat st;
  ASSERT_EQ(0, stat(name.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(1078 + 48, (int)st.st_size);
  EXPECT_EQ((std::set<std::string>{"c.bmp", "g.bmp"}), files_in(dir.path()));
}

// Every entry of a directory, hidden ones included.
static std::set<std::string> entries(const std::string &path) {
  std::set<std::string> names;
  if (DIR *d = opendir(path.c_str())) {
    while (dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

static ino_t inode(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

static bool is_link(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Names that reach a file another way: a symbolic link to a file, a second
// hard link, and a symbolic link to a file with two names. A failed store
// through any of them leaves the earlier image whole under every name; a
// good one reaches every name, links stay links and hard links one file.
TEST(BmpWriteFailDeathTest, LinkedNamesKeepTheEarlierImageAndStayLinked) {
  TempDir dir;
  std::string sub = dir.file("sub");
  ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
  std::string sole = sub + "/sole.bmp", shared = sub + "/shared.bmp";
  std::string to_sole = dir.file("to_sole.bmp"), hard = dir.file("hard.bmp"),
              to_shared = dir.file("to_shared.bmp");
  write_file(sole, "earlier sole");
  write_file(shared, "earlier shared");
  ASSERT_EQ(0, symlink("sub/sole.bmp", to_sole.c_str()));
  ASSERT_EQ(0, link(shared.c_str(), hard.c_str()));
  ASSERT_EQ(0, symlink("sub/shared.bmp", to_shared.c_str()));
  const std::set<std::string> top = {"hard.bmp", "sub", "to_shared.bmp", "to_sole.bmp"},
                              below = {"shared.bmp", "sole.bmp"};

  for (const std::string &name : {to_sole, hard, to_shared})
    for (bool color : {false, true}) {
      SCOPED_TRACE(name + (color ? " colour" : " grey"));
      EXPECT_EXIT(_exit(write_limited(name, color)), testing::ExitedWithCode(0), "");
      // compared whole, but not printed: a spoilt file is a 4 KB fragment
      EXPECT_TRUE("earlier sole" == read_file(to_sole));
      EXPECT_TRUE("earlier shared" == read_file(hard));
      EXPECT_TRUE("earlier shared" == read_file(to_shared));
      EXPECT_EQ(top, entries(dir.path()));
      EXPECT_EQ(below, entries(sub));
    }

  Bytes im = test_image(8, 6, 1);
  for (const std::string &name : {to_sole, hard, to_shared}) {
    SCOPED_TRACE(name);
    ino_t one = inode(shared);
    ASSERT_EQ(0, write_bmp(name.c_str(), im.data(), 8, 6, 0));
    EXPECT_EQ(1078u + 48, read_file(name).size());
    EXPECT_TRUE(is_link(to_sole) && is_link(to_shared));
    EXPECT_EQ(one, inode(hard));
    EXPECT_EQ(one, inode(shared));
    EXPECT_TRUE(read_file(shared) == read_file(hard));
    EXPECT_EQ(top, entries(dir.path()));
    EXPECT_EQ(below, entries(sub));
  }
  EXPECT_TRUE(read_file(sole) == read_file(shared));
}
