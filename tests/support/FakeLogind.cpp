#include "FakeLogind.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "SocketClient.h"

namespace {

// A bus anyone on it may use: own any name, call and signal anyone.
std::string busConfig(const std::string& abstractName) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:abstract=" +
           abstractName +
           "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n"
           "    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}

// The number after "OK " in `reply`, -1 when there is none.
int countIn(const std::string& reply) {
    std::istringstream in(reply);
    std::string ok;
    int n = -1;
    in >> ok >> n;
    return ok == "OK" ? n : -1;
}

}  // namespace

FakeLogind::FakeLogind() {
    std::string tmpl = "/tmp/orvlogind.XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        error_ = "no temporary directory";
        return;
    }
    dir_ = tmpl;
    control_ = dir_ + "/control";
    const std::string config = dir_ + "/bus.conf";
    std::ofstream(config) << busConfig("orvane-test-bus" + dir_);
    bus_ = Process::start(
        {DBUS_DAEMON_BINARY, "--config-file=" + config, "--nofork", "--print-address"});
    address_ = bus_.outLine();
    if (address_.empty()) {
        error_ = "dbus-daemon gave no address: " + bus_.err(std::chrono::milliseconds(500));
        return;
    }
    logind_ = Process::start({FAKE_LOGIND_BINARY, address_, control_});
    if (logind_.outLine() != "READY") {
        error_ = "fake-logind did not start: " + logind_.err(std::chrono::milliseconds(500));
    }
}

FakeLogind::~FakeLogind() {
    logind_.kill();
    logind_.finish();
    bus_.kill();
    bus_.finish();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::string FakeLogind::command(const std::string& line) const {
    return SocketClient::ask(control_, line).value_or("");
}

int FakeLogind::inhibitorsHeld() {
    return countIn(command("held"));
}

int FakeLogind::inhibitCalls() {
    return countIn(command("calls"));
}

std::string FakeLogind::lastInhibitMode() {
    std::istringstream in(command("calls"));
    std::string ok, count, mode;
    in >> ok >> count >> mode;
    return mode;
}

void FakeLogind::stopBus() {
    bus_.kill();
    bus_.finish();
}
