// The ways capture ends: File/Exit, closing its windows, a bus failure.
#include "capture_fixture.h"

#include <FL/Fl_Menu_Bar.H>
#include <stdio.h>
#include <unistd.h>

int capture_main(int, char **);  // capture's main, renamed in capture_core

namespace {

class CaptureExit : public CaptureTest {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CaptureExit, FileExitEndsWithStatusZero) {
  EXPECT_EXIT(
      {
        start();
        const Fl_Menu_Item *exit_item = mainw->menubar->find_item("File/Exit");
        if (!exit_item) _exit(3);
        mainw->menubar->picked(exit_item);
        _exit(4);  // not reached: Exit ends the process
      },
      testing::ExitedWithCode(0), "");
}

TEST_F(CaptureExit, BusFailureEndsWith255) {
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the message goes to standard output
        start("{\"bus_fail\":true}");
        _exit(4);
      },
      testing::ExitedWithCode(255), "\nCan't initialize IEEE 1394 bus\n");
}

// capture's whole main on the default bus
int run_capture_main() {
  reset_capture();
  ScopedEnv bus("VIRIZEDA_SIM_CONFIG", nullptr);
  char name[] = "capture";
  char *argv[] = {name, nullptr};
  return capture_main(1, argv);
}

void close_main_show_debug(void *) {
  mainw->win->do_callback();  // as the window manager's close button
  debugWin->show();
}

void report_then_close_debug(void *) {
  fprintf(stderr, "still running with %s\n",
          mainw->win->shown() ? "main" : "debug only");
  debugWin->do_callback();
}

TEST_F(CaptureExit, EndsWhenTheLastWindowCloses) {
  EXPECT_EXIT(
      {
        Fl::add_timeout(0.3, close_main_show_debug);
        Fl::add_timeout(1.0, report_then_close_debug);
        int status = run_capture_main();
        fprintf(stderr, "main returned %d\n", status);
        fflush(stderr);
        _exit(status);
      },
      testing::ExitedWithCode(0), "still running with debug only\nmain returned 0");
}

}  // namespace
