#include "XDesktop.h"

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "PrivateTmp.h"

// Xlib last: its macros (None, Bool, Status) would otherwise clash with Qt's headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

constexpr int kScreenWidth = 1031;  // an odd size, so that another server is not taken for ours
constexpr int kScreenHeight = 647;

// Windows come and go while the test looks at them; a request about one that has gone is
// not an error of the test.
int ignoreXErrors(Display*, XErrorEvent*) {
    return 0;
}

// Whether an X server already listens for display `number` (its abstract socket, which
// every mount namespace shares).
bool displayTaken(int number) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "/tmp/.X11-unix/X" + std::to_string(number);
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const bool taken = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::close(fd);
    return taken;
}

bool exited(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) == pid;
}

std::optional<long> cardinal(Display* display, Window window, Atom property) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) != Success)
        return std::nullopt;
    std::optional<long> value;
    if (data != nullptr && format == 32 && count == 1) value = *reinterpret_cast<long*>(data);
    if (data != nullptr) XFree(data);
    return value;
}

std::vector<Window> children(Display* display, Window window) {
    Window root = 0;
    Window parent = 0;
    Window* list = nullptr;
    unsigned int count = 0;
    std::vector<Window> result;
    if (XQueryTree(display, window, &root, &parent, &list, &count) == 0) return result;
    result.assign(list, list + count);  // bottom to top
    if (list != nullptr) XFree(list);
    return result;
}

bool isPid(Display* display, Window window, pid_t pid) {
    const Atom netWmPid = XInternAtom(display, "_NET_WM_PID", False);
    const std::optional<long> value = cardinal(display, window, netWmPid);
    return value && *value == pid;
}

// Its area on the screen when the window is viewable.
std::optional<QRect> viewableArea(Display* display, Window window) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, window, &attributes) == 0 ||
        attributes.map_state != IsViewable)
        return std::nullopt;
    int x = 0;
    int y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child))
        return std::nullopt;
    return QRect(x, y, attributes.width, attributes.height);
}

std::optional<QRect> findInside(Display* display, Window window, pid_t pid) {
    for (Window child : children(display, window)) {
        if (isPid(display, child, pid)) {
            if (auto area = viewableArea(display, child)) return area;
        }
        if (auto area = findInside(display, child, pid)) return area;
    }
    return std::nullopt;
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = dirs.find(':', start);
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return "";
        start = end + 1;
    }
}

XDesktop::XDesktop(PrivateTmp& tmp) {
    XSetErrorHandler(ignoreXErrors);
    const std::string tray = findProgram("trayer");
    if (findProgram("Xvfb").empty() || tray.empty() || findProgram("xdotool").empty()) {
        error_ = "Xvfb, trayer and xdotool are needed (scripts/setup.sh installs them)";
        return;
    }
    const int first = 40 + int(::getpid() % 200);
    for (int number = first; number < first + 20 && display_ == nullptr; ++number) {
        if (!displayTaken(number) && startServer(tmp, number)) break;
    }
    if (display_ == nullptr) {
        if (error_.empty()) error_ = "no X server could be started";
        return;
    }
    ::setenv("DISPLAY", name_.c_str(), 1);

    // A panel at the top right that grows with its icons, drawn opaque.
    const pid_t host = tmp.start(
        {tray, "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
         "--SetDockType", "false", "--SetPartialStrut", "false", "--transparent", "false"},
        "/tmp/trayer.log");
    const Atom selection = XInternAtom(display_, "_NET_SYSTEM_TRAY_S0", False);
    if (host <= 0 ||
        !waitUntil([&] { return XGetSelectionOwner(display_, selection) != 0 || exited(host); }) ||
        XGetSelectionOwner(display_, selection) == 0) {
        error_ = "the tray host did not take the tray: " + tmp.read("/tmp/trayer.log");
        return;
    }
    trayPid_ = host;
}

bool XDesktop::startServer(PrivateTmp& tmp, int number) {
    const std::string name = ":" + std::to_string(number);
    const std::string size = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight);
    const std::string log = "/tmp/xvfb" + std::to_string(number) + ".log";
    const pid_t pid = tmp.start(
        {findProgram("Xvfb"), name, "-screen", "0", size + "x24", "-nolisten", "tcp", "-noreset"},
        log);
    if (pid <= 0) return false;
    Display* display = nullptr;
    waitUntil(
        [&] {
            if (exited(pid)) return true;
            display = XOpenDisplay(name.c_str());
            return display != nullptr;
        },
        std::chrono::seconds(20));
    // Ours only if it is still running and has the screen it was asked for.
    if (display != nullptr && (exited(pid) || DisplayWidth(display, 0) != kScreenWidth ||
                               DisplayHeight(display, 0) != kScreenHeight)) {
        XCloseDisplay(display);
        display = nullptr;
    }
    if (display == nullptr) {
        error_ = "Xvfb " + name + ": " + tmp.read(log);
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return false;
    }
    display_ = display;
    name_ = name;
    serverPid_ = pid;
    error_.clear();
    return true;
}

XDesktop::~XDesktop() {
    if (display_ != nullptr) XCloseDisplay(display_);
    if (!name_.empty()) ::unsetenv("DISPLAY");
}

std::optional<QRect> XDesktop::embeddedWindow(pid_t owner, pid_t host) const {
    if (display_ == nullptr) return std::nullopt;
    for (Window top : children(display_, DefaultRootWindow(display_))) {
        if (!isPid(display_, top, host)) continue;
        if (auto area = findInside(display_, top, owner)) return area;
    }
    return std::nullopt;
}

std::optional<QRect> XDesktop::trayArea() const {
    if (display_ == nullptr) return std::nullopt;
    for (Window top : children(display_, DefaultRootWindow(display_))) {
        if (!isPid(display_, top, trayPid_)) continue;
        if (auto area = viewableArea(display_, top)) return area;
    }
    return std::nullopt;
}

std::optional<QRect> XDesktop::popupWindow(pid_t pid, int minimum) const {
    if (display_ == nullptr) return std::nullopt;
    std::optional<QRect> found;
    for (Window top : children(display_, DefaultRootWindow(display_))) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display_, top, &attributes) == 0 ||
            !attributes.override_redirect || !isPid(display_, top, pid))
            continue;
        const std::optional<QRect> area = viewableArea(display_, top);
        if (area && area->width() >= minimum && area->height() >= minimum) found = area;
    }
    return found;  // the topmost
}

QRect XDesktop::screen() const {
    return QRect(0, 0, kScreenWidth, kScreenHeight);
}

QImage XDesktop::grab(const QRect& wanted) const {
    const QRect area = wanted.intersected(screen());
    if (display_ == nullptr || area.isEmpty()) return QImage();
    XImage* picture =
        XGetImage(display_, DefaultRootWindow(display_), area.x(), area.y(), unsigned(area.width()),
                  unsigned(area.height()), AllPlanes, ZPixmap);
    if (picture == nullptr) return QImage();
    // A colour channel's value from its mask, scaled to 8 bits.
    auto channel = [](unsigned long pixel, unsigned long mask) {
        if (mask == 0) return 0;
        int shift = 0;
        while (((mask >> shift) & 1) == 0)
            ++shift;
        const unsigned long top = mask >> shift;
        return int(((pixel & mask) >> shift) * 255 / top);
    };
    QImage image(area.size(), QImage::Format_RGB32);
    for (int y = 0; y < area.height(); ++y) {
        for (int x = 0; x < area.width(); ++x) {
            const unsigned long pixel = XGetPixel(picture, x, y);
            image.setPixel(
                x, y,
                qRgb(channel(pixel, picture->red_mask), channel(pixel, picture->green_mask),
                     channel(pixel, picture->blue_mask)));
        }
    }
    XDestroyImage(picture);
    return image;
}

bool XDesktop::xdotool(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, "xdotool", nullptr, nullptr, pointers.data(), environ) != 0)
        return false;
    int status = -1;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                   std::chrono::seconds(20))) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool XDesktop::click(QPoint at) const {
    return xdotool({"mousemove", std::to_string(at.x()), std::to_string(at.y()), "sleep", "0.1",
                    "click", "1"});
}

bool XDesktop::drag(QPoint from, QPoint to) const {
    std::vector<std::string> args{"mousemove",
                                  std::to_string(from.x()),
                                  std::to_string(from.y()),
                                  "sleep",
                                  "0.1",
                                  "mousedown",
                                  "1"};
    const int steps = 8;
    for (int i = 1; i <= steps; ++i) {
        const QPoint at = from + (to - from) * i / steps;
        args.insert(args.end(),
                    {"sleep", "0.05", "mousemove", std::to_string(at.x()), std::to_string(at.y())});
    }
    args.insert(args.end(), {"sleep", "0.1", "mouseup", "1"});
    return xdotool(args);
}

bool XDesktop::key(const std::string& name) const {
    return xdotool({"key", name});
}
