// Shared by the tests of the emulated FireWire bus: they run through
// scripts/with-emulated-bus (ctest does so), one test per process, since
// the bus reads its configuration once, at the first use.
#ifndef EMULATED_SUPPORT_H
#define EMULATED_SUPPORT_H

#include <dc1394/dc1394.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "devices/sim/sim_device.h"
#include "emulated_bus.h"
#include "test_support.h"

// A test hook of the preloaded bus.
#define EMU(name) (reinterpret_cast<decltype(&name)>(dlsym(RTLD_DEFAULT, #name)))

const uint64_t DCAM_REGS = 0xF00000;   // offsets as dc1394_get_registers takes them

class EmulatedBus : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dlsym(RTLD_DEFAULT, "virizeda_emu_nodes"))
        << "run on the emulated bus: scripts/with-emulated-bus " << "test";
    static bool used = false;
    if (used) GTEST_SKIP() << "one test per process (as ctest runs them)";
    used = true;
  }

  void TearDown() override {
    // libdc1394 frees a capture's frames only when stopping it succeeds: a
    // camera whose capture cannot be stopped (unplugged) is kept, as the
    // library's device does, so what is left is reachable, not leaked
    // (never destroyed: the leak check runs after static destructors)
    static auto *unstopped = new std::vector<dc1394camera_t *>;
    for (dc1394camera_t *c : cams_) {
      if (!c) continue;
      dc1394error_t e = dc1394_capture_stop(c);
      if (e == DC1394_SUCCESS || e == DC1394_CAPTURE_IS_NOT_SET) dc1394_camera_free(c);
      else unstopped->push_back(c);
    }
    if (list_) dc1394_camera_free_list(list_);
    if (dc_) dc1394_free(dc_);
  }

  void configure(const std::string &json) {
    write_file(dir_.file("bus.json"), json);
    setenv("VIRIZEDA_SIM_CONFIG", dir_.file("bus.json").c_str(), 1);
  }

  // Enumerates the bus through libdc1394 and opens every camera.
  void open_all() {
    dc_ = dc1394_new();
    ASSERT_NE(dc_, nullptr);
    ASSERT_EQ(dc1394_camera_enumerate(dc_, &list_), DC1394_SUCCESS);
    for (uint32_t i = 0; i < list_->num; i++) {
      cams_.push_back(dc1394_camera_new(dc_, list_->ids[i].guid));
      ASSERT_NE(cams_.back(), nullptr) << "camera " << i;
    }
  }

  // The same cameras made in this process, as the simulated bus makes them.
  std::vector<std::unique_ptr<vz::SimDevice>> reference() {
    BusConfig conf;
    std::vector<std::unique_ptr<vz::SimDevice>> devs;
    std::string why;
    EXPECT_TRUE(vz::sim_bus_devices(&conf, &devs, &why)) << why;
    return devs;
  }

  TempDir dir_;
  ScopedEnv config_{"VIRIZEDA_SIM_CONFIG", nullptr};
  ScopedEnv state_{"VIRIZEDA_SIM_STATE", nullptr};
  ScopedEnv faults_{"VIRIZEDA_EMU_FAULTS", nullptr};
  dc1394_t *dc_ = nullptr;
  dc1394camera_list_t *list_ = nullptr;
  std::vector<dc1394camera_t *> cams_;
};

inline uint32_t reg(dc1394camera_t *c, uint64_t off) {
  uint32_t v = 0xdeadbeef;
  EXPECT_EQ(dc1394_get_registers(c, off, &v, 1), DC1394_SUCCESS) << std::hex << off;
  return v;
}

#endif
