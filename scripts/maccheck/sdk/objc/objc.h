// The Objective-C runtime's basic names: BOOL (signed char on Intel Macs), YES, NO, nil.
#pragma once

typedef signed char BOOL;
#define YES __objc_yes
#define NO __objc_no

#ifndef nil
#define nil nullptr
#endif
#ifndef Nil
#define Nil nullptr
#endif
