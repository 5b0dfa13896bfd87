#include "Connection.h"

#include <sys/socket.h>

#include <cerrno>

#include "ServeTexts.h"
#include "SocketIO.h"

namespace orvtool {

int msUntil(Clock::time_point when, Clock::time_point now) {
    if (when <= now) return 0;
    return static_cast<int>(std::chrono::duration_cast<Ms>(when - now).count()) + 1;
}

void Connection::readOnce(std::vector<char>& buffer, Clock::time_point now) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        // The peer sends nothing more: its complete lines are still answered, an
        // unfinished one is dropped unexecuted.
        eof = true;
        if (n < 0) end = ClientEnd::closed;
        return;
    }
    const bool wasPartial = framer.partial();
    framer.append(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    if (!wasPartial) lineStart = now;
    lastRead = now;
}

void Connection::flush(Clock::time_point now) {
    std::size_t sent = 0;
    while (sent < out.size()) {
        const ssize_t n = sendNoWait(fd, std::string_view(out).substr(sent));
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        out.clear();  // the peer has gone
        end = ClientEnd::closed;
        return;
    }
    if (sent == 0) return;
    out.erase(0, sent);
    outSince = now;
    if (out.empty() && eof && !framer.hasLine() && !end) end = ClientEnd::closed;
}

void Connection::queue(const std::string& reply, Clock::time_point now) {
    if (out.empty()) outSince = now;
    out += reply;
    out += '\n';
    lastAnswer = now;
}

void Connection::checkTimes(const ServeLimits& limits, Clock::time_point now) {
    if (end) return;
    if (!out.empty()) {
        if (now - outSince >= Ms(limits.idleMs)) end = ClientEnd::idle;
    } else if (framer.hasLine()) {
        // Lines wait for their turn: the daemon, not the client, is behind.
    } else if (framer.partial()) {
        if (now - lineStart >= Ms(limits.lineMs)) end = ClientEnd::late;
    } else if (!held && now - lastAnswer >= Ms(limits.idleMs)) {
        end = ClientEnd::idle;
    }
}

Clock::time_point Connection::nextTime(const ServeLimits& limits) const {
    if (end || framer.hasLine()) return Clock::time_point::min();
    if (!out.empty()) return outSince + Ms(limits.idleMs);
    if (framer.partial()) return lineStart + Ms(limits.lineMs);
    if (held) return Clock::time_point::max();
    return lastAnswer + Ms(limits.idleMs);
}

std::string endText(ClientEnd end, const ServeLimits& limits) {
    switch (end) {
        case ClientEnd::overlong:
            return texts::kServeLogOverlong + std::to_string(limits.maxPending) +
                   texts::kServeLogOverlongTail;
        case ClientEnd::idle:
            return texts::kServeLogIdle + std::to_string(limits.idleMs / 1000) +
                   texts::kServeLogIdleTail;
        case ClientEnd::late:
            return texts::kServeLogLate + std::to_string(limits.lineMs / 1000) +
                   texts::kServeLogLateTail;
        case ClientEnd::backlog:
            return texts::kServeLogBacklog + std::to_string(limits.maxOutput) +
                   texts::kServeLogBacklogTail;
        case ClientEnd::closed:
        case ClientEnd::quit:
        case ClientEnd::stop:
            break;
    }
    return {};
}

}  // namespace orvtool
