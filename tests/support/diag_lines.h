// The library's lines of one test, from vz_diag's sink or from dcamDebug,
// and a matcher that prints them all when the line looked for is missing.
#ifndef DIAG_LINES_H
#define DIAG_LINES_H

#include <gmock/gmock.h>

#include <string>
#include <vector>

struct DiagLines {
  static std::vector<std::string> &lines() {
    static std::vector<std::string> l;
    return l;
  }
  static void sink(char *line) { lines().push_back(line); }
  static void clear() { lines().clear(); }
  static std::string all() {
    std::string s;
    for (const std::string &l : lines()) s += l + "\n";
    return s;
  }
};

MATCHER_P(HasLine, text,
          std::string(negation ? "has no" : "has a") + " library line containing \"" +
              std::string(text) + "\"") {
  for (const std::string &l : arg)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

#endif
