#include "Listeners.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "LogText.h"
#include "ServeTexts.h"
#include "SocketIO.h"

namespace orvtool {

namespace {

constexpr int kBacklog = 8;

// What the log calls each kind of file the bind found at its path; any other is kFoundOther.
std::string foundText(Found found) {
    static constexpr std::pair<Found, const char*> kTexts[] = {
        {Found::socket, texts::kFoundSocket},
        {Found::symlink, texts::kFoundSymlink},
        {Found::file, texts::kFoundFile},
        {Found::fifo, texts::kFoundFifo},
        {Found::directory, texts::kFoundDirectory}};
    for (const auto& [kind, text] : kTexts)
        if (found == kind) return text;
    return texts::kFoundOther;
}

}  // namespace

std::string failureText(const std::string& path, const ListenFailure& failure) {
    switch (failure.step) {
        case ListenFailure::socket: {
            const std::string text = texts::kServeSocketFailed;
            return text.substr(0, text.size() - 1);  // the log adds the line feed
        }
        case ListenFailure::bind:
            return texts::kServeBindFailed + path + texts::kServeBindFailedTail +
                   std::to_string(failure.err);
        case ListenFailure::listen:
            break;
    }
    return texts::kServeListenFailed + std::to_string(failure.err);
}

Listeners::~Listeners() {
    for (const int fd : fds_)
        ::close(fd);
}

bool Listeners::listenAt(const std::string& path, ListenFailure& failure) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
        failure = {ListenFailure::socket, errno};
        return false;
    }
    setPollFlags(fd);
    Address address{path, bindReplacing(fd, path)};
    if (address.bound.err != 0) {
        failure = {ListenFailure::bind, address.bound.err};
        ::close(fd);
        return false;
    }
    if (::listen(fd, kBacklog) != 0) {
        failure = {ListenFailure::listen, errno};
        removeOwnSocket(path, address.bound);
        ::close(fd);
        return false;
    }
    const Cleared& cleared = address.bound.cleared;
    if (cleared.found != Found::nothing) {
        std::string line =
            texts::kServeFoundAt + path + texts::kServeFoundWas + foundText(cleared.found);
        line += cleared.movedTo.empty() ? std::string(texts::kServeFoundReplaced)
                                        : texts::kServeFoundMoved + logText(cleared.movedTo);
        found_.push_back(line);
    }
    addresses_.push_back(std::move(address));
    fds_.push_back(fd);
    return true;
}

void Listeners::removeOwnSockets() {
    for (const Address& a : addresses_)
        removeOwnSocket(a.path, a.bound);
}

}  // namespace orvtool
