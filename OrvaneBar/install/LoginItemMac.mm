// The main-application login-item service, mapped directly onto SMAppService. Built with
// automatic reference counting; every call runs in its own autorelease pool, since it is
// also made from the refresh timer.
#import <Foundation/Foundation.h>
#import <ServiceManagement/ServiceManagement.h>

#include "LoginItemMac.h"

#include <string>

namespace {

static_assert(SMAppServiceStatusNotRegistered == LoginItemService::notRegistered);
static_assert(SMAppServiceStatusEnabled == LoginItemService::enabled);
static_assert(SMAppServiceStatusRequiresApproval == LoginItemService::requiresApproval);
static_assert(SMAppServiceStatusNotFound == LoginItemService::notFound);

std::string describe(NSError* error) {
    if (error == nil) return {};
    const char* text = error.localizedDescription.UTF8String;
    return text != nullptr ? std::string(text) : std::string();
}

class MainAppLoginItemService final : public LoginItemService {
  public:
    // The main-application service stands for the bundle the program was started from; a
    // bare executable (run outside its bundle) has no identifier and no such service.
    bool hasBundleIdentifier() const override {
        @autoreleasepool {
            return [NSBundle mainBundle].bundleIdentifier != nil;
        }
    }

    int status() const override {
        if (@available(macOS 13.0, *)) {
            @autoreleasepool {
                return static_cast<int>([SMAppService mainAppService].status);
            }
        }
        return notFound;
    }

    bool registerItem() override { return change(true); }
    bool unregisterItem() override { return change(false); }

    std::string lastError() const override { return lastError_; }

  private:
    // Registers or unregisters the application as a login item, keeping why it failed.
    bool change(bool registering) {
        if (@available(macOS 13.0, *)) {
            @autoreleasepool {
                NSError* error = nil;
                SMAppService* service = [SMAppService mainAppService];
                const bool done = registering ? [service registerAndReturnError:&error]
                                              : [service unregisterAndReturnError:&error];
                lastError_ = done ? std::string() : describe(error);
                return done;
            }
        }
        return false;
    }

    std::string lastError_;
};

}  // namespace

std::shared_ptr<LoginItemService> makeMainAppLoginItemService() {
    if (@available(macOS 13.0, *)) return std::make_shared<MainAppLoginItemService>();
    return nullptr;
}
