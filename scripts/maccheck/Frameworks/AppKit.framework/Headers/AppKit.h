// The AppKit classes of the menu-bar item: the system status bar, its items and their
// buttons, and the menu a status item opens. Only what the application uses.
#pragma once

#include <Foundation/Foundation.h>

// CoreGraphics' floating-point type, a double on 64-bit Macs.
typedef double CGFloat;

@class NSMenu;

@interface NSResponder : NSObject
@end

@interface NSView : NSResponder
@property(nullable, copy) NSString* toolTip;
@end

@interface NSControl : NSView
@end

@interface NSButton : NSControl
@property(copy, nonnull) NSString* title;
@end

@interface NSStatusBarButton : NSButton
@end

@interface NSMenu : NSObject
@end

@interface NSStatusItem : NSObject
@property CGFloat length;
// Opened on a click on the item when set.
@property(nullable, strong) NSMenu* menu;
@property(nullable, readonly, strong) NSStatusBarButton* button API_AVAILABLE(macos(10.10));
@property(getter=isVisible) BOOL visible API_AVAILABLE(macos(10.12));
@end

// A length that follows the button's contents.
static const CGFloat NSVariableStatusItemLength = -1;

@interface NSStatusBar : NSObject
@property(class, readonly, strong, nonnull) NSStatusBar* systemStatusBar;
- (nonnull NSStatusItem*)statusItemWithLength:(CGFloat)length;
- (void)removeStatusItem:(nonnull NSStatusItem*)item;
@end
