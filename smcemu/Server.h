// The emulator's sockets: the SMC socket, where one connection is one opened user client and
// each call is an 84-byte request answered by an 84-byte reply, and the control socket, which
// takes one text command a line. Each connection is served by its own thread; the machine
// serialises the calls.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "Machine.h"
#include "NonCopyable.h"

namespace smcemu {

constexpr size_t kRequestSize = 4 + kBlockSize;  // selector + input block
constexpr size_t kReplySize = 4 + kBlockSize;    // return code + output block
constexpr size_t kMaxControlLine = 4096;         // bytes, newline included

// The SMC socket used when none is given: $SMCEMU_SOCKET when set and not empty, else
// /tmp/smcemu.sock.
std::string defaultSocketPath();
// The control socket that belongs to an SMC socket: the same path with ".ctl" appended.
std::string controlPathFor(const std::string& socketPath);

class ServerError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct ServerOptions {
    std::string socketPath;
    std::string controlPath;
    size_t maxClients = 64;         // SMC connections served at once; more are closed
    size_t maxControlClients = 16;  // control connections served at once
};

class Server : NonCopyable {
  public:
    Server(Machine& machine, ServerOptions options);
    ~Server();

    // Creates both sockets (replacing stale socket files) and starts accepting. Throws
    // ServerError when a socket cannot be created, also when another emulator is listening
    // on the path.
    void start();

    // Stops accepting, closes every connection, waits for their threads and removes both
    // socket files. Safe to call more than once.
    void stop();

  private:
    struct Connection {
        int fd = -1;
        bool control = false;
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    int listenOn(const std::string& path, unsigned mode, ino_t& inode);
    void acceptLoop();
    void accept(int listenFd, bool control);
    void reapFinished();
    void serveSmc(Connection& conn, bool privileged, int peer);
    void serveControl(Connection& conn);
    bool waitUnlessStopping(int ms);

    Machine& machine_;
    ServerOptions options_;
    int smcFd_ = -1;
    int controlFd_ = -1;
    ino_t smcInode_ = 0;
    ino_t controlInode_ = 0;
    int wakePipe_[2] = {-1, -1};
    std::thread acceptThread_;
    std::mutex mutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    bool started_ = false;
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace smcemu
