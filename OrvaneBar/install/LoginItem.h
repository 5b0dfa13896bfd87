// Start at login. The platform's login-item service is asked first; when it is missing,
// cannot speak for this program, or its registration does not end enabled, a per-user
// login-agent property list carries the state. Nothing is cached: every query looks at the
// platform again, and every failure is silent (the check mark shows the state actually
// reached).
//
// On Linux the login-item service is the desktop's autostart: an entry for the application
// in the autostart folder of the user's configuration directory ($XDG_CONFIG_HOME, else
// ~/.config). On macOS it is the main-application service of the service-management
// framework (LoginItemMac.mm).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The platform's login-item service for this application.
class LoginItemService {
  public:
    // The status values of the macOS service; only enabled counts as enabled.
    static constexpr int notRegistered = 0;
    static constexpr int enabled = 1;
    static constexpr int requiresApproval = 2;
    static constexpr int notFound = 3;

    virtual ~LoginItemService() = default;
    // Whether the service can speak for this program at all. On macOS the main-application
    // service needs the main bundle's identifier, which a program started outside its bundle
    // lacks. When false, nothing else of the service is called, not even status.
    virtual bool hasBundleIdentifier() const { return true; }
    // notRegistered, enabled, or another value (not enabled). A cheap query.
    virtual int status() const = 0;
    // Whether the call succeeded.
    virtual bool registerItem() = 0;
    virtual bool unregisterItem() = 0;
    // Why the last failed registerItem or unregisterItem failed, when the platform says;
    // else empty.
    virtual std::string lastError() const { return {}; }
};

// The desktop autostart entry: enabled while the entry file exists.
class AutostartEntryService : public LoginItemService {
  public:
    static constexpr const char* fileName = "com.orvane.bar.desktop";

    AutostartEntryService(std::string entryPath, std::function<std::string()> executablePath);

    int status() const override;
    bool registerItem() override;
    bool unregisterItem() override;

    const std::string& entryPath() const { return entryPath_; }
    // The entry's text for an executable.
    static std::string entryText(const std::string& executablePath);
    // The entry's path for a configuration directory ($XDG_CONFIG_HOME) and home directory:
    // the configuration directory when it is an absolute path, else home/.config; then
    // /autostart/ and fileName.
    static std::string entryPathFor(const std::string& configHome, const std::string& home);

  private:
    std::string entryPath_;
    std::function<std::string()> executablePath_;
};

class LoginItem {
  public:
    static constexpr const char* label = "com.orvane.bar";

    // What tests replace; the application uses the defaults.
    struct Options {
        std::string home;                             // empty: the user's home directory
        std::function<std::string()> executablePath;  // AppPaths::executablePath
        // None: the platform's service; holding a null pointer: no service at all.
        std::optional<std::shared_ptr<LoginItemService>> service;
    };

    LoginItem();
    explicit LoginItem(Options options);

    // The service reports enabled, or the login-agent file exists. A status query and at
    // most one file test; never writes.
    bool isEnabled() const;
    // Switches start at login on or off. Every failure is swallowed; a service failure the
    // platform explains is only written to standard error (one line).
    void setEnabled(bool enabled);

    // home + "/Library/LaunchAgents/" + label + ".plist".
    const std::string& launchAgentPlist() const { return launchAgentPlist_; }
    // The login agent's property list for an executable path.
    static std::string agentPropertyList(const std::string& executablePath);

  private:
    // A service is there and can speak for this program.
    bool usableService() const;

    std::function<std::string()> executablePath_;
    std::shared_ptr<LoginItemService> service_;
    std::string launchAgentPlist_;
};

// An argument of a desktop entry's Exec key: "%" doubled, the argument between double
// quotes (with " ` $ \ escaped) when it holds a reserved character, and the result escaped
// as a desktop-entry string value (backslash, line break).
std::string desktopExecArgument(const std::string& argument);
