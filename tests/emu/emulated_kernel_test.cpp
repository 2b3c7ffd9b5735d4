// The emulated /dev/fw* devices at the kernel interface: what a program
// that sends something wrong, or unsupported, gets back; the listing that
// hides real nodes; events one per read.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <string.h>
#include <sys/ioctl.h>
#include <arpa/inet.h>
#include <sys/mman.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <random>
#include <set>

#include "devices/sim/scene.h"
#include "emulated_support.h"

namespace {

#define U64(p) ((__u64)(uintptr_t)(p))

int open_fw0() {
  int fd = open("/dev/fw0", O_RDWR);
  EXPECT_GE(fd, 0) << strerror(errno);
  return fd;
}

uint32_t generation(int fd) {
  struct fw_cdev_event_bus_reset reset;
  struct fw_cdev_get_info info = {};
  info.version = 4;
  info.bus_reset = U64(&reset);
  EXPECT_EQ(ioctl(fd, FW_CDEV_IOC_GET_INFO, &info), 0);
  return reset.generation;
}

// Sends a request and reads its response event; the rcode, or -errno when
// the ioctl itself fails.
int request(int fd, uint32_t tcode, uint64_t offset, uint32_t *data, uint32_t len,
            uint32_t gen) {
  struct fw_cdev_send_request r = {};
  r.tcode = tcode;
  r.length = len;
  r.offset = offset;
  r.closure = 42;
  r.data = U64(data);
  r.generation = gen;
  if (ioctl(fd, FW_CDEV_IOC_SEND_REQUEST, &r) < 0) return -errno;
  unsigned char ev[64 + 4096];
  struct fw_cdev_event_response resp;
  do {   // other events (resources, resets) may come first
    ssize_t n = read(fd, ev, sizeof ev);
    EXPECT_GE(n, (ssize_t)sizeof resp);
    if (n < (ssize_t)sizeof resp) return -EIO;
    memcpy(&resp, ev, sizeof resp);
  } while (resp.type != FW_CDEV_EVENT_RESPONSE);
  EXPECT_EQ(resp.closure, 42u);
  if (resp.rcode == 0 && data) memcpy(data, ev + 20, resp.length);
  return (int)resp.rcode;
}

int err(int ret) { return ret < 0 ? errno : 0; }

}  // namespace

TEST_F(EmulatedBus, DevListsOnlyTheEmulatedNodes) {
  struct fw_cdev_get_cycle_timer t;
  std::set<std::string> fw;
  DIR *d = opendir("/dev");
  ASSERT_NE(d, nullptr);
  while (struct dirent *e = readdir(d))
    if (!strncmp(e->d_name, "fw", 2)) fw.insert(e->d_name);
  closedir(d);
  EXPECT_EQ(fw, (std::set<std::string>{"fw0", "fw1", "fw2", "fw3"})) << "and the host";
  errno = 0;
  EXPECT_EQ(open("/dev/fw4", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(openat(AT_FDCWD, "/dev/fw7", O_RDWR), -1);
  // other spellings of a node, links of any name included, reach the
  // emulation, never a real device
  ASSERT_EQ(symlink("/dev/fw0", dir_.file("cam0").c_str()), 0);
  ASSERT_EQ(symlink("cam0", dir_.file("again").c_str()), 0);
  int dev = open("/dev", O_RDONLY | O_DIRECTORY);
  int fds[] = {open("/dev/../dev//fw1", O_RDWR), openat(dev, "fw2", O_RDWR),
               open(dir_.file("cam0").c_str(), O_RDWR),
               open(dir_.file("again").c_str(), O_RDWR)};
  for (int fd : fds) {
    EXPECT_EQ(ioctl(fd, FW_CDEV_IOC_GET_CYCLE_TIMER, &t), 0) << "an emulated node";
    close(fd);
  }
  EXPECT_EQ(open("/dev//fw01", O_RDWR), -1);
  EXPECT_EQ(errno, ENOENT);
  close(dev);
}

// Arguments are copied through the kernel: one that runs into memory the
// program cannot reach fails whole, and nothing of it reaches the next call.
TEST_F(EmulatedBus, ArgumentsPartlyOutOfReachFailAndLeaveNothingBehind) {
  int fd = open_fw0();
  long page = sysconf(_SC_PAGESIZE);
  char *m = (char *)mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(m, MAP_FAILED);
  ASSERT_EQ(mprotect(m + page, page, PROT_NONE), 0);
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_GET_CYCLE_TIMER2, m + page - 8)), EFAULT);
  ASSERT_EQ(mprotect(m, page, PROT_READ), 0);
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_GET_CYCLE_TIMER, m)), EFAULT) << "read-only";
  struct fw_cdev_get_cycle_timer2 good = {};
  good.clk_id = CLOCK_MONOTONIC;
  struct timespec before, after;
  clock_gettime(CLOCK_MONOTONIC, &before);
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_GET_CYCLE_TIMER2, &good), 0);
  clock_gettime(CLOCK_MONOTONIC, &after);
  // the time of the clock asked for, read during the call
  long long at = good.tv_sec * 1000000000LL + good.tv_nsec;
  EXPECT_GE(at, before.tv_sec * 1000000000LL + before.tv_nsec);
  EXPECT_LE(at, after.tv_sec * 1000000000LL + after.tv_nsec);
  uint32_t q = 0;
  EXPECT_EQ(request(fd, TCODE_READ_QUADLET_REQUEST, 0xFFFFF0F00608ull, &q, 4,
                    generation(fd)), 0);
  munmap(m, 2 * page);
  close(fd);
}

TEST_F(EmulatedBus, RequestsTheKernelRefusesAreRefusedAlike) {
  int fd = open_fw0();
  uint32_t gen = generation(fd), q = 0;
  struct termios t;
  EXPECT_EQ(err(ioctl(fd, TCGETS, &t)), ENOTTY);
  EXPECT_EQ(err(ioctl(fd, _IOWR('#', 0x30, struct fw_cdev_get_info), &t)), ENOTTY);
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_GET_INFO, nullptr)), EFAULT);
  struct fw_cdev_get_info info = {};
  info.rom = 16;   // not the program's memory
  info.rom_length = 1024;
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_GET_INFO, &info)), EFAULT);
  EXPECT_EQ(request(fd, 3, 0xFFFFF0F00608ull, &q, 4, gen), -EINVAL) << "no such tcode";
  EXPECT_EQ(request(fd, TCODE_READ_BLOCK_REQUEST, 0xFFFFF0000400ull, nullptr, 8192, gen), -EIO);
  EXPECT_EQ(request(fd, TCODE_WRITE_QUADLET_REQUEST, 0xFFFFF0F00608ull,
                    (uint32_t *)16, 4, gen), -EFAULT);
  EXPECT_EQ(request(fd, TCODE_READ_QUADLET_REQUEST, 0xFFFFF0000200ull, &q, 4, gen),
            RCODE_ADDRESS_ERROR);
  uint32_t pair[2] = {0, 0};
  EXPECT_EQ(request(fd, TCODE_LOCK_COMPARE_SWAP, 0xFFFFF0F00608ull, pair, 8, gen),
            RCODE_TYPE_ERROR);
  EXPECT_EQ(request(fd, TCODE_READ_QUADLET_REQUEST, 0xFFFFF0F00608ull, &q, 4, gen + 1),
            RCODE_GENERATION);
  struct fw_cdev_send_request probe = {};
  probe.tcode = TCODE_WRITE_BLOCK_REQUEST;
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_SEND_BROADCAST_REQUEST, &probe)), EACCES);
  EXPECT_EQ(err(write(fd, "x", 1)), EINVAL);

  // isochronous resources: limits and handles as the kernel numbers them
  struct fw_cdev_allocate_iso_resource a = {};
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE, &a)), EINVAL);
  a.bandwidth = 5000;
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE, &a)), EINVAL);
  struct fw_cdev_deallocate dealloc = {7};
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE, &dealloc)), EINVAL);
  a.channels = 1ull << 5;
  a.bandwidth = 100;
  uint32_t handles[3];
  for (uint32_t &h : handles) {
    a.channels <<= 1;
    ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE, &a), 0);
    h = a.handle;
  }
  EXPECT_EQ(handles[0], 0u);
  EXPECT_EQ(handles[2], 2u);
  dealloc.handle = 0;
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_DEALLOCATE_ISO_RESOURCE, &dealloc), 0);
  a.channels <<= 1;
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_ALLOCATE_ISO_RESOURCE, &a), 0);
  EXPECT_EQ(a.handle, 0u) << "the lowest free handle, which libdc1394 relies on";

  // receive contexts and their buffer
  struct fw_cdev_create_iso_context ctx = {};
  ctx.type = FW_CDEV_ISO_CONTEXT_TRANSMIT;
  ctx.header_size = 8;
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_CREATE_ISO_CONTEXT, &ctx)), EINVAL);
  ctx.type = FW_CDEV_ISO_CONTEXT_RECEIVE;
  ctx.channel = 64;
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_CREATE_ISO_CONTEXT, &ctx)), EINVAL);
  ctx.channel = 3;
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_CREATE_ISO_CONTEXT, &ctx), 0);
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_CREATE_ISO_CONTEXT, &ctx)), EBUSY);
  uint32_t ctl = FW_CDEV_ISO_HEADER_LENGTH(8) | FW_CDEV_ISO_PAYLOAD_LENGTH(4096);
  struct fw_cdev_queue_iso qi = {U64(&ctl), 0, 4, 0};
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_QUEUE_ISO, &qi)), EINVAL) << "nothing mapped";
  EXPECT_EQ(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0), MAP_FAILED);
  void *buf = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(buf, MAP_FAILED);
  EXPECT_EQ(mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
  qi.data = U64((char *)buf + 6000);
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_QUEUE_ISO, &qi)), EINVAL) << "past the buffer";
  ctl = FW_CDEV_ISO_HEADER_LENGTH(12) | FW_CDEV_ISO_PAYLOAD_LENGTH(16);
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_QUEUE_ISO, &qi)), EINVAL) << "not whole headers";
  qi.packets = 16;
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_QUEUE_ISO, &qi)), EFAULT);
  struct fw_cdev_get_cycle_timer2 ct2 = {};
  ct2.clk_id = 99;
  EXPECT_EQ(err(ioctl(fd, FW_CDEV_IOC_GET_CYCLE_TIMER2, &ct2)), EINVAL);
  EXPECT_EQ(munmap(buf, 8192), 0);
  EXPECT_EQ(request(fd, TCODE_READ_QUADLET_REQUEST, 0xFFFFF0F00608ull, &q, 4, gen), 0)
      << "the node still answers";
  close(fd);
}

TEST_F(EmulatedBus, EventsComeOnePerReadCutToTheBuffer) {
  int fd = open_fw0();
  uint32_t gen = generation(fd), rom[4];
  struct fw_cdev_send_request r = {};
  r.tcode = TCODE_READ_BLOCK_REQUEST;
  r.length = 16;
  r.offset = 0xFFFFF0000400ull;
  r.generation = gen;
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_SEND_REQUEST, &r), 0);
  r.closure = 2;
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_SEND_REQUEST, &r), 0);
  unsigned char small[24], big[64];
  EXPECT_EQ(read(fd, small, sizeof small), (ssize_t)sizeof small);
  ASSERT_EQ(read(fd, big, sizeof big), 24 + 16);
  struct fw_cdev_event_response e;
  memcpy(&e, big, sizeof e);
  EXPECT_EQ(e.closure, 2u);
  EXPECT_EQ(e.length, 16u);
  memcpy(rom, big + 20, 16);
  EXPECT_EQ(ntohl(rom[1]), 0x31333934u) << "\"1394\", big-endian as on the bus";
  close(fd);
}

TEST_F(EmulatedBus, RandomRequestsNeverHurtTheEmulator) {
  std::mt19937_64 rng(1394);
  int fd = open_fw0();
  uint32_t gen = generation(fd);
  // pointers near the start of a larger mapping: whatever the emulator
  // writes there (a ROM, say) stays inside it
  void *buf = mmap(nullptr, 1 << 20, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(buf, MAP_FAILED);
  uint64_t arg[32];
  for (int i = 0; i < 20000; i++) {
    for (uint64_t &w : arg) w = rng();
    if (i % 3 == 0) arg[1] = U64(buf) + rng() % 70000;   // some into the buffer
    unsigned nr = rng() % 0x1a;
    unsigned size = rng() % 2 ? rng() % 64 : 24;
    unsigned long req = _IOC(rng() % 4, '#', nr, size);
    if (nr == 0x05 || nr == 0x16) continue;   // resets and PHY packets flood events
    ioctl(fd, req, arg);
    char ev[128];
    while (recv(fd, ev, sizeof ev, MSG_DONTWAIT) > 0) {
    }
  }
  uint32_t q = 0;
  EXPECT_EQ(request(fd, TCODE_READ_QUADLET_REQUEST, 0xFFFFF0F00608ull, &q, 4, gen), 0);
  munmap(buf, 1 << 20);
  close(fd);
}

// The host controller has a node of its own, as the kernel gives it: its
// ROM, its bus reset events and the resource manager's registers.
TEST_F(EmulatedBus, HostControllerHasItsNodeWithRomAndBusResets) {
  int fd = open("/dev/fw3", O_RDWR);
  ASSERT_GE(fd, 0) << strerror(errno);
  uint32_t rom[256] = {};
  struct fw_cdev_event_bus_reset reset;
  struct fw_cdev_get_info info = {};
  info.version = 4;
  info.rom = U64(rom);
  info.rom_length = sizeof rom;
  info.bus_reset = U64(&reset);
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_GET_INFO, &info), 0);
  EXPECT_EQ(reset.node_id, reset.local_node_id);
  EXPECT_EQ(reset.node_id, reset.irm_node_id);
  EXPECT_EQ(rom[1], 0x31333934u);
  EXPECT_EQ(rom[5] >> 16, 1u) << "a root directory without units: no camera";
  uint32_t q = 0;
  EXPECT_EQ(request(fd, TCODE_READ_QUADLET_REQUEST, 0xFFFFF0000220ull, &q, 4,
                    reset.generation), 0);
  EXPECT_EQ(ntohl(q), 4915u) << "BANDWIDTH_AVAILABLE";
  int gen = EMU(virizeda_emu_bus_reset)();
  struct pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  struct fw_cdev_event_bus_reset e;
  ASSERT_EQ(read(fd, &e, sizeof e), (ssize_t)sizeof e);
  EXPECT_EQ(e.type, (uint32_t)FW_CDEV_EVENT_BUS_RESET);
  EXPECT_EQ(e.generation, (uint32_t)gen);
  close(fd);
}

// Writes are answered as the camera answers them: a block written whole,
// a value refused as a data error, a register that takes no writes as an
// address error.
TEST_F(EmulatedBus, WritesAnswerAsTheCameraDoes) {
  int fd = open_fw0();
  uint32_t gen = generation(fd);
  uint32_t two[2] = {htonl(0x82000040), htonl(0x82000050)};   // brightness, exposure
  ASSERT_EQ(request(fd, TCODE_WRITE_BLOCK_REQUEST, 0xFFFFF0F00800ull, two, 8, gen), 0);
  uint32_t back[2] = {};
  ASSERT_EQ(request(fd, TCODE_READ_BLOCK_REQUEST, 0xFFFFF0F00800ull, back, 8, gen), 0);
  EXPECT_EQ(ntohl(back[0]) & 0xfff, 0x40u);
  EXPECT_EQ(ntohl(back[1]) & 0xfff, 0x50u);
  uint32_t bad_rate = htonl(7u << 29);
  EXPECT_EQ(request(fd, TCODE_WRITE_QUADLET_REQUEST, 0xFFFFF0F00600ull, &bad_rate, 4, gen),
            RCODE_DATA_ERROR);
  uint32_t any = 0;
  EXPECT_EQ(request(fd, TCODE_WRITE_QUADLET_REQUEST, 0xFFFFF0F00100ull, &any, 4, gen),
            RCODE_ADDRESS_ERROR) << "an inquiry register";
  EXPECT_EQ(request(fd, TCODE_WRITE_BLOCK_REQUEST, 0xFFFFF0F00FF8ull, two, 8, gen),
            RCODE_ADDRESS_ERROR) << "no register";
  close(fd);
}

// The receive buffer is mapped once per fd, as in the kernel, and filled by
// the bus through a mapping of its own: the program's may be read-only.
TEST_F(EmulatedBus, ReceiveBufferIsMappedOnceAndMayBeReadOnly) {
  auto ref = reference();
  vz::SimDevice &mono = *ref[1];
  size_t frame = (size_t)mono.packet_bytes() * mono.packets_per_frame();
  int fd = open("/dev/fw1", O_RDWR);
  ASSERT_GE(fd, 0);
  uint32_t gen = generation(fd);
  struct fw_cdev_create_iso_context ctx = {};
  ctx.type = FW_CDEV_ISO_CONTEXT_RECEIVE;
  ctx.header_size = 8;
  ctx.channel = (uint32_t)mono.iso_channel();
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_CREATE_ISO_CONTEXT, &ctx), 0);
  long page = sysconf(_SC_PAGESIZE);
  size_t len = (frame + page - 1) / page * page;
  unsigned char *buf = (unsigned char *)mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(buf, MAP_FAILED);
  std::vector<uint32_t> ctl(mono.packets_per_frame(),
                            FW_CDEV_ISO_HEADER_LENGTH(8) |
                                FW_CDEV_ISO_PAYLOAD_LENGTH(mono.packet_bytes()));
  ctl[0] |= FW_CDEV_ISO_SKIP;
  ctl.back() |= FW_CDEV_ISO_INTERRUPT;
  struct fw_cdev_queue_iso qi = {U64(ctl.data()), U64(buf), (uint32_t)(ctl.size() * 4), 0};
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_QUEUE_ISO, &qi), 0);
  struct fw_cdev_start_iso start = {-1, 1, 15, 0};
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_START_ISO, &start), 0);
  uint32_t on = htonl(1u << 31);
  ASSERT_EQ(request(fd, TCODE_WRITE_QUADLET_REQUEST, 0xFFFFF0F00614ull, &on, 4, gen), 0);
  struct pollfd p = {fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1) << "a frame";
  unsigned char ev[8192];
  ASSERT_GT(read(fd, ev, sizeof ev), 0);
  EXPECT_GE(vz_barcode_read(buf, mono.current_mode().width, 1), 0) << "the frame is in the buffer";
  // mapped again after an unmap: refused, so nothing lands past a smaller one
  ASSERT_EQ(munmap(buf, len), 0);
  errno = 0;
  EXPECT_EQ(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
  EXPECT_EQ(errno, EBUSY);
  close(fd);
}

// A program that closes every descriptor it does not know and then opens
// files keeps a working bus, and nothing of the bus lands in its files.
TEST_F(EmulatedBus, BusDescriptorsSurviveAProgramClosingWhatItDoesNotKnow) {
  int fd = open_fw0();
  uint32_t gen = generation(fd), q = 0;
  ASSERT_EQ(request(fd, TCODE_READ_QUADLET_REQUEST, 0xFFFFF0F00608ull, &q, 4, gen), 0);
  for (int i = 3; i < fd; i++) close(i);
  closefrom(fd + 1);
  int files[4];
  for (int &f : files) {
    f = open(dir_.file("mine").c_str(), O_RDWR | O_CREAT | O_APPEND, 0600);
    ASSERT_GE(f, 0);
  }
  struct fw_cdev_get_cycle_timer2 t = {};
  t.clk_id = CLOCK_MONOTONIC;
  EXPECT_EQ(ioctl(fd, FW_CDEV_IOC_GET_CYCLE_TIMER2, &t), 0);
  uint32_t v = htonl(0x82000040);
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_SEND_REQUEST, nullptr), -1);
  struct fw_cdev_send_request r = {};
  r.tcode = TCODE_WRITE_QUADLET_REQUEST;
  r.length = 4;
  r.offset = 0xFFFFF0F00800ull;
  r.data = U64(&v);
  r.generation = gen;
  ASSERT_EQ(ioctl(fd, FW_CDEV_IOC_SEND_REQUEST, &r), 0);
  struct pollfd p = {fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 5000), 1) << "the response still comes";
  struct stat st;
  ASSERT_EQ(fstat(files[0], &st), 0);
  EXPECT_EQ(st.st_size, 0) << "ioctl arguments written into the program's file";
  for (int f : files) close(f);
  close(fd);
}
