// Start at login. PLACEHOLDER until start-at-login lands: it reports "not enabled"
// and cannot be switched on, so the menu's check mark stays off.
#pragma once

class LoginItem {
  public:
    bool isEnabled() const { return false; }
};
