// Shared by the tests of our camera library: a fresh simulated bus per test,
// opened from a configuration text or the defaults, with the library's
// diagnostic lines collected.
#ifndef VIRIZEDA_TEST_UTIL_H
#define VIRIZEDA_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dcam.h"
#include "diag_lines.h"
#include "test_support.h"
#include "virizeda_sim.h"

class SimBusTest : public ::testing::Test {
 protected:
  SimBusTest()
      : config_env_("VIRIZEDA_SIM_CONFIG", nullptr),
        state_env_("VIRIZEDA_SIM_STATE", nullptr) {}

  void SetUp() override {
    DiagLines::clear();
    dcamDebug = DiagLines::sink;
    vzsim::clear_calls();
  }

  void TearDown() override {
    delete dSys;
    dSys = nullptr;
    dcamDebug = nullptr;
  }

  // Opens the bus with this configuration text (an empty text: defaults).
  void open_bus(const std::string &config = "") {
    if (!config.empty()) {
      write_file(dir_.file("bus.json"), config);
      setenv("VIRIZEDA_SIM_CONFIG", dir_.file("bus.json").c_str(), 1);
    }
    dSysInit();
  }

  dCamera *open_camera(int n, const std::string &config = "") {
    open_bus(config);
    if (!dSys) return nullptr;
    return dSys->InitCamera(n);
  }

  unsigned long read(dCamera *c, unsigned long addr) {
    unsigned long v = 0xdeadbeef;
    EXPECT_TRUE(c->ReadQuadlet(addr, &v)) << std::hex << addr;
    return v;
  }

  TempDir dir_;
  ScopedEnv config_env_, state_env_;
};

#endif
