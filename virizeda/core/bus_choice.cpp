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

// The rows a comma list names, by place, each once; false with the element
// that names none.
bool named_rows(const BusRow *rows, size_t n, const std::string &list,
                std::vector<const BusRow *> *out, std::string *bad) {
  size_t pos = 0;
  for (;;) {
    size_t comma = std::min(list.find(',', pos), list.size());
    std::string name = list.substr(pos, comma - pos);
    const BusRow *row = nullptr;
    for (size_t i = 0; i < n && !row; ++i)
      if (name == rows[i].name) row = &rows[i];
    if (!row) {
      *bad = name;
      return false;
    }
    if (std::find(out->begin(), out->end(), row) == out->end()) out->push_back(row);
    if (comma == list.size()) break;
    pos = comma + 1;
  }
  std::stable_sort(out->begin(), out->end(),
                   [](const BusRow *a, const BusRow *b) { return a->place < b->place; });
  return true;
}

}  // namespace

BusChoice choose_buses(const BusRow *rows, size_t n, const char *bus_env) {
  if (!bus_env || !*bus_env) return automatic(rows, n);
  BusChoice c;
  std::string bad;
  if (!named_rows(rows, n, bus_env, &c.taken, &bad)) {
    std::string what = std::string("VIRIZEDA_BUS \"") + bus_env + "\"";
    if (bad != bus_env) what += ": \"" + bad + "\"";
    return {{}, what + " names no bus; " + accepted(rows, n)};
  }
  std::vector<std::string> titles;
  for (const BusRow *r : c.taken) {
    std::string ignored;  // named: taken whatever it finds
    if (r->probe) r->probe(true, &ignored);
    titles.push_back(r->title);
  }
  c.why = join(titles, ", ") + " (VIRIZEDA_BUS=" + bus_env + ")";
  return c;
}

}  // namespace vz
