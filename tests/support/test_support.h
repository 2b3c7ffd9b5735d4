// Helpers shared by the test programs: temporary directories, environment
// overrides, and answers to the toolkit's modal dialogs.
#ifndef TEST_SUPPORT_H
#define TEST_SUPPORT_H

#include <functional>
#include <set>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or with a null value unsets) one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value);
  ~ScopedEnv();

 private:
  std::string name_;
  std::string old_;
  bool had_;
};

std::string read_file(const std::string &path);
// The text as one word for the shell: paths with blanks, colons or quotes
// reach system() and popen() whole.
std::string shell_quote(const std::string &text);
// names in a directory, without "." entries
std::set<std::string> files_in(const std::string &path);
// /dev/full and the like must stay what they are
bool is_char_device(const char *path);
void write_file(const std::string &path, const std::string &data);

// Answers the modal dialogs that the code under test opens (fl_ask,
// fl_alert, fl_file_chooser). Each answer is one of:
//   a button label ("Yes", "No", "Close", "Cancel") to press, or
//   "file:" followed by a path, to pick that file in a file chooser.
// Every dialog answered is recorded with its title and texts.
struct SeenDialog {
  std::string title;              // window label
  std::vector<std::string> texts; // labels and values of its widgets
  std::string answer;
};

class DialogAnswerer {
 public:
  explicit DialogAnswerer(std::vector<std::string> answers);
  ~DialogAnswerer();
  const std::vector<SeenDialog> &seen() const { return seen_; }
  // true when the dialog texts of any seen dialog contain the text
  bool saw(const std::string &text) const;
  size_t pending() const { return answers_.size() - next_; }

 private:
  static void poll(void *self);
  void answer_modal();
  std::vector<std::string> answers_;
  size_t next_ = 0;
  class Fl_Window *settling_ = nullptr;  // modal window seen at the last poll
  unsigned long settling_pass_ = 0;      // the event loop pass it was first seen in
  std::vector<SeenDialog> seen_;
};

class Fl_Window;
// Makes the X server keep a shown window's contents while other windows (of
// tests running in parallel) cover it, so that reading pixels back is sure.
// Call right after show(), before anything is drawn.
void keep_contents(Fl_Window *w);

// Runs the toolkit's event loop (Fl::wait) until cond() holds or the time
// runs out; returns cond().
bool run_until(const std::function<bool()> &cond, double seconds);
// Lets the toolkit handle what is pending for a short while (redraws).
void settle(double seconds = 0.2);

#endif
