#include "devices/sim/sim_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/diag.h"

std::string vz_state_dir() {
  const char *d = getenv("VIRIZEDA_SIM_STATE");
  return d && *d ? std::string(d) : std::string();
}

std::string vz_state_file(int cam, const std::string &chip_id,
                          const char *kind) {
  std::string safe;
  for (char c : chip_id)
    safe += (isalnum((unsigned char)c) || c == '-' || c == '.') ? c : '_';
  return vz_state_dir() + "/camera" + std::to_string(cam) + "-" + safe + "." +
         kind;
}

// The state directory locked against other processes for a scope.
class DirLock {
 public:
  explicit DirLock(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~DirLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }

 private:
  int fd_;
};

// Reads a state file without blocking on a FIFO or following a link out of
// the directory. 1: read, 0: absent, -1: unusable (reported).
static int read_state(const std::string &path, std::string *data) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return 0;
    if (errno == ELOOP)
      vz_diag("state file %s is a symbolic link; skipped", path.c_str());
    else
      vz_diag("state file %s cannot be read: %s", path.c_str(), strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (8 << 20)) {
    vz_diag("state file %s is not a regular file of at most 8 MiB; skipped",
            path.c_str());
    close(fd);
    return -1;
  }
  std::string got;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      vz_diag("state file %s cannot be read: %s", path.c_str(), strerror(errno));
      close(fd);
      return -1;
    }
    if (n == 0) break;
    got.append(buf, (size_t)n);
  }
  close(fd);
  *data = got;
  return 1;
}

bool vz_state_load(const std::string &path, std::string *data) {
  std::string got;
  int r;
  {
    DirLock lock(path);
    r = read_state(path, &got);
  }
  if (r <= 0) return false;
  *data = got;
  return true;
}

// The quadlets written, whatever their value, on top of what the file holds
// now; a value written back to what this process had still replaces what
// another process wrote since.
static std::string merged(const std::string &path, const std::string &data,
                          const std::vector<int> *written) {
  std::string now;
  if (!written || read_state(path, &now) != 1 || now.size() != data.size())
    return data;
  for (int q : *written)
    if (q >= 0 && 4 * (size_t)q + 4 <= data.size()) now.replace(4 * q, 4, data, 4 * q, 4);
  return now;
}

static bool write_all(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += (size_t)n;
  }
  return true;
}

bool vz_state_save(const std::string &path, const std::string &data,
                   const std::vector<int> *written) {
  DirLock lock(path);
  std::string out = merged(path, data, written);
  // written beside and renamed over, so a failure never leaves half a file
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) {
    vz_diag("state file %s cannot be written: %s", path.c_str(), strerror(errno));
    return false;
  }
  bool ok = fchmod(fd, 0644) == 0 && write_all(fd, out);
  int err = errno;
  if (ok && fsync(fd) != 0) ok = false, err = errno;
  if (close(fd) != 0 && ok) ok = false, err = errno;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false, err = errno;
  if (!ok) {
    unlink(tmp.c_str());  // ours: a fresh name made by mkstemp
    vz_diag("state file %s cannot be written: %s", path.c_str(), strerror(err));
  }
  return ok;
}
