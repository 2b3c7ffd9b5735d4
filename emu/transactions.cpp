// Register transactions: a request on a node fd, answered as a response event.
#include <arpa/inet.h>
#include <errno.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "bus_state.h"

namespace emu {

namespace {

int node_read(Bus &b, int n, uint64_t off, uint32_t *v) {
  if ((off >> 32) != 0xffff) return RCODE_ADDRESS_ERROR;
  return b.nodes[n].dev->read((uint32_t)off, v);
}

int node_write(Bus &b, int n, uint64_t off, uint32_t v) {
  if ((off >> 32) != 0xffff) return RCODE_ADDRESS_ERROR;
  int rc = b.nodes[n].dev->write((uint32_t)off, v);
  refresh_stream(b, b.nodes[n]);
  return rc;
}

// Carries out one request on node n; data in and out big-endian.
int transact(Bus &b, int n, uint32_t tcode, uint64_t off, uint32_t *data,
             uint32_t quads) {
  if (tcode >= TCODE_LOCK_MASK_SWAP) return RCODE_TYPE_ERROR;
  if (off & 3) return RCODE_ADDRESS_ERROR;
  bool rd = tcode == TCODE_READ_QUADLET_REQUEST ||
            tcode == TCODE_READ_BLOCK_REQUEST;
  for (uint32_t i = 0; i < quads; i++) {
    int rc;
    if (rd) {
      uint32_t v = 0;
      rc = node_read(b, n, off + 4 * i, &v);
      data[i] = htonl(v);
    } else {
      rc = node_write(b, n, off + 4 * i, ntohl(data[i]));
    }
    if (rc != RCODE_COMPLETE) return rc;
  }
  return RCODE_COMPLETE;
}

}  // namespace

int send_request(Bus &b, Client *c, void *arg, bool broadcast) {
  struct fw_cdev_send_request r;
  memcpy(&r, arg, sizeof r);
  switch (r.tcode) {
    case TCODE_WRITE_QUADLET_REQUEST: case TCODE_WRITE_BLOCK_REQUEST:
      break;
    case TCODE_READ_QUADLET_REQUEST: case TCODE_READ_BLOCK_REQUEST:
    case TCODE_LOCK_MASK_SWAP: case TCODE_LOCK_COMPARE_SWAP:
    case TCODE_LOCK_FETCH_ADD: case TCODE_LOCK_LITTLE_ADD:
    case TCODE_LOCK_BOUNDED_ADD: case TCODE_LOCK_WRAP_ADD:
    case TCODE_LOCK_VENDOR_DEPENDENT:
      if (!broadcast) break;
      errno = EINVAL;
      return -1;
    default:
      errno = EINVAL;
      return -1;
  }
  if (broadcast && r.offset < CSR_BASE + 0x800) {
    errno = EACCES;   // only units space may be written to all nodes
    return -1;
  }
  if (r.length > 4096 || r.length > (512u << speed_code(b))) {
    errno = EIO;
    return -1;
  }
  bool quadlet = r.tcode == TCODE_READ_QUADLET_REQUEST ||
                 r.tcode == TCODE_WRITE_QUADLET_REQUEST;
  uint32_t bytes = quadlet ? 4 : r.length;
  if (quadlet && r.tcode == TCODE_WRITE_QUADLET_REQUEST && r.length < 4) {
    errno = EINVAL;
    return -1;
  }
  std::vector<uint32_t> data((bytes + 3) / 4 + 1, 0);
  bool rd = r.tcode == TCODE_READ_QUADLET_REQUEST ||
            r.tcode == TCODE_READ_BLOCK_REQUEST;
  if (!rd && !copy_in(data.data(), r.data, bytes)) {
    errno = EFAULT;
    return -1;
  }
  int rcode;
  if (b.reset_in == 0) {
    b.reset_in = -1;
    bus_reset(b);
    rcode = RCODE_GENERATION;   // flushed by the reset
  } else {
    if (b.reset_in > 0) b.reset_in--;
    if (r.generation != b.generation) {
      rcode = RCODE_GENERATION;
    } else if (b.busy > 0) {
      b.busy--;
      rcode = RCODE_BUSY;
    } else if (bytes & 3) {
      rcode = RCODE_TYPE_ERROR;
    } else if (broadcast) {
      for (size_t n = 0; n < b.nodes.size(); n++)
        if (b.nodes[n].plugged)
          transact(b, (int)n, r.tcode, r.offset, data.data(), bytes / 4);
      rcode = RCODE_COMPLETE;
    } else {
      rcode = transact(b, c->node, r.tcode, r.offset, data.data(), bytes / 4);
    }
  }
  if (b.debug)
    fprintf(stderr, "virizeda emulated bus: fw%d tcode %u at 0x%llx, %u bytes: "
            "rcode %d\n", c->node, r.tcode, (unsigned long long)r.offset, bytes,
            rcode);
  uint32_t len = (rd && rcode == RCODE_COMPLETE) ? bytes : 0;
  std::vector<unsigned char> ev(sizeof(struct fw_cdev_event_response) + len);
  struct fw_cdev_event_response head;
  memset(&head, 0, sizeof head);
  head.closure = r.closure;
  head.type = FW_CDEV_EVENT_RESPONSE;
  head.rcode = rcode;
  head.length = len;
  memcpy(ev.data(), &head, sizeof head);
  memcpy(ev.data() + offsetof(struct fw_cdev_event_response, data),
         data.data(), len);
  send_event(b, c, ev.data(), ev.size());
  return 0;
}

}  // namespace emu
