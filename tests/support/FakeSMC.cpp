#include "FakeSMC.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void putLE32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t code(const std::string& s) {
    std::uint32_t c = 0;
    for (char ch : s)
        c = (c << 8) | static_cast<std::uint8_t>(ch);
    return c;
}

bool readFull(int fd, std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        ssize_t r = ::read(fd, p, n);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace

FakeSMC::FakeSMC() {
    char tmpl[] = "/tmp/fakesmc.XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    path_ = dir_ + "/smc.sock";
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof(addr.sun_path) - 1);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listenFd_, 8) != 0 || ::pipe(wakeFds_) != 0) {
        throw std::runtime_error("FakeSMC socket");
    }
    ::setenv("SMCEMU_SOCKET", path_.c_str(), 1);
    thread_ = std::thread([this] { serve(); });
}

FakeSMC::~FakeSMC() {
    (void)!::write(wakeFds_[1], "x", 1);
    thread_.join();
    ::close(listenFd_);
    ::close(wakeFds_[0]);
    ::close(wakeFds_[1]);
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
    ::unsetenv("SMCEMU_SOCKET");
}

void FakeSMC::addKey(const std::string& key, const std::string& type,
                     std::vector<std::uint8_t> bytes, std::uint32_t reportedSize) {
    std::lock_guard<std::mutex> guard(lock_);
    keys_[key] = Key{type, std::move(bytes), reportedSize};
}

void FakeSMC::failKey(const std::string& key, std::uint8_t command, std::int32_t kr) {
    std::lock_guard<std::mutex> guard(lock_);
    failures_[{key, command}] = kr;
}

std::vector<FakeSMC::Block> FakeSMC::blocks() {
    std::lock_guard<std::mutex> guard(lock_);
    return blocks_;
}

void FakeSMC::clearBlocks() {
    std::lock_guard<std::mutex> guard(lock_);
    blocks_.clear();
}

std::vector<std::uint8_t> FakeSMC::value(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    return keys_.at(key).bytes;
}

FakeSMC::Block FakeSMC::handle(const Block& in, std::int32_t& kr) {
    std::lock_guard<std::mutex> guard(lock_);
    blocks_.push_back(in);
    Block out{};
    kr = 0;
    std::string key;
    for (int shift = 24; shift >= 0; shift -= 8) {
        key.push_back(static_cast<char>(le32(in.data()) >> shift));
    }
    std::uint8_t command = in[42];
    if (auto f = failures_.find({key, command}); f != failures_.end()) {
        kr = f->second;
        return out;
    }
    if (command == 8) {
        // The key index: the name of the key at the position in the 32-bit field, in the
        // table's (sorted) order.
        const std::uint32_t index = le32(&in[44]);
        if (index >= keys_.size()) {
            out[40] = 0x84;
            return out;
        }
        putLE32(&out[0], code(std::next(keys_.begin(), index)->first));
        return out;
    }
    auto it = keys_.find(key);
    if (it == keys_.end()) {
        out[40] = 0x84;
        return out;
    }
    Key& k = it->second;
    std::uint32_t size = k.reportedSize ? k.reportedSize : k.bytes.size();
    if (command == 9) {
        putLE32(&out[28], size);
        putLE32(&out[32], code(k.type));
    } else if (command == 5) {
        std::memcpy(&out[48], k.bytes.data(), std::min<std::size_t>(k.bytes.size(), 32));
    } else if (command == 6) {
        std::size_t n = std::min<std::size_t>(le32(&in[28]), 32);
        k.bytes.assign(in.begin() + 48, in.begin() + 48 + n);
    }
    return out;
}

void FakeSMC::serve() {
    std::vector<int> clients;
    for (;;) {
        std::vector<pollfd> fds{{wakeFds_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (int c : clients)
            fds.push_back({c, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) continue;
        if (fds[0].revents) break;
        if (fds[1].revents & POLLIN)
            clients.push_back(::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC));
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            std::uint8_t request[84];
            int fd = fds[i].fd;
            if (!readFull(fd, request, sizeof request)) {
                ::close(fd);
                std::erase(clients, fd);
                continue;
            }
            Block in;
            std::memcpy(in.data(), request + 4, 80);
            std::int32_t kr;
            Block out = handle(in, kr);
            std::uint8_t reply[84];
            putLE32(reply, static_cast<std::uint32_t>(kr));
            std::memcpy(reply + 4, out.data(), 80);
            (void)!::send(fd, reply, sizeof reply, MSG_NOSIGNAL);
        }
    }
    for (int c : clients)
        ::close(c);
}
