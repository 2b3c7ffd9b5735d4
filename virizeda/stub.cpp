// placeholder until the simulated bus lands
#include "dcam.h"
dSystem *dSys = 0;
char dcamVersion[] = "0.0";
void (*dcamDebug)(char *) = 0;
void dSysInit() {}
