// IOKit's return codes: the IOKit system (0x38) and common subsystem in the top bits,
// the code in the low ones.
#pragma once

#include <mach/kern_return.h>

typedef kern_return_t IOReturn;

#define iokit_common_err(ret) ((IOReturn)(0xE0000000 | (ret)))

#define kIOReturnSuccess KERN_SUCCESS
#define kIOReturnError iokit_common_err(0x2bc)
#define kIOReturnNoDevice iokit_common_err(0x2c0)
#define kIOReturnNotPrivileged iokit_common_err(0x2c1)
#define kIOReturnBadArgument iokit_common_err(0x2c2)
#define kIOReturnUnsupported iokit_common_err(0x2c7)
#define kIOReturnNotOpen iokit_common_err(0x2cd)
#define kIOReturnNotResponding iokit_common_err(0x2ed)
