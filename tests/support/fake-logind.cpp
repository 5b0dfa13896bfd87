// A stand-in for logind on a private bus, for the tests of sleep and wake:
//
//   fake-logind BUS_ADDRESS CONTROL_SOCKET
//
// Owns org.freedesktop.login1 and serves Manager.Inhibit at /org/freedesktop/login1: each
// call gets one end of a fresh socket pair, the other end is kept, so that the program sees
// when the caller closes its inhibitor. A test steers it through CONTROL_SOCKET, one command
// line a connection, one reply line:
//   sleep | wake   PrepareForSleep(true | false) from the name's owner     "OK"
//   forge          PrepareForSleep(true) from another connection, to everyone and
//                  to each caller of Inhibit directly                       "OK"
//   held           how many inhibitors are still open                       "OK N"
//   calls          Inhibit calls so far and the last one's mode             "OK N MODE" ("-": none)
// It prints "READY" on standard output once it owns the name and listens.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kName = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

struct Inhibitor {
    int kept = -1;       // our end; EOF on it means the caller closed its end
    std::string caller;  // unique name of the connection that asked
};

struct State {
    std::vector<Inhibitor> inhibitors;
    int calls = 0;
    std::string lastMode = "-";
};

int onInhibit(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* state = static_cast<State*>(userdata);
    const char *what = nullptr, *who = nullptr, *why = nullptr, *mode = nullptr;
    int r = sd_bus_message_read(m, "ssss", &what, &who, &why, &mode);
    if (r < 0) return r;
    ++state->calls;
    state->lastMode = mode;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return sd_bus_error_set_errno(error, errno);
    }
    r = sd_bus_reply_method_return(m, "h", pair[1]);
    ::close(pair[1]);
    if (r < 0) {
        ::close(pair[0]);
        return r;
    }
    const char* sender = sd_bus_message_get_sender(m);
    state->inhibitors.push_back({pair[0], sender != nullptr ? sender : ""});
    return 1;
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ssss", "h", onInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
    SD_BUS_VTABLE_END,
};

sd_bus* connect(const char* address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_negotiate_fds(bus, 1) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

// PrepareForSleep(starting) from `bus`, to `destination` alone when one is given.
bool emit(sd_bus* bus, bool starting, const char* destination = nullptr) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_signal(bus, &m, kPath, kManager, "PrepareForSleep");
    if (r >= 0 && destination != nullptr) r = sd_bus_message_set_destination(m, destination);
    if (r >= 0) r = sd_bus_message_append(m, "b", starting ? 1 : 0);
    if (r >= 0) r = sd_bus_send(bus, m, nullptr);
    sd_bus_message_unref(m);
    return r >= 0 && sd_bus_flush(bus) >= 0;
}

// Drops the inhibitors whose caller closed its end; how many are left.
int stillHeld(State& state) {
    std::vector<Inhibitor> open;
    for (Inhibitor& i : state.inhibitors) {
        pollfd p{i.kept, POLLIN, 0};
        char byte;
        if (::poll(&p, 1, 0) > 0 && ::recv(i.kept, &byte, 1, MSG_DONTWAIT) <= 0) {
            ::close(i.kept);
        } else {
            open.push_back(i);
        }
    }
    state.inhibitors = open;
    return static_cast<int>(open.size());
}

std::string answer(const std::string& command, sd_bus* owner, sd_bus* forger, State& state) {
    if (command == "sleep" || command == "wake") {
        return emit(owner, command == "sleep") ? "OK" : "ERR emit";
    }
    if (command == "forge") {
        bool sent = emit(forger, true);
        for (const Inhibitor& i : state.inhibitors)
            sent = emit(forger, true, i.caller.c_str()) && sent;
        return sent ? "OK" : "ERR emit";
    }
    if (command == "held") return "OK " + std::to_string(stillHeld(state));
    if (command == "calls") return "OK " + std::to_string(state.calls) + " " + state.lastMode;
    return "ERR unknown command";
}

int listenOn(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || std::strlen(path) >= sizeof addr.sun_path) return -1;
    std::strcpy(addr.sun_path, path);
    ::unlink(path);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0)
        return -1;
    return fd;
}

// One command from a fresh control connection: the line up to its feed.
std::string readCommand(int client) {
    std::string line;
    char c;
    while (line.size() < 256) {
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0 || ::read(client, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fake-logind BUS_ADDRESS CONTROL_SOCKET\n");
        return 2;
    }
    sd_bus* owner = connect(argv[1]);
    sd_bus* forger = connect(argv[1]);
    if (owner == nullptr || forger == nullptr) {
        std::fprintf(stderr, "fake-logind: cannot connect to %s\n", argv[1]);
        return 1;
    }
    State state;
    if (sd_bus_add_object_vtable(owner, nullptr, kPath, kManager, kVtable, &state) < 0 ||
        sd_bus_request_name(owner, kName, 0) < 0) {
        std::fprintf(stderr, "fake-logind: cannot own %s\n", kName);
        return 1;
    }
    const int control = listenOn(argv[2]);
    if (control < 0) {
        std::fprintf(stderr, "fake-logind: cannot listen on %s\n", argv[2]);
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    for (;;) {
        int r;
        while ((r = sd_bus_process(owner, nullptr)) > 0) {
        }
        if (r < 0) return 0;  // the bus is gone
        while ((r = sd_bus_process(forger, nullptr)) > 0) {
        }
        if (r < 0) return 0;
        pollfd p[3] = {{sd_bus_get_fd(owner), static_cast<short>(sd_bus_get_events(owner)), 0},
                       {sd_bus_get_fd(forger), static_cast<short>(sd_bus_get_events(forger)), 0},
                       {control, POLLIN, 0}};
        if (::poll(p, 3, 1000) < 0) continue;
        if (p[2].revents & POLLIN) {
            const int client = ::accept4(control, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const std::string reply = answer(readCommand(client), owner, forger, state) + "\n";
            (void)!::write(client, reply.data(), reply.size());
            ::close(client);
        }
    }
}
