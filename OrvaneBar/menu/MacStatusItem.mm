// Built with automatic reference counting: the item is held strongly by Native and let go
// with it. Each call runs in its own autorelease pool, as it is made from Qt's event loop.
#import <AppKit/AppKit.h>

#include "MacStatusItem.h"

#include <QMenu>

struct MacStatusItem::Native {
    NSStatusItem* item = nil;
};

namespace {

// Text that is not UTF-8 shows as nothing rather than leaving the old text in place.
NSString* toNSString(const std::string& text) {
    NSString* string = [NSString stringWithUTF8String:text.c_str()];
    return string != nil ? string : [NSString string];
}

}  // namespace

MacStatusItem::MacStatusItem() : native_(std::make_unique<Native>()) {
    @autoreleasepool {
        native_->item =
            [[NSStatusBar systemStatusBar] statusItemWithLength:NSVariableStatusItemLength];
        native_->item.visible = NO;
    }
}

MacStatusItem::~MacStatusItem() {
    @autoreleasepool {
        native_->item.menu = nil;
        [[NSStatusBar systemStatusBar] removeStatusItem:native_->item];
        native_->item = nil;
    }
}

void MacStatusItem::setTitle(const std::string& text) {
    @autoreleasepool {
        native_->item.button.title = toNSString(text);
    }
}

void MacStatusItem::setToolTip(const std::string& text) {
    @autoreleasepool {
        native_->item.button.toolTip = toNSString(text);
    }
}

void MacStatusItem::setMenu(QMenu* menu) {
    @autoreleasepool {
        native_->item.menu = menu != nullptr ? menu->toNSMenu() : nil;
    }
}

void MacStatusItem::setVisible(bool visible) {
    native_->item.visible = visible ? YES : NO;
}
