#include "DaemonLease.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>

#include "ControlProtocol.h"
#include "DaemonReply.h"
#include "Reply.h"

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // the client's sockets are set SO_NOSIGPIPE
#endif

// A connect that cannot complete at once (a full backlog) is tried again later instead
// of holding the main thread.
constexpr std::chrono::milliseconds kConnectLimit{0};
// More bytes than any reply line before a line feed: not the daemon's reply.
constexpr std::size_t kMaxReply = 4096;

}  // namespace

DaemonLease::DaemonLease(DaemonClient client, Timing timing, QObject* parent)
    : QObject(parent), client_(std::move(client)), timing_(timing), timer_(new QTimer(this)) {
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, [this] {
        if (state_ == State::asking) {
            drop(timing_.retry);  // no reply in time
        } else {
            takeNow();
        }
    });
}

DaemonLease::~DaemonLease() {
    stop();
}

void DaemonLease::start() {
    if (state_ == State::stopped) state_ = State::waiting;
    takeNow();
}

void DaemonLease::takeNow() {
    if (state_ != State::waiting) return;
    const int fd = client_.openConnection(kConnectLimit);
    const std::string request = std::string(protocol::kHold) + "\n";
    if (fd < 0 || ::send(fd, request.data(), request.size(), kSendFlags) !=
                      static_cast<ssize_t>(request.size())) {
        if (fd >= 0) ::close(fd);
        timer_->start(timing_.retry);
        return;
    }
    fd_ = fd;
    state_ = State::asking;
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &DaemonLease::readReply);
    timer_->start(timing_.replyLimit);
}

void DaemonLease::readReply() {
    char buffer[512];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            // The daemon ended the lease: it stopped, or another one took its place.
            drop(timing_.retry);
            return;
        }
        if (state_ != State::asking) continue;  // nothing more is expected on a held lease
        received_.append(buffer, static_cast<std::size_t>(n));
        if (replyComplete(received_)) {
            const std::optional<std::string> line = replyLine(received_);
            if (!line || !protocol::isOK(protocol::parseReply(*line).kind)) {
                drop(timing_.refusedRetry);
                return;
            }
            state_ = State::held;
            timer_->stop();
            received_.clear();
        } else if (received_.size() > kMaxReply) {
            drop(timing_.refusedRetry);
            return;
        }
    }
}

void DaemonLease::drop(std::chrono::milliseconds nextTry) {
    if (notifier_ != nullptr) {
        // It may be the notifier whose signal is being handled.
        notifier_->setEnabled(false);
        notifier_->deleteLater();
        notifier_ = nullptr;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    received_.clear();
    if (state_ == State::stopped) return;
    state_ = State::waiting;
    timer_->start(nextTry);
}

void DaemonLease::stop() {
    state_ = State::stopped;
    timer_->stop();
    drop(timing_.retry);
}
