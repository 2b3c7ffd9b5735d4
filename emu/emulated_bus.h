/* Test hooks of the emulated FireWire bus (the preload library of emu/).
   A program running on the bus finds them with dlsym(RTLD_DEFAULT, name);
   none of them exists without the preload. Node numbers are those of
   /dev/fw<N>. Every hook is safe to call from any thread. */
#ifndef EMULATED_BUS_H
#define EMULATED_BUS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Cameras on the bus, unplugged ones included. */
int virizeda_emu_nodes(void);
/* A bus reset now: every open node fd gets a bus reset event and the ROMs
   are read again. Returns the new generation. */
int virizeda_emu_bus_reset(void);
/* The request sent n requests from now (0: the next) meets a bus reset
   while in flight and is answered with a generation error. */
void virizeda_emu_reset_at_request(int n);
/* The next n requests are answered busy. */
void virizeda_emu_busy_requests(int n);
/* Unplug a camera after it has sent this many more frames (0: now).
   -1 for a node that does not exist. */
int virizeda_emu_unplug(int node, long frames);
/* Frames a camera sent since the bus started, frames received whole by a
   listening context, and frames lost: a listening context had no buffer
   for them, or they went by while the process stalled. -1 for a node
   that does not exist. */
int virizeda_emu_stats(int node, unsigned long long *sent,
                       unsigned long long *received,
                       unsigned long long *dropped);
/* The camera's next frame now, out of its pace (benchmarks); -1 when the
   node does not exist or is not sending. */
int virizeda_emu_send_frame(int node);
/* Bandwidth units (of 4915) and channels (bit c: channel c) still free. */
void virizeda_emu_iso_free(int *bandwidth, unsigned long long *channels);

#ifdef __cplusplus
}
#endif

#endif
