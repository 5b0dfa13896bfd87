// A real X desktop for one test: an Xvfb server and an XEmbed system-tray host (trayer)
// started inside a private /tmp, so that the server's socket file and lock stay there. The
// test reaches the server through its abstract socket, finds windows by their properties,
// takes pictures from the server's own screen and moves the pointer with xdotool.
#pragma once

#include <sys/types.h>

#include <QImage>
#include <QRect>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class PrivateTmp;
struct _XDisplay;

// Polls `done` every 20 ms until it holds or `limit` has passed; whether it held.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(15));

// The full path of a program found on PATH; empty when there is none.
std::string findProgram(const std::string& name);

class XDesktop {
  public:
    // Starts the server on the first free display from a number picked by this process's
    // id, then the tray host, and waits until the tray owns its selection. DISPLAY is set
    // in this process's environment (for what it starts) until the destructor.
    explicit XDesktop(PrivateTmp& tmp);
    ~XDesktop();
    XDesktop(const XDesktop&) = delete;
    XDesktop& operator=(const XDesktop&) = delete;

    bool ok() const { return display_ != nullptr && trayPid_ > 0; }
    const std::string& error() const { return error_; }
    const std::string& name() const { return name_; }  // ":N"
    pid_t trayPid() const { return trayPid_; }

    // The window of process `pid` that another process's top-level window holds, viewable,
    // in screen coordinates: a tray icon embedded by the tray host.
    std::optional<QRect> embeddedWindow(pid_t owner, pid_t host) const;
    // The tray host's panel on the screen, while it is viewable.
    std::optional<QRect> trayArea() const;
    // A viewable top-level window of process `pid` that the window manager does not handle
    // (a popup menu), at least `minimum` wide and high.
    std::optional<QRect> popupWindow(pid_t pid, int minimum = 40) const;

    // A picture of an area of the screen, as the server shows it.
    QImage grab(const QRect& area) const;
    QRect screen() const;

    // Pointer input through xdotool; whether it ran.
    bool click(QPoint at) const;
    // Presses the left button at `from`, moves in steps to `to`, releases there.
    bool drag(QPoint from, QPoint to) const;
    // Presses and releases a key ("Escape").
    bool key(const std::string& name) const;

  private:
    bool startServer(PrivateTmp& tmp, int number);
    bool xdotool(const std::vector<std::string>& args) const;

    _XDisplay* display_ = nullptr;
    std::string name_;
    pid_t serverPid_ = -1;
    pid_t trayPid_ = -1;
    std::string error_;
};
