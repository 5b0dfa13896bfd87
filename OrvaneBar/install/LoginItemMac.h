// The macOS login-item service: the main-application service of the service-management
// framework, mapped call for call (LoginItemMac.mm).
#pragma once

#include <memory>

#include "LoginItem.h"

// The service for this application; none where the system has no such service.
std::shared_ptr<LoginItemService> makeMainAppLoginItemService();
