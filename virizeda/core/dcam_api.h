// The camera interface as the library sees it: the classes and globals of
// dcam.h are what virizeda.so exports, everything else is hidden. Every
// library file takes dcam.h through this header.
#ifndef VIRIZEDA_DCAM_API_H
#define VIRIZEDA_DCAM_API_H

#pragma GCC visibility push(default)
#include "dcam.h"
#pragma GCC visibility pop

#endif
