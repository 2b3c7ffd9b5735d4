#include "timer.h"

#include <stdint.h>
#include <sys/time.h>

int ms_time() {
  struct timeval tv;
  gettimeofday(&tv, 0);
  // unsigned arithmetic wraps without undefined behaviour
  uint32_t ms = (uint32_t)tv.tv_sec * 1000u + (uint32_t)(tv.tv_usec / 1000);
  return (int)ms;
}
