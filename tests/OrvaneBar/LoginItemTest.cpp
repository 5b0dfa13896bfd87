// Start at login: the decision order between the login-item service and the login-agent
// file, the agent's exact text, the desktop autostart entry that serves as the service on
// Linux, and the menu's check mark.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QAction>
#include <QDir>
#include <fstream>
#include <sstream>

#include "AppFixture.h"
#include "Files.h"
#include "LoginItem.h"
#include "PropertyList.h"
#include "Texts.h"

namespace {

constexpr auto exists = &Files::fileExists;

// A login-item service whose answers the test sets; it records the calls it gets.
class FakeService : public LoginItemService {
  public:
    bool hasBundleIdentifier() const override { return identifier; }
    int status() const override {
        ++statusQueries;
        return state;
    }
    bool registerItem() override {
        calls.push_back("register");
        if (!registerSucceeds) return false;
        state = statusAfterRegister;
        return true;
    }
    bool unregisterItem() override {
        calls.push_back("unregister");
        if (!unregisterSucceeds) return false;
        state = notRegistered;
        return true;
    }
    std::string lastError() const override { return error; }

    bool identifier = true;  // started from its bundle
    int state = notRegistered;
    mutable int statusQueries = 0;
    bool registerSucceeds = true;
    bool unregisterSucceeds = true;
    int statusAfterRegister = enabled;
    std::string error;  // the explanation of a failed call
    std::vector<std::string> calls;
};

const char* kExecutable = "/Applications/OrvaneBar.app/Contents/MacOS/OrvaneBar";

}  // namespace

class LoginItemTest : public AppFixture {
  protected:
    LoginItem makeItem(std::shared_ptr<LoginItemService> service) const {
        LoginItem::Options options;
        options.home = home();
        options.executablePath = [] { return std::string(kExecutable); };
        options.service = std::move(service);
        return LoginItem(options);
    }
    std::string home() const { return path("home"); }
    std::string agentPath() const { return home() + "/Library/LaunchAgents/com.orvane.bar.plist"; }
};

TEST_F(LoginItemTest, AgentPropertyListIsByteExact) {
    // The prologue is the service property list's (pinned by its own test).
    EXPECT_EQ(LoginItem::agentPropertyList(kExecutable),
              std::string(PropertyList::prologue) +
                  "<dict>\n"
                  "    <key>Label</key>\n"
                  "    <string>com.orvane.bar</string>\n"
                  "    <key>ProgramArguments</key>\n"
                  "    <array>\n"
                  "        <string>/Applications/OrvaneBar.app/Contents/MacOS/OrvaneBar</string>\n"
                  "    </array>\n"
                  "    <key>RunAtLoad</key>\n"
                  "    <true/>\n"
                  "</dict>\n"
                  "</plist>");
    EXPECT_NE(LoginItem::agentPropertyList("/Users/a&b/<O'Bar\">")
                  .find("        <string>/Users/a&amp;b/&lt;O&apos;Bar&quot;&gt;</string>\n"),
              std::string::npos);
}

TEST_F(LoginItemTest, ServiceEnabledNeedsNoAgentFile) {
    auto service = std::make_shared<FakeService>();
    LoginItem item = makeItem(service);
    EXPECT_FALSE(item.isEnabled());
    item.setEnabled(true);
    EXPECT_TRUE(item.isEnabled());
    EXPECT_FALSE(exists(agentPath()));

    item.setEnabled(false);
    EXPECT_FALSE(item.isEnabled());
    EXPECT_EQ(service->calls, (std::vector<std::string>{"register", "unregister"}));
}

TEST_F(LoginItemTest, ServiceNotEndingEnabledFallsBackToTheAgentFile) {
    for (const bool registerSucceeds : {true, false}) {
        SCOPED_TRACE(registerSucceeds ? "registered, awaiting approval" : "registration failed");
        auto service = std::make_shared<FakeService>();
        service->registerSucceeds = registerSucceeds;
        service->statusAfterRegister = 2;
        LoginItem item = makeItem(service);
        item.setEnabled(true);
        EXPECT_EQ(readFile(agentPath()), LoginItem::agentPropertyList(kExecutable));
        EXPECT_TRUE(item.isEnabled());

        // Both mechanisms are undone; unregistering only what is registered.
        item.setEnabled(false);
        EXPECT_FALSE(exists(agentPath()));
        EXPECT_FALSE(item.isEnabled());
        const std::vector<std::string> expected =
            registerSucceeds ? std::vector<std::string>{"register", "unregister"}
                             : std::vector<std::string>{"register"};
        EXPECT_EQ(service->calls, expected);
    }
}

TEST_F(LoginItemTest, ServiceRefusalsAreExplainedOnStandardErrorOnly) {
    auto service = std::make_shared<FakeService>();
    service->registerSucceeds = false;
    service->unregisterSucceeds = false;
    service->error = "Operation not permitted";
    LoginItem item = makeItem(service);

    ::testing::internal::CaptureStderr();
    item.setEnabled(true);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              Texts::loginItemRegisterFailed + std::string("Operation not permitted\n"));
    EXPECT_TRUE(item.isEnabled());  // through the agent file

    service->state = LoginItemService::requiresApproval;
    ::testing::internal::CaptureStderr();
    item.setEnabled(false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              Texts::loginItemUnregisterFailed + std::string("Operation not permitted\n"));
    EXPECT_FALSE(exists(agentPath()));

    // A failure the service does not explain, and calls that succeed, write nothing.
    service->error.clear();
    ::testing::internal::CaptureStderr();
    item.setEnabled(true);
    item.setEnabled(false);
    service->registerSucceeds = service->unregisterSucceeds = true;
    item.setEnabled(true);
    item.setEnabled(false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(service->calls, (std::vector<std::string>{"register", "unregister", "register",
                                                        "unregister", "register", "unregister"}));
}

// No service at all, or one that cannot speak for a program started outside its bundle
// (even one that would report enabled): the service is never asked, not even its status.
TEST_F(LoginItemTest, WithoutServiceTheAgentFileAloneCarriesTheState) {
    auto bare = std::make_shared<FakeService>();
    bare->identifier = false;
    bare->state = LoginItemService::enabled;
    for (const auto& service : {std::shared_ptr<FakeService>(), bare}) {
        SCOPED_TRACE(service ? "no bundle identifier" : "no service");
        QDir(QString::fromStdString(home())).removeRecursively();
        LoginItem item = makeItem(service);
        // Disabling when nothing exists fails silently.
        item.setEnabled(false);
        EXPECT_FALSE(item.isEnabled());

        ASSERT_FALSE(exists(home()));
        item.setEnabled(true);  // creates the missing directories
        EXPECT_EQ(readFile(agentPath()), LoginItem::agentPropertyList(kExecutable));
        EXPECT_TRUE(item.isEnabled());
        item.setEnabled(false);
        EXPECT_FALSE(exists(agentPath()));
        EXPECT_FALSE(item.isEnabled());
    }
    EXPECT_EQ(bare->statusQueries, 0);
    EXPECT_TRUE(bare->calls.empty());
}

TEST_F(LoginItemTest, AutostartEntryIsTheServiceOnLinux) {
    EXPECT_EQ(AutostartEntryService::entryPathFor("/cfg", "/home/u"),
              "/cfg/autostart/com.orvane.bar.desktop");
    EXPECT_EQ(AutostartEntryService::entryPathFor("", "/home/u"),
              "/home/u/.config/autostart/com.orvane.bar.desktop");
    EXPECT_EQ(AutostartEntryService::entryPathFor("relative", "/home/u"),
              "/home/u/.config/autostart/com.orvane.bar.desktop");

    EXPECT_EQ(AutostartEntryService::entryText("/opt/orvane/OrvaneBar"),
              "[Desktop Entry]\n"
              "Type=Application\n"
              "Name=OrvaneBar\n"
              "Comment=Orvane fan control\n"
              "Exec=/opt/orvane/OrvaneBar\n"
              "Terminal=false\n"
              "X-GNOME-Autostart-enabled=true\n");
    // Reserved characters quote the argument; "%" is doubled; the backslashes of the
    // quoting are escaped again as a string value.
    EXPECT_EQ(desktopExecArgument("/opt/my apps/100%/Bar$"), "\"/opt/my apps/100%%/Bar\\\\$\"");
    EXPECT_EQ(desktopExecArgument("/opt/100%/Bar"), "/opt/100%%/Bar");
    EXPECT_EQ(desktopExecArgument("/opt/it's/\"x\""), "\"/opt/it's/\\\\\"x\\\\\"\"");

#ifndef __APPLE__
    // The platform's service, found through XDG_CONFIG_HOME.
    const std::string config = path("config");
    const char* saved = ::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved != nullptr ? saved : "";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    LoginItem::Options options;
    options.home = home();
    options.executablePath = [] { return std::string("/opt/orvane/OrvaneBar"); };
    LoginItem item(options);
    if (saved != nullptr) {
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }

    const std::string entry = config + "/autostart/com.orvane.bar.desktop";
    item.setEnabled(true);
    EXPECT_EQ(readFile(entry), AutostartEntryService::entryText("/opt/orvane/OrvaneBar"));
    EXPECT_FALSE(exists(agentPath()));
    EXPECT_TRUE(item.isEnabled());
    item.setEnabled(false);
    EXPECT_FALSE(exists(entry));
    EXPECT_FALSE(item.isEnabled());
#endif
}

TEST_F(LoginItemTest, CheckMarkShowsTheStateReached) {
    startMachine(machines::oneFan);
    const auto launchAt = [&](const std::string& homeDir) {
        AppDelegate::Seams s = seams();
        s.loginItem.home = homeDir;
        s.loginItem.executablePath = [] { return std::string(kExecutable); };
        return launch(std::move(s));
    };

    auto app = launchAt(home());
    app->loginMenuItem->trigger();
    EXPECT_TRUE(app->loginMenuItem->isChecked());
    EXPECT_TRUE(exists(agentPath()));
    app->loginMenuItem->trigger();
    EXPECT_FALSE(app->loginMenuItem->isChecked());
    EXPECT_FALSE(exists(agentPath()));

    // A home below a plain file: nothing can be written, the mark stays off.
    std::ofstream(path("file")) << "";
    auto blocked = launchAt(path("file/home"));
    blocked->loginMenuItem->trigger();
    EXPECT_FALSE(blocked->loginMenuItem->isChecked());
}
