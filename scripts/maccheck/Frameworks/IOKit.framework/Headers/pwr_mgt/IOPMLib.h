// The system power notifications: register for the root power domain's messages, answer a
// sleep that waits for the answer, deregister.
#pragma once

#include <IOKit/IOKitLib.h>
#include <IOKit/IOReturn.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The root power domain's connection; 0 when registering failed. The messages arrive on
// *thePortRef, which the caller gives a run loop or a dispatch queue.
io_connect_t IORegisterForSystemPower(void* refcon, IONotificationPortRef* thePortRef,
                                      IOServiceInterestCallback callback, io_object_t* notifier);
IOReturn IODeregisterForSystemPower(io_object_t* notifier);
// Answers kIOMessageCanSystemSleep or kIOMessageSystemWillSleep: the change may go on.
IOReturn IOAllowPowerChange(io_connect_t kernelPort, intptr_t notificationID);

#ifdef __cplusplus
}
#endif
