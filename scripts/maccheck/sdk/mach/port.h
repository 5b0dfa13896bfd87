// Mach port names.
#pragma once

typedef unsigned int natural_t;
typedef natural_t mach_port_name_t;
typedef mach_port_name_t mach_port_t;
typedef mach_port_t task_t;
typedef mach_port_t task_port_t;

#define MACH_PORT_NULL ((mach_port_t)0)
