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

// The ids of the program's visible windows whose names match the pattern.
std::vector<std::string> windows(pid_t pid, const std::string &name) {
  std::string out = run("xdotool search --onlyvisible --pid " + std::to_string(pid) +
                        " --name " + shell_quote(name) + " 2>/dev/null");
  std::vector<std::string> ids;
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    if (end > at) ids.push_back(out.substr(at, end - at));
    at = end + 1;
  }
  return ids;
}

// The id of the program's visible main window, waiting for it to show.
std::string find_window(pid_t pid, double seconds) {
  // the title's parentheses and dot are regex characters
  const std::string title = "Orvane Design DCAM Capture \\(2\\.0\\)";
  for (int i = 0; i < seconds * 10; i++) {
    std::vector<std::string> ids = windows(pid, title);
    if (!ids.empty()) return ids[0];
    usleep(100000);
  }
  return "";
}

// Waits until the program shows more windows than it had: a menu that
// opened. The menu has no title, so every window counts.
bool more_windows(pid_t pid, size_t before, double seconds) {
  for (int i = 0; i < seconds * 10; i++) {
    if (windows(pid, "").size() > before) return true;
    usleep(100000);
  }
  return false;
}

TEST(CaptureProgram, ShowsItsMainWindowAndExitsFromTheFileMenu) {
  TempDir dir;
  Program p(CAPTURE_BIN, dir.file("out.txt"), nullptr);
  std::string id = find_window(p.pid, 15);
  ASSERT_FALSE(id.empty()) << "no main window";
  std::string geometry = run("xdotool getwindowgeometry " + id);
  EXPECT_NE(std::string::npos, geometry.find("327x377")) << geometry;
  usleep(500000);  // let the first frames of drawing land
  EXPECT_EQ(0, system(("/usr/bin/import -window " + id + " " +
                       shell_quote(dir.file("capture-main.png")))
                          .c_str()));
  // File, then its entry "Exit", where the layout puts them; the second
  // click waits for the menu, however long a busy machine takes to open it
  size_t shown = windows(p.pid, "").size();
  run("xdotool windowraise " + id + " mousemove --window " + id + " 15 10 click 1");
  ASSERT_TRUE(more_windows(p.pid, shown, 30)) << "the File menu did not open";
  run("xdotool mousemove --window " + id + " 20 66 click 1");
  EXPECT_EQ(0, p.wait_exit(30));
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
