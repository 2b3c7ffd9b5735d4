// The real capture program under the test's X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// A child process whose standard output goes to a file.
struct Program {
  pid_t pid = -1;
  std::string out;

  Program(const std::string &bin, const std::string &out_file,
          const char *config) : out(out_file) {
    pid = fork();
    if (pid == 0) {
      FILE *f = freopen(out_file.c_str(), "w", stdout);
      if (!f) _exit(126);
      if (!freopen((out_file + ".err").c_str(), "w", stderr)) _exit(126);
      if (config) setenv("VIRIZEDA_SIM_CONFIG", config, 1);
      else unsetenv("VIRIZEDA_SIM_CONFIG");
      execl(bin.c_str(), bin.c_str(), "--ignored-argument", (char *)nullptr);
      _exit(127);
    }
  }
  // The exit status, or -1 when it did not end within the time.
  int wait_exit(double seconds) {
    for (int i = 0; i < seconds * 20; i++) {
      int status = 0;
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(50000);
    }
    return -1;
  }
  ~Program() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

std::string run(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[256];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The id of the program's visible main window, waiting for it to show.
std::string find_window(pid_t pid, double seconds) {
  // the title's parentheses and dot are regex characters
  std::string cmd = "xdotool search --onlyvisible --pid " + std::to_string(pid) +
        " --name 'Orvane Design DCAM Capture \\(2\\.0\\)' 2>/dev/null | head -1";
  for (int i = 0; i < seconds * 10; i++) {
    std::string id = run(cmd);
    if (!id.empty()) return id;
    usleep(100000);
  }
  return "";
}

TEST(CaptureProgram, ShowsItsMainWindowAndExitsFromTheFileMenu) {
  TempDir dir;
  Program p(CAPTURE_BIN, dir.file("out.txt"), nullptr);
  std::string id = find_window(p.pid, 15);
  ASSERT_FALSE(id.empty()) << "no main window";
  std::string geometry = run("xdotool getwindowgeometry " + id);
  EXPECT_NE(std::string::npos, geometry.find("327x377")) << geometry;
  usleep(500000);  // let the first frames of drawing land
  std::string shot = std::string(TEST_BINARY_DIR) + "/capture-main.png";
  EXPECT_EQ(0, system(("/usr/bin/import -window " + id + " " + shell_quote(shot))
                          .c_str()));
  // File, then its entry "Exit", where the layout puts them; a busy
  // machine may not have opened the menu in time for the second click
  int status = -1;
  for (int attempt = 1; attempt <= 3 && status == -1; attempt++) {
    run("xdotool mousemove --window " + id + " 15 10 click 1");
    usleep(400000 * attempt);
    run("xdotool mousemove --window " + id + " 20 66 click 1");
    status = p.wait_exit(5 * attempt);
  }
  EXPECT_EQ(0, status);
}

TEST(CaptureProgram, BusFailure) {
  TempDir dir;
  std::string config = dir.file("bus.json");
  write_file(config, "{\"bus_fail\":true}");
  Program p(CAPTURE_BIN, dir.file("out.txt"), config.c_str());
  EXPECT_EQ(255, p.wait_exit(15));
  EXPECT_EQ("Can't initialize IEEE 1394 bus\n", read_file(dir.file("out.txt")));
}

TEST(CaptureProgram, BusFailureReasonGoesToStandardError) {
  TempDir dir;
  std::string config = dir.file("bus.json");
  write_file(config, "{\"cameras\": [{\"colour\": true}]}");
  Program p(CAPTURE_BIN, dir.file("out.txt"), config.c_str());
  EXPECT_EQ(255, p.wait_exit(15));
  EXPECT_EQ("Can't initialize IEEE 1394 bus\n", read_file(dir.file("out.txt")));
  std::string err = read_file(dir.file("out.txt.err"));
  EXPECT_NE(std::string::npos, err.find("camera 0: unknown key \"colour\"\n"))
      << err;
}

}  // namespace
