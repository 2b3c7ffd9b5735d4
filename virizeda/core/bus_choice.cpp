#include "core/bus_choice.h"

#include <string.h>

#include <algorithm>

namespace vz {

namespace {

std::string join(const std::vector<std::string> &parts, const char *sep) {
  std::string s;
  for (const std::string &p : parts) s += (s.empty() ? "" : sep) + p;
  return s;
}

// "accepted values: sim (simulated), 1394 (libdc1394); unset: libdc1394
// when it finds ..., else sim"
std::string accepted(const BusRow *rows, size_t n) {
  std::vector<std::string> names, rules;
  const char *fallback = nullptr;
  for (size_t i = 0; i < n; ++i) {
    names.push_back(std::string(rows[i].name) + " (" + rows[i].label + ")");
    if (rows[i].when) rules.push_back(rows[i].when);
    if (rows[i].fallback && !fallback) fallback = rows[i].name;
  }
  std::string s = "accepted values: " + join(names, ", ") + "; unset: " + join(rules, ", ");
  if (fallback) s += std::string(rules.empty() ? "" : ", else ") + fallback;
  return s;
}

std::vector<const BusRow *> by_place(const BusRow *rows, size_t n) {
  std::vector<const BusRow *> out;
  for (size_t i = 0; i < n; ++i) out.push_back(&rows[i]);
  std::stable_sort(out.begin(), out.end(),
                   [](const BusRow *a, const BusRow *b) { return a->place < b->place; });
  return out;
}

BusChoice automatic(const BusRow *rows, size_t n) {
  BusChoice c;
  std::vector<const BusRow *> order = by_place(rows, n);
  const BusRow *fallback = nullptr;
  for (const BusRow *r : order) {
    if (!r->fallback) continue;
    if (!fallback) fallback = r;
    std::string why;
    if (r->probe && r->probe(false, &why)) return {{r}, why};
  }
  std::vector<std::string> yes, no;
  for (const BusRow *r : order) {
    if (r->fallback || !r->when) continue;
    std::string why;
    if (r->probe(false, &why)) {
      c.taken.push_back(r);
      yes.push_back(why);
    } else if (!why.empty()) {
      no.push_back(why);
    }
  }
  if (!c.taken.empty()) {
    c.why = join(yes, "; ");
  } else if (fallback) {
    c.taken.push_back(fallback);
    c.why = std::string(fallback->title) + ": " + join(no, "; ");
  } else {
    c.why = "no bus: " + join(no, "; ");
  }
  return c;
}

}  // namespace

BusChoice choose_buses(const BusRow *rows, size_t n, const char *bus_env) {
  if (!bus_env || !*bus_env) return automatic(rows, n);
  for (size_t i = 0; i < n; ++i) {
    if (strcmp(rows[i].name, bus_env) != 0) continue;
    std::string ignored;  // named: taken whatever it finds
    if (rows[i].probe) rows[i].probe(true, &ignored);
    return {{&rows[i]}, std::string(rows[i].title) + " (VIRIZEDA_BUS=" + bus_env + ")"};
  }
  return {{}, std::string("VIRIZEDA_BUS \"") + bus_env + "\" names no bus; " +
                  accepted(rows, n)};
}

}  // namespace vz
