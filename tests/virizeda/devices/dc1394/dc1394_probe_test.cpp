// Choosing the bus, and the FireWire nodes that are there but cannot be
// opened.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/bus_choice.h"
#include "devices/dc1394/dc1394_probe.h"
#include "iidc/iidc.h"
#include "iidc/rom.h"
#include "test_support.h"

using namespace vz;

namespace {

BusProbe probed(int cameras, int nodes) {
  BusProbe p;
  p.done = true;
  for (int i = 0; i < cameras; ++i) p.ids.push_back({0, (uint64_t)i});
  for (int i = 0; i < nodes; ++i) {
    FwNode n;
    n.path = "/dev/fw" + std::to_string(i);
    p.nodes.push_back(n);
  }
  return p;
}

// The library's table with probes that look at no machine.
struct Seen {
  const char *conf = nullptr;  // VIRIZEDA_SIM_CONFIG
  BusProbe probe;              // what libdc1394 would find
  int probes = 0;
  bool named = false;
} seen;

bool sim_probe(bool, std::string *why) {
  if (!seen.conf) return false;
  *why = std::string("simulated bus (VIRIZEDA_SIM_CONFIG=") + seen.conf + ")";
  return true;
}

bool dc1394_probe(bool named, std::string *why) {
  ++seen.probes;
  seen.named = named;
  return dc1394_probe_says(seen.probe, why);
}

const BusRow kRows[] = {
    {"sim", "simulated", "simulated bus", 0, nullptr, true, sim_probe, nullptr},
    {"1394", "libdc1394", "libdc1394 bus", 1,
     "libdc1394 when it finds a camera or a FireWire node", false, dc1394_probe, nullptr},
};

}  // namespace

TEST(BusChoice, EnvironmentFirstThenWhatIsConnected) {
  struct Case {
    const char *bus, *conf;
    int cams, nodes;
    const char *taken;  // null: none
    int probes;         // of libdc1394
    const char *says;
  } cases[] = {
      {"1394", nullptr, 0, 0, "1394", 1, "libdc1394 bus (VIRIZEDA_BUS=1394)"},
      {"1394", "/x.json", 0, 0, "1394", 1, "libdc1394 bus (VIRIZEDA_BUS=1394)"},
      {"sim", nullptr, 3, 2, "sim", 0, "simulated bus (VIRIZEDA_BUS=sim)"},
      {nullptr, "/x.json", 3, 2, "sim", 0, "simulated bus (VIRIZEDA_SIM_CONFIG=/x.json)"},
      {nullptr, nullptr, 1, 0, "1394", 1, "libdc1394 bus: it finds 1 camera"},
      {nullptr, nullptr, 2, 1, "1394", 1, "libdc1394 bus: it finds 2 cameras"},
      {nullptr, nullptr, 0, 1, "1394", 1,
       "libdc1394 bus: FireWire node /dev/fw0 exists, though no camera is found"},
      {nullptr, nullptr, 0, 0, "sim", 1, "simulated bus: no FireWire node and no camera found"},
      {"usb", nullptr, 1, 1, nullptr, 0,
       "VIRIZEDA_BUS \"usb\" names no bus; accepted values: sim (simulated), 1394 "
       "(libdc1394); unset: libdc1394 when it finds a camera or a FireWire node, else sim"},
      {"", nullptr, 0, 0, "sim", 1, "simulated bus: no FireWire node and no camera found"},
  };
  for (const Case &c : cases) {
    seen = Seen();
    seen.conf = c.conf;
    seen.probe = probed(c.cams, c.nodes);
    BusChoice got = choose_buses(kRows, 2, c.bus);
    std::string what = std::string(c.bus ? c.bus : "unset") + " " +
                       std::to_string(c.cams) + " " + std::to_string(c.nodes);
    if (c.taken) {
      ASSERT_EQ(got.taken.size(), 1u) << what;
      EXPECT_STREQ(got.taken[0]->name, c.taken) << what;
    } else {
      EXPECT_TRUE(got.taken.empty()) << what;
    }
    EXPECT_EQ(got.why, c.says) << what;
    // the environment decides without a look at the bus
    EXPECT_EQ(seen.probes, c.probes) << what;
    if (seen.probes) {
      EXPECT_EQ(seen.named, c.bus && *c.bus) << what;
    }
  }
}

namespace {

// A network bus beside them: what it finds, and whether it was named when
// it looked (the only time it may search the network).
struct NetSeen {
  bool finds = false;
  std::vector<bool> named;
} net;

bool net_probe(bool named, std::string *why) {
  net.named.push_back(named);
  *why = net.finds ? "network bus: it finds 1 camera" : "no network camera";
  return net.finds;
}

const BusRow kThreeRows[] = {
    {"net", "network", "network bus", 2, "the network when it finds a camera", false,
     net_probe, nullptr},
    {"sim", "simulated", "simulated bus", 0, nullptr, true, sim_probe, nullptr},
    {"1394", "libdc1394", "libdc1394 bus", 1,
     "libdc1394 when it finds a camera or a FireWire node", false, dc1394_probe, nullptr},
};

std::string names(const BusChoice &c) {
  std::string s;
  for (const BusRow *r : c.taken) s += (s.empty() ? "" : ",") + std::string(r->name);
  return s;
}

}  // namespace

TEST(BusChoice, ListsAndSeveralRealBusesInPlaceOrderAndNoUnaskedSearch) {
  struct Case {
    const char *bus;
    int cams;
    bool net_finds;
    const char *taken;  // names by place; empty: none
    const char *says;
    std::vector<bool> net_named;  // the network bus's looks
  } cases[] = {
      {"net,sim,1394", 0, false, "sim,1394,net",
       "simulated bus, libdc1394 bus, network bus (VIRIZEDA_BUS=net,sim,1394)", {true}},
      {"1394,1394", 0, false, "1394", "libdc1394 bus (VIRIZEDA_BUS=1394,1394)", {}},
      {"sim,usb", 1, true, "",
       "VIRIZEDA_BUS \"sim,usb\": \"usb\" names no bus; accepted values: net (network), sim "
       "(simulated), 1394 (libdc1394); unset: the network when it finds a camera, libdc1394 "
       "when it finds a camera or a FireWire node, else sim",
       {}},
      {"sim,", 1, true, "", nullptr, {}},
      {nullptr, 2, true, "1394,net",
       "libdc1394 bus: it finds 2 cameras; network bus: it finds 1 camera", {false}},
      {nullptr, 0, true, "net", "network bus: it finds 1 camera", {false}},
      {nullptr, 0, false, "sim",
       "simulated bus: no FireWire node and no camera found; no network camera", {false}},
  };
  for (const Case &c : cases) {
    seen = Seen();
    seen.probe = probed(c.cams, 0);
    net = NetSeen();
    net.finds = c.net_finds;
    BusChoice got = choose_buses(kThreeRows, 3, c.bus);
    std::string what = c.bus ? c.bus : "unset";
    EXPECT_EQ(names(got), c.taken) << what;
    if (c.says) {
      EXPECT_EQ(got.why, c.says) << what;
    } else {
      EXPECT_NE(got.why.find("\"\" names no bus; accepted values: "), std::string::npos)
          << got.why;
    }
    EXPECT_EQ(net.named, c.net_named) << what;
  }
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
