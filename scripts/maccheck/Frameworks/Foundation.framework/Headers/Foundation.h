// The Foundation classes the application uses: strings, errors and the main bundle. NSObject,
// NSInteger and BOOL are the Objective-C runtime's own (<objc/NSObject.h>).
#pragma once

#include <objc/NSObjCRuntime.h>
#include <objc/NSObject.h>
#include <os/availability.h>
#include <stddef.h>
#include <stdint.h>

#define NS_RETURNS_INNER_POINTER __attribute__((objc_returns_inner_pointer))
// typedef NS_ENUM(NSInteger, Name) { ... }: an enumeration with a fixed underlying type.
#define NS_ENUM(_type, _name)                                           \
    enum __attribute__((enum_extensibility(open))) _name : _type _name; \
    enum __attribute__((enum_extensibility(open))) _name : _type

@interface NSString : NSObject
+ (nonnull instancetype)string;
+ (nullable instancetype)stringWithUTF8String:(const char* _Nonnull)nullTerminatedCString;
// The string as UTF-8, owned by the string (or by the autorelease pool).
@property(nullable, readonly) const char* UTF8String NS_RETURNS_INNER_POINTER;
@end

typedef NSString* NSErrorDomain;

@interface NSError : NSObject
@property(readonly, copy, nonnull) NSErrorDomain domain;
@property(readonly) NSInteger code;
@property(readonly, copy, nonnull) NSString* localizedDescription;
@end

@interface NSBundle : NSObject
// The bundle of the running program; for a bare executable, the folder it lies in.
@property(class, readonly, strong, nonnull) NSBundle* mainBundle;
// CFBundleIdentifier of the bundle's information property list; nil without one.
@property(readonly, copy, nullable) NSString* bundleIdentifier;
@end
