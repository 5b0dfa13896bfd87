// SMAppService (macOS 13 and later): registers the application itself, a helper, an agent
// or a daemon with the system's launch services; only the main-application service is used.
#pragma once

#include <Foundation/Foundation.h>
#include <os/availability.h>

typedef NS_ENUM(NSInteger, SMAppServiceStatus) {
    SMAppServiceStatusNotRegistered = 0,
    SMAppServiceStatusEnabled = 1,
    SMAppServiceStatusRequiresApproval = 2,
    SMAppServiceStatusNotFound = 3,
} API_AVAILABLE(macos(13.0));

API_AVAILABLE(macos(13.0))
@interface SMAppService : NSObject
// The service that starts the running application at login.
@property(class, readonly, nonnull) SMAppService* mainAppService;
- (BOOL)registerAndReturnError:(NSError* _Nullable* _Nullable)error;
- (BOOL)unregisterAndReturnError:(NSError* _Nullable* _Nullable)error;
@property(readonly) SMAppServiceStatus status;
@end
