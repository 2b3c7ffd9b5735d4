// Debug window (lines, save, copy) and the value widget.
#include <gtest/gtest.h>
// after gtest: the toolkit's drawing header brings X11's macros
#include <FL/Fl.H>
#include <FL/Fl_Menu_Bar.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <stdlib.h>
#include <sys/stat.h>

#include <memory>
#include <algorithm>
#include <string>

#include "fl_value.h"
#include "flwin.h"
#include "test_support.h"

namespace {

const char *const HEADING = "DCAM Debugging Window\n\n";

std::string text_of(Fl_Text_Buffer *b) {
  char *t = b->text();
  std::string s = t;
  free(t);
  return s;
}

class DebugWin : public testing::Test {
 protected:
  void SetUp() override {
    win.reset(new dcamDebugWin(100, 100, 500, 400, "DCAM Debug Window"));
  }
  void show() {
    win->show();
    ASSERT_TRUE(run_until([&] { return win->shown() && win->visible(); }, 5));
    settle(0.2);
  }
  std::string text() { return text_of(win->dbuf); }
  // Sends a key with Ctrl held to the window, as the toolkit delivers it.
  void ctrl_key(char key) {
    static char ch[2];
    ch[0] = key & 0x1f;
    Fl::e_keysym = key;
    Fl::e_state = FL_CTRL;
    Fl::e_text = ch;
    Fl::e_length = 1;
    Fl::handle(FL_KEYBOARD, win.get());
    Fl::e_state = 0;
  }
  std::unique_ptr<dcamDebugWin> win;
};

TEST_F(DebugWin, StartsHiddenWithTheHeadingAndFillsTheSpaceBelowItsMenu) {
  EXPECT_EQ(HEADING, text());
  EXPECT_FALSE(win->shown());
  EXPECT_STREQ("DCAM Debug Window", win->label());
  ASSERT_EQ(2, win->children());
  Fl_Menu_Bar *bar = dynamic_cast<Fl_Menu_Bar *>(win->child(0));
  ASSERT_NE(nullptr, bar);
  EXPECT_EQ(30, bar->h());
  EXPECT_EQ(500, bar->w());
  EXPECT_EQ(win->dwin, win->child(1));
  EXPECT_EQ(win->dwin, win->resizable());
  EXPECT_EQ(30, win->dwin->y());
  EXPECT_EQ(400, win->dwin->y() + win->dwin->h());
  EXPECT_EQ(500, win->dwin->w());
  // every item calls back with the window
  const Fl_Menu_Item *save = bar->find_item("&File/&Save File");
  const Fl_Menu_Item *copy = bar->find_item("&Edit/&Copy");
  ASSERT_TRUE(save && copy);
  EXPECT_EQ(FL_CTRL + 's', save->shortcut());
  EXPECT_EQ(FL_CTRL + 'c', copy->shortcut());
  EXPECT_EQ(win.get(), save->user_data());
  EXPECT_EQ(win.get(), copy->user_data());
}

TEST_F(DebugWin, EachPrintAddsOneLineAndKeepsTheViewAtTheEnd) {
  win->Print("A");
  win->Print("%s", "100% sure");
  win->Print("%d frames, %3.1f%%", 12, 99.5);
  win->Print(nullptr);
  EXPECT_EQ(std::string(HEADING) + "A\n100% sure\n12 frames, 99.5%\n", text());
  EXPECT_EQ(win->dbuf->length(), win->dwin->insert_position());
}

TEST_F(DebugWin, LongLinesAreKeptWhole) {
  std::string longer(255, 'x');
  std::string much(5000, 'y');
  win->Print("%s", longer.c_str());
  win->Print("%s|%s", much.c_str(), "end");
  win->Print(much.c_str());  // as the format itself
  EXPECT_EQ(std::string(HEADING) + longer + "\n" + much + "|end\n" + much + "\n",
            text());
}

// One giant line would break the connection to the X server when drawn.
TEST_F(DebugWin, GiantTextIsKeptAsSeveralLinesThatCanBeDrawn) {
  std::string giant;
  giant = std::string(99999, 'g') + "\xc3\xa9" + std::string(100000, 'h');
  win->Print("%s", giant.c_str());
  show();
  win->redraw();
  settle(0.3);
  std::string t = text().substr(strlen(HEADING));
  std::string joined;
  size_t longest = 0, start = 0;
  for (size_t i = 0; i < t.size(); i++)
    if (t[i] == '\n') {
      longest = std::max(longest, i - start);
      start = i + 1;
    } else {
      joined += t[i];
    }
  EXPECT_EQ(giant, joined);
  EXPECT_LE(longest, 32768u);
  EXPECT_EQ('\n', t.back());
  EXPECT_TRUE(win->shown());
}

TEST_F(DebugWin, ShownLaterItIsScrolledToTheNewestLine) {
  for (int i = 0; i < 200; i++) win->Print("line %d", i);
  show();
  EXPECT_EQ(win->dbuf->length(), win->dwin->insert_position());
  // the newest line is on screen, the heading scrolled away
  int x, y;
  EXPECT_TRUE(win->dwin->position_to_xy(win->dbuf->length(), &x, &y));
  EXPECT_FALSE(win->dwin->position_to_xy(0, &x, &y));
}

TEST_F(DebugWin, SaveWritesTheWholeTextByteForByte) {
  TempDir dir;
  std::string path = dir.file("debug.txt");
  win->Print("%s", "50% done \t tab");
  for (int i = 0; i < 3000; i++)  // beyond one transfer block
    win->Print("%s %d", std::string(60, 'z').c_str(), i);
  show();
  DialogAnswerer ans({"file:" + path});
  save_cb(nullptr, win.get());
  ASSERT_EQ(1u, ans.seen().size());
  EXPECT_EQ("Save File As?", ans.seen()[0].title);
  EXPECT_TRUE(ans.saw("*.txt"));
  EXPECT_EQ(text(), read_file(path));
}

TEST_F(DebugWin, CtrlSOpensTheChooserAndSaves) {
  TempDir dir;
  std::string path = dir.file("keys.txt");
  win->Print("by key");
  show();
  DialogAnswerer ans({"file:" + path});
  ctrl_key('s');
  EXPECT_EQ(0u, ans.pending());
  EXPECT_EQ(text(), read_file(path));
}

TEST_F(DebugWin, CancelWritesNothing) {
  TempDir dir;
  show();
  {
    DialogAnswerer ans({"Cancel"});
    save_cb(nullptr, win.get());
    EXPECT_EQ(1u, ans.seen().size());
  }
  struct stat st;
  EXPECT_NE(0, stat(dir.file("debug.txt").c_str(), &st));
}

TEST_F(DebugWin, AFailedSaveIsReported) {
  TempDir dir;
  show();
  // the missing directory last: the toolkit's chooser misbehaves when it
  // starts in a directory that does not exist
  DialogAnswerer ans({"file:/dev/full", "Close",
                      "file:" + dir.file("missing/debug.txt"), "Close"});
  save_cb(nullptr, win.get());
  ASSERT_EQ(2u, ans.seen().size());
  EXPECT_TRUE(ans.saw("Can't save the debug text to /dev/full: No space left on device"));
  struct stat st;
  ASSERT_EQ(0, stat("/dev/full", &st));
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  save_cb(nullptr, win.get());
  ASSERT_EQ(4u, ans.seen().size());
  EXPECT_TRUE(ans.saw("Can't save the debug text to " + dir.file("missing/debug.txt") +
                      ": No such file or directory"));
  EXPECT_NE(0, stat(dir.file("missing").c_str(), &st));
}

// Receives what the clipboard holds.
class PasteTarget : public Fl_Widget {
 public:
  PasteTarget() : Fl_Widget(0, 0, 1, 1) {}
  void draw() override {}
  int handle(int e) override {
    if (e != FL_PASTE) return 0;
    got.assign(Fl::event_text(), Fl::event_length());
    return 1;
  }
  std::string got;
};

std::string clipboard() {
  PasteTarget t;
  Fl::paste(t, 1);
  return t.got;
}

TEST_F(DebugWin, CopyPutsExactlyTheSelectionOnTheClipboard) {
  win->Print("first line");
  win->Print("%s", "second % line");
  show();
  std::string all = text();
  int at = (int)all.find("second");
  win->dbuf->select(at, at + 8);
  copy_cb(nullptr, win.get());
  EXPECT_EQ("second %", clipboard());

  win->dbuf->select(0, 4);
  ctrl_key('c');
  EXPECT_EQ("DCAM", clipboard());
}

TEST_F(DebugWin, CopyWithoutSelectionLeavesTheClipboard) {
  show();
  Fl::copy("before", 6, 1);
  win->dbuf->unselect();
  copy_cb(nullptr, win.get());
  EXPECT_EQ("before", clipboard());
  win->dbuf->select(5, 5);
  copy_cb(nullptr, win.get());
  EXPECT_EQ("before", clipboard());
}

// ------------------------------------------------------------- Fl_Value

TEST(ValueWidget, ConstructedWithItsLookAndText) {
  Fl_Value v(10, 10, 80, 20, "Rate:");
  EXPECT_STREQ("", v.buf);
  EXPECT_STREQ("", v.str);
  EXPECT_EQ(FL_ALIGN_LEFT, v.align());
  EXPECT_EQ(FL_BLACK, v.labelcolor());
  EXPECT_EQ(FL_HELVETICA, v.labelfont());
  EXPECT_EQ(14, v.labelsize());
  EXPECT_EQ(FL_BLACK, v.c);
  v.val(3.5);
  EXPECT_STREQ("", v.buf);
  Fl_Value w(10, 10, 80, 20, "Rate:", "%3.1f");
  EXPECT_STREQ("%3.1f", w.buf);
  Fl_Value n(10, 10, 80, 20, nullptr, nullptr);
  EXPECT_STREQ("", n.buf);
}

TEST(ValueWidget, TextDoublesAsTheFormat) {
  Fl_Value v(10, 10, 80, 20, "x");
  v.val("%3.1f");
  v.val(29.97);
  EXPECT_STREQ("30.0", v.buf);
  v.val(0.0);
  EXPECT_STREQ("0.0", v.buf);
  v.val("%04x");
  v.val(26);
  EXPECT_STREQ("001a", v.buf);
  EXPECT_STREQ("%04x", v.str);
  v.val("yes");
  v.val(26);
  EXPECT_STREQ("yes", v.buf);
  v.val(2.5);
  EXPECT_STREQ("yes", v.buf);
  v.setcolor(FL_RED);
  EXPECT_EQ(FL_RED, v.c);
}

TEST(ValueWidget, FormatsThatDoNotFitTheNumberAreShownAsTheyAre) {
  Fl_Value v(10, 10, 80, 20, "x");
  for (const char *f : {"%s", "%d %d", "%*d", "%ld", "100%"}) {
    v.val(f);
    v.val(7);
    EXPECT_STREQ(f, v.buf);
  }
  for (const char *f : {"%d", "%s", "%Lf", "%f %f", "%n"}) {
    v.val(f);
    v.val(7.0);
    EXPECT_STREQ(f, v.buf);
  }
  v.val("%d%%");
  v.val(50);
  EXPECT_STREQ("50%", v.buf);
  v.val("%5.2lf");
  v.val(1.5);
  EXPECT_STREQ(" 1.50", v.buf);
}

TEST(ValueWidget, LongTextsAndResultsAreCutAt99Characters) {
  Fl_Value v(10, 10, 80, 20, "x");
  std::string longer(150, 'a');
  v.val(longer.c_str());
  EXPECT_EQ(std::string(99, 'a'), v.buf);
  EXPECT_EQ(std::string(99, 'a'), v.str);
  // a cut never leaves half a character: 98 ASCII then a two-byte one
  std::string utf = std::string(98, 'b') + "\xc3\xa9" + "tail";
  v.val(utf.c_str());
  EXPECT_EQ(std::string(98, 'b'), v.buf);
  v.val("%0120d");
  v.val(5);
  EXPECT_EQ(99u, strlen(v.buf));
  EXPECT_EQ('0', v.buf[98]);
  std::string fmt = "%5d" + std::string(93, 'c') + "\xc3\xa9";
  v.val(fmt.c_str());
  v.val(1);
  EXPECT_EQ("    1" + std::string(93, 'c'), v.buf);
}

TEST(ValueWidget, DrawsItsTextOnItsBackground) {
  Fl_Window top(200, 60);
  Fl_Value *v = new Fl_Value(60, 10, 100, 30, "Rate:", "88888");
  v->color(FL_WHITE);
  v->labelsize(20);
  top.end();
  top.show();
  keep_contents(&top);
  ASSERT_TRUE(run_until([&] { return top.visible(); }, 5));
  settle(0.3);
  top.make_current();
  unsigned char *p = fl_read_image(nullptr, 60, 10, 100, 30);
  int black = 0, white = 0;
  for (int i = 0; i < 100 * 30; i++) {
    if (p[3 * i] == 0 && p[3 * i + 1] == 0 && p[3 * i + 2] == 0) black++;
    if (p[3 * i] == 255 && p[3 * i + 1] == 255 && p[3 * i + 2] == 255) white++;
  }
  delete[] p;
  EXPECT_GT(black, 40);
  EXPECT_GT(white, 1000);
}

}  // namespace
