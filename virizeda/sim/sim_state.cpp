#include "sim_state.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "diag.h"

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

bool vz_state_load(const std::string &path, std::string *data) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT)
      vz_diag("state file %s cannot be read: %s", path.c_str(), strerror(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (8 << 20)) {
    vz_diag("state file %s is not a regular file of at most 8 MiB", path.c_str());
    close(fd);
    return false;
  }
  data->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      vz_diag("state file %s cannot be read: %s", path.c_str(), strerror(errno));
      close(fd);
      return false;
    }
    if (n == 0) break;
    data->append(buf, (size_t)n);
  }
  close(fd);
  return true;
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

bool vz_state_save(const std::string &path, const std::string &data) {
  // written beside and renamed over, so a failure never leaves half a file
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) {
    vz_diag("state file %s cannot be written: %s", path.c_str(), strerror(errno));
    return false;
  }
  bool ok = fchmod(fd, 0644) == 0 && write_all(fd, data);
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
