#ifndef TIMER_H
#define TIMER_H

// Wall-clock milliseconds, wrapping modulo 2^32: only differences count.
int ms_time();

#endif
