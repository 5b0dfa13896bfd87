// A client of a Unix-domain stream socket for tests: connect, send lines or raw bytes, read
// reply lines with a bounded wait.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "Deadline.h"

class SocketClient {
  public:
    // Connects at once; connected() says whether someone accepted.
    explicit SocketClient(const std::string& path);
    // Takes over an already connected descriptor (one end of a socket pair).
    static SocketClient adopt(int fd);
    SocketClient() = default;
    ~SocketClient();
    SocketClient(SocketClient&& other) noexcept;
    SocketClient& operator=(SocketClient&& other) noexcept;
    SocketClient(const SocketClient&) = delete;
    SocketClient& operator=(const SocketClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close();

    // All of `bytes` as they are (partial or malformed input too); false when the peer is gone.
    bool send(const std::string& bytes);
    // `line` and a line feed.
    bool sendLine(const std::string& line) { return send(line + "\n"); }

    // The next line without its line feed; nothing when the peer closes first or the limit
    // passes.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = kWaitLimit);
    // Everything up to the peer's end of stream (or the limit), lines kept with their feeds.
    std::string readAll(std::chrono::milliseconds limit = kWaitLimit);
    // Whether the peer ends the stream (or resets it) within the limit with no more data.
    bool closedByPeer(std::chrono::milliseconds limit = kWaitLimit);

    // sendLine and readLine; empty when no reply line comes.
    std::string request(const std::string& line);

    // One line on a fresh connection: the reply line without its line feed (empty when the
    // peer closes without one), or nothing when no one accepts the connection.
    static std::optional<std::string> ask(const std::string& path, const std::string& line);
    // Whether someone accepts a connection on `path` now.
    static bool canConnect(const std::string& path);

  private:
    // Reads once more into buffered_; false at end of stream, error or the deadline.
    bool fill(const Deadline& deadline);

    int fd_ = -1;
    std::string buffered_;
};

// Leaves a socket file at `path` that nobody listens on, as a killed server does.
bool makeStaleSocket(const std::string& path);
