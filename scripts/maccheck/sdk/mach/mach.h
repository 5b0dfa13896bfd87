// The Mach names the hardware layer uses: port and return-code types and the task's own
// port, as libSystem exports them.
#pragma once

#include <mach/kern_return.h>
#include <mach/port.h>

#ifdef __cplusplus
extern "C" {
#endif

// The calling task's port; mach_task_self() reads this variable.
extern mach_port_t mach_task_self_;
#define mach_task_self() mach_task_self_

#ifdef __cplusplus
}
#endif
