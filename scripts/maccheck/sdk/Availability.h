// Version numbers of macOS releases and the availability markup of declarations.
#pragma once

#define __MAC_10_0 1000
#define __MAC_10_6 1060
#define __MAC_10_7 1070
#define __MAC_10_8 1080
#define __MAC_10_9 1090
#define __MAC_10_10 101000
#define __MAC_10_11 101100
#define __MAC_10_12 101200
#define __MAC_10_13 101300
#define __MAC_10_14 101400
#define __MAC_10_15 101500
#define __MAC_10_16 101600
#define __MAC_11_0 110000
#define __MAC_12_0 120000
#define __MAC_13_0 130000
#define __MAC_14_0 140000
#define __MAC_15_0 150000

// The compiler's target (-target x86_64-apple-macosx15.0) sets the deployment version.
#define __MAC_OS_X_VERSION_MIN_REQUIRED __ENVIRONMENT_MAC_OS_X_VERSION_MIN_REQUIRED__
#define __MAC_OS_X_VERSION_MAX_ALLOWED __MAC_15_0

// API_AVAILABLE(macos(13.0)) and API_AVAILABLE(macos(13.0), ios(16.0)): each platform
// argument becomes one clang availability attribute.
#define __ORVANE_AVAILABLE_macos(v) __attribute__((availability(macos, introduced = v)))
#define __ORVANE_AVAILABLE_ios(v) __attribute__((availability(ios, introduced = v)))
#define __ORVANE_AVAILABLE_tvos(v) __attribute__((availability(tvos, introduced = v)))
#define __ORVANE_AVAILABLE_watchos(v) __attribute__((availability(watchos, introduced = v)))
#define __ORVANE_AVAILABLE_1(a) __ORVANE_AVAILABLE_##a
#define __ORVANE_AVAILABLE_2(a, b) __ORVANE_AVAILABLE_##a __ORVANE_AVAILABLE_##b
#define __ORVANE_AVAILABLE_3(a, b, c) \
    __ORVANE_AVAILABLE_##a __ORVANE_AVAILABLE_##b __ORVANE_AVAILABLE_##c
#define __ORVANE_AVAILABLE_PICK(_1, _2, _3, name, ...) name
#define API_AVAILABLE(...)                                                           \
    __ORVANE_AVAILABLE_PICK(__VA_ARGS__, __ORVANE_AVAILABLE_3, __ORVANE_AVAILABLE_2, \
                            __ORVANE_AVAILABLE_1, )                                  \
    (__VA_ARGS__)
#define __API_AVAILABLE API_AVAILABLE
