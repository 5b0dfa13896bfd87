// The IOKit calls the hardware layer makes to reach the AppleSMC user client.
// On macOS these are IOKit itself; elsewhere a stand-in with the same names and
// meanings talks to the SMC emulator service.
#pragma once

#ifdef __APPLE__
#include <IOKit/IOKitLib.h>
#include <mach/mach.h>
#else
#include "linux/IOKitEmu.h"
#endif
