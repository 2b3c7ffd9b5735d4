// Choosing the bus, and the FireWire nodes that are there but cannot be
// opened.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "devices/dc1394/dc1394_probe.h"
#include "iidc/iidc.h"
#include "test_support.h"

using namespace vz;

namespace {

BusProbe probed(int cameras, int nodes) {
  BusProbe p;
  p.done = true;  // choose_bus must not look at the real machine
  for (int i = 0; i < cameras; ++i) p.ids.push_back({0, (uint64_t)i});
  for (int i = 0; i < nodes; ++i) {
    FwNode n;
    n.path = "/dev/fw" + std::to_string(i);
    p.nodes.push_back(n);
  }
  return p;
}

}  // namespace

TEST(BusChoice, EnvironmentFirstThenWhatIsConnected) {
  std::string why;
  struct Case {
    const char *bus, *conf;
    int cams, nodes;
    BusKind want;
    const char *says;
  } cases[] = {
      {"1394", nullptr, 0, 0, BusKind::DC1394, "VIRIZEDA_BUS=1394"},
      {"1394", "/x.json", 0, 0, BusKind::DC1394, "VIRIZEDA_BUS=1394"},
      {"sim", nullptr, 3, 2, BusKind::SIM, "VIRIZEDA_BUS=sim"},
      {nullptr, "/x.json", 3, 2, BusKind::SIM, "VIRIZEDA_SIM_CONFIG=/x.json"},
      {nullptr, nullptr, 1, 0, BusKind::DC1394, "finds 1 camera"},
      {nullptr, nullptr, 2, 1, BusKind::DC1394, "finds 2 cameras"},
      {nullptr, nullptr, 0, 1, BusKind::DC1394, "/dev/fw0 exists"},
      {nullptr, nullptr, 0, 0, BusKind::SIM, "no FireWire node and no camera"},
      {"usb", nullptr, 1, 1, BusKind::NONE, "\"usb\" names no bus; accepted values: sim"},
      {"", nullptr, 0, 0, BusKind::SIM, "no FireWire node"},  // empty is unset
  };
  for (const Case &c : cases) {
    BusProbe p = probed(c.cams, c.nodes);
    EXPECT_EQ(choose_bus(c.bus, c.conf, &p, "/nonexistent", &why), c.want)
        << (c.bus ? c.bus : "unset") << " " << c.cams << " " << c.nodes;
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
  }
  // the environment decides without a look at the bus
  BusProbe fresh;
  choose_bus("sim", nullptr, &fresh, "/nonexistent", &why);
  choose_bus(nullptr, "/x.json", &fresh, "/nonexistent", &why);
  EXPECT_FALSE(fresh.done);
}

TEST(BusChoice, NodesAreListedAndAnUnopenableOneIsExplained) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  write_file(dir.file("fw0"), "");  // opens, but is no FireWire node
  write_file(dir.file("fw12"), "");
  write_file(dir.file("fwx"), "");  // not fw<digit>
  write_file(dir.file("fw"), "");
  write_file(dir.file("video0"), "");
  chmod(dir.file("fw0").c_str(), 0666);
  chmod(dir.file("fw12").c_str(), 0600);
  if (getuid() != 0) chmod(dir.file("fw12").c_str(), 0);

  auto check = [&]() -> bool {
    std::vector<FwNode> nodes = fw_nodes(dir.path().c_str());
    if (nodes.size() != 2 || nodes[0].path != dir.file("fw0") ||
        nodes[1].path != dir.file("fw12"))
      return false;
    if (nodes[0].open_errno != 0 || nodes[0].iidc || nodes[1].open_errno != EACCES)
      return false;
    std::string text = fw_node_problem(nodes[1]);
    return text.find(dir.file("fw12")) != std::string::npos &&
           text.find("Permission denied") != std::string::npos &&
           text.find("video group") != std::string::npos &&
           text.find("60-virizeda-iidc.rules") != std::string::npos;
  };
  if (getuid() != 0) {
    EXPECT_TRUE(check());
    return;
  }
  // root opens everything: look as an ordinary user would
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // a node that is gone between listing and opening has its own reason
  FwNode gone;
  gone.path = "/dev/fw9";
  gone.open_errno = ENOENT;
  std::string text = fw_node_problem(gone);
  EXPECT_NE(text.find("/dev/fw9"), std::string::npos);
  EXPECT_NE(text.find("No such file"), std::string::npos);
  EXPECT_EQ(text.find("video group"), std::string::npos);
}

// What the emulated bus cannot show: a kernel copy shorter than the ROM's
// directories reach, and a name leaf missing (libdc1394 reads register 0).
TEST(RomCheck, ShortCopiesAndMissingLeavesAreFound) {
  uint32_t rom[iidc::ROM_QUADS];
  iidc::rom_build(rom, 0x0a1394ull << 40 | 1ull << 32 | 0x00050042u, 400, "Test");
  std::vector<uint32_t> udds;
  EXPECT_EQ(rom_listing_fault(rom, iidc::ROM_QUADS, &udds), "");
  ASSERT_EQ(udds, std::vector<uint32_t>{0x444});
  EXPECT_NE(rom_listing_fault(rom, 20, &udds).find("past its end"), std::string::npos);
  rom[iidc::ROM_UNIT_DEP + 4] = 0x38000010u;  // no model leaf
  auto read = [&](uint32_t off, uint32_t *v) {
    *v = off ? rom[(off - 0x400) / 4] : 0;  // register 0 reads 0
    return true;
  };
  EXPECT_EQ(rom_opening_fault(read, 0x444), "a vendor or model text leaf is missing");
}
