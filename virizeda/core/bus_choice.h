// Which buses dSysInit opens: VIRIZEDA_BUS, else what each bus finds. The
// choice works on any table of buses (the library's is in buses.cpp), so
// its texts are read off the rows and a test can drive it with its own.
#ifndef VIRIZEDA_BUS_CHOICE_H
#define VIRIZEDA_BUS_CHOICE_H

#include <stddef.h>

#include <string>
#include <vector>

#include "core/dcam_api.h"

namespace vz {

struct BusRow {
  const char *name;   // its VIRIZEDA_BUS value: "sim", "1394"
  const char *label;  // in the list of accepted values: "simulated"
  const char *title;  // in dcamVersion and the reason line: "simulated bus"
  int place;          // order of the buses taken, and of their cameras
  // the automatic rule's words for it ("libdc1394 when it finds a camera");
  // null: never taken automatically
  const char *when;
  // taken when no other bus is; also taken alone, before any other bus is
  // probed, when its own probe says so (a configuration that asks for it)
  bool fallback;
  // Looks for the bus. named: VIRIZEDA_BUS names it, so it is taken
  // whatever this says and may look further (a probe that would be too
  // costly or too loud unasked). True: take it, *why is its whole reason
  // line; false: *why says what it did not find.
  bool (*probe)(bool named, std::string *why);
  // The bus opened; null, with the reason sent to the diagnostics, when it
  // cannot be.
  dSystem *(*open)();
};

struct BusChoice {
  std::vector<const BusRow *> taken;  // by place, each once; empty: none
  std::string why;                    // the one line that says which and why
};

// VIRIZEDA_BUS (null or empty: unset) names the rows taken, one or a comma
// list, probing only those; a list with an element that names no row takes
// none. Unset: a fallback row
// whose probe says yes alone, else every row with words for the automatic
// rule whose probe says yes, else the fallback.
BusChoice choose_buses(const BusRow *rows, size_t n, const char *bus_env);

}  // namespace vz

#endif
