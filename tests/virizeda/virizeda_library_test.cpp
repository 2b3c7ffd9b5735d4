// The library as a program meets it: the bus chosen by VIRIZEDA_BUS, and a
// shared object that shows only the camera interface and the test hooks.
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <regex>

#include "virizeda_test_util.h"

using Library = SimBusTest;

TEST_F(Library, BusIsChosenByVirizedaBusAndAnUnknownOneIsNamed) {
  {
    ScopedEnv bus("VIRIZEDA_BUS", "sim");
    open_bus();
    ASSERT_NE(dSys, nullptr);
    EXPECT_NE(strstr(dcamVersion, "simulated bus"), nullptr) << dcamVersion;
  }
  {
    ScopedEnv bus("VIRIZEDA_BUS", "firewire");
    DiagLines::clear();
    dSysInit();
    EXPECT_EQ(dSys, nullptr) << "an unknown bus opens nothing";
    EXPECT_THAT(DiagLines::lines(), HasLine("\"firewire\""));
    EXPECT_THAT(DiagLines::lines(), HasLine("accepted values: sim"));
    EXPECT_EQ(strstr(dcamVersion, "simulated bus"), nullptr) << dcamVersion;
  }
  ScopedEnv unset("VIRIZEDA_BUS", nullptr);
  dSysInit();
  ASSERT_NE(dSys, nullptr) << "unset: the simulated bus";
  EXPECT_EQ(dSys->NumCameras(), 3);
  EXPECT_NE(strstr(dcamVersion, "simulated bus"), nullptr);
}

TEST_F(Library, SharedObjectExportsOnlyTheInterfaceAndTheHooks) {
  void *h = dlopen(VIRIZEDA_SO, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(h, nullptr) << dlerror();
  for (const char *name : {"dSys", "dcamDebug", "dcamVersion", "_Z8dSysInitv",
                           "_ZN7dCameraC2EP7dSystemi", "_ZTV7dCamera",
                           "_ZN5vzsim11clear_callsEv"})
    EXPECT_NE(dlsym(h, name), nullptr) << name;
  for (const char *name : {"_Z7vz_diagPKcz", "_Z10vz_mono_usv",
                           "_Z15vz_sim_bus_openv", "_Z14vz_default_busv",
                           "_ZTVN2vz6CameraE", "_ZTVN2vz9SimDeviceE"})
    EXPECT_EQ(dlsym(h, name), nullptr) << name << " should be hidden";
  dlclose(h);
  // and nothing else in the dynamic symbol table
  std::string cmd = std::string("nm -D --defined-only -C '") + VIRIZEDA_SO + "'";
  FILE *p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::regex allowed(
      "(dSys|dcamDebug|dcamVersion|dSysInit\\(\\)|dCamera::.*|dSystem::.*|"
      "vzsim::.*|(typeinfo|typeinfo name|vtable) for d(Camera|System))");
  char line[1024];
  int symbols = 0;
  while (fgets(line, sizeof line, p)) {
    std::string s(line);
    s.erase(s.find_last_not_of("\n") + 1);
    size_t cut = s.find(' ', s.find(' ') + 1);  // after address and kind
    ASSERT_NE(cut, std::string::npos) << s;
    EXPECT_TRUE(std::regex_match(s.substr(cut + 1), allowed)) << s;
    ++symbols;
  }
  EXPECT_EQ(pclose(p), 0);
  EXPECT_GT(symbols, 40) << "every method of the interface";
}
