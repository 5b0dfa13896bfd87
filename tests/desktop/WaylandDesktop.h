// A Wayland desktop for one test: weston with its headless backend, started inside a
// private /tmp with its socket in a runtime folder there.
#pragma once

#include <sys/types.h>

#include <string>

class PrivateTmp;

class WaylandDesktop {
  public:
    static constexpr const char* runtimeDir = "/tmp/wayland-runtime";
    static constexpr const char* socketName = "wayland-orvane";

    explicit WaylandDesktop(PrivateTmp& tmp);

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::string error_;
};
