// A Wayland desktop for one test: weston with its headless backend drawing in memory,
// started inside a private /tmp with its socket in a runtime folder there; pictures of its
// screen come from its own screenshooter.
#pragma once

#include <sys/types.h>

#include <QImage>
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

    // The whole screen as the compositor shows it; null when it cannot be taken.
    QImage screenshot() const;

  private:
    PrivateTmp& tmp_;
    pid_t pid_ = -1;
    std::string error_;
};
