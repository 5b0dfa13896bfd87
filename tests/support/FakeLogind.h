// logind on a private system bus, for tests of sleep and wake: a dbus-daemon of the test's
// own (its configuration in a temporary directory) and fake-logind on it, owning
// org.freedesktop.login1. A program under test reaches it when its DBUS_SYSTEM_BUS_ADDRESS is
// busAddress(). The bus listens on an abstract socket, so that a process in another mount
// namespace (PrivateTmp, DaemonRig) reaches it too.
//
//   FakeLogind logind;                 // starts the bus and logind; ok(), error()
//   rig.useSystemBus(logind.busAddress());
//   logind.sleep();                    // PrepareForSleep(true)  from logind
//   logind.wake();                     // PrepareForSleep(false) from logind
//   logind.forge();                    // PrepareForSleep(true)  from another peer
//   logind.inhibitorsHeld();           // delay inhibitors still open (-1: no answer)
//   logind.inhibitCalls();             // Inhibit calls so far; lastInhibitMode()
//   logind.stopBus();                  // the bus daemon goes away
//
// Each command returns when logind has sent its signal; what a client does about it comes
// later, so tests wait for it (waitUntil).
#pragma once

#include <string>

#include "Process.h"

class FakeLogind {
  public:
    FakeLogind();
    ~FakeLogind();
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    // Whether the bus and logind came up; error() says why not.
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // The bus's address, for DBUS_SYSTEM_BUS_ADDRESS.
    const std::string& busAddress() const { return address_; }

    bool sleep() { return command("sleep") == "OK"; }
    bool wake() { return command("wake") == "OK"; }
    bool forge() { return command("forge") == "OK"; }
    int inhibitorsHeld();
    bool inhibitorHeld() { return inhibitorsHeld() > 0; }
    int inhibitCalls();
    // The mode of the last Inhibit call ("delay", ...), "-" before any.
    std::string lastInhibitMode();

    // Ends the bus daemon: every client's connection is closed.
    void stopBus();

  private:
    std::string command(const std::string& line) const;

    std::string dir_;
    std::string control_;
    std::string address_;
    std::string error_;
    Process bus_;
    Process logind_;
};
