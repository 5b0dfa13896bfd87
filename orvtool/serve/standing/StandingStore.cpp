#include "StandingStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Paths.h"
#include "WriteAll.h"

namespace orvtool {

namespace {

constexpr const char* kComment =
    "# curve <fan> <source> <t>:<rpm> ... | floor <fan> <rpm>; written by orvtool serve";
constexpr const char* kNewName = "curves.new";

// Owned by this process's user and writable by nobody else.
bool ownedAndClosed(const struct stat& st) {
    return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

}  // namespace

std::string StandingStore::format(const std::vector<protocol::Standing>& settings) {
    std::string text = std::string(kVersionLine) + "\n" + kComment + "\n";
    for (const protocol::Standing& s : settings)
        text += protocol::formatStanding(s) + "\n";
    return text;
}

StandingStore::Loaded StandingStore::parse(const std::string& text) {
    Loaded loaded;
    std::size_t start = 0;
    int number = 0;
    bool versioned = false;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!versioned) {
            if (line != kVersionLine) {
                loaded.otherFormat = true;
                return loaded;
            }
            versioned = true;
            continue;
        }
        if (line.empty() || line.front() == '#') continue;
        const protocol::StandingParse parsed = protocol::parseStanding(line);
        if (const auto* s = std::get_if<protocol::Standing>(&parsed)) {
            std::erase_if(loaded.settings, [&](const auto& o) { return o.fan == s->fan; });
            loaded.settings.push_back(*s);
        } else {
            loaded.skipped.emplace_back(number, line);
        }
    }
    // An empty file holds nothing; one without the version line is of another format.
    loaded.otherFormat = !versioned && !text.empty();
    return loaded;
}

int StandingStore::openDir() {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(dir_.c_str(), flags);
    if (fd < 0 && errno == ENOENT) {
        // Its parent (/var/lib, /Library/Application Support) is root's: made here, it is ours.
        if (::mkdir(dir_.c_str(), 0755) != 0 && errno != EEXIST) return -1;
        fd = ::open(dir_.c_str(), flags);
    }
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) errno = EPERM;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !ownedAndClosed(st)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

StandingStore::Loaded StandingStore::load() {
    Loaded loaded;
    if (dir_.empty()) return loaded;
    const Fd dir(openDir());
    if (dir.fd < 0) {
        loaded.unsafe = errno == EPERM;
        loaded.err = loaded.unsafe ? 0 : errno;
        if (loaded.unsafe) locked_ = EPERM;
        return loaded;
    }
    const Fd file(
        ::openat(dir.fd, paths::kStandingName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.fd < 0) {
        if (errno == ELOOP) {
            loaded.unsafe = true;
            locked_ = EPERM;
        } else if (errno != ENOENT) {
            loaded.err = errno;
        }
        return loaded;
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode) || !ownedAndClosed(st)) {
        loaded.unsafe = true;
        locked_ = EPERM;
        return loaded;
    }
    if (static_cast<std::size_t>(st.st_size) > kMaxBytes) {
        loaded.otherFormat = true;
        locked_ = EEXIST;
        return loaded;
    }
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(file.fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            loaded.err = errno;
            return loaded;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    const int err = loaded.err;
    loaded = parse(text);
    loaded.err = err;
    locked_ = loaded.otherFormat ? EEXIST : 0;
    return loaded;
}

int StandingStore::save(const std::vector<protocol::Standing>& settings) {
    if (dir_.empty()) return 0;
    if (locked_ != 0) return locked_;
    const Fd dir(openDir());
    if (dir.fd < 0) return errno;
    const std::string text = format(settings);
    // The directory is ours alone, so nobody can have planted the new file's name.
    ::unlinkat(dir.fd, kNewName, 0);
    int err = 0;
    {
        const Fd file(
            ::openat(dir.fd, kNewName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (file.fd < 0) return errno;
        errno = 0;
        if (!writeAll(file.fd, text) || ::fsync(file.fd) != 0) err = errno != 0 ? errno : EIO;
    }
    if (err == 0 && ::renameat(dir.fd, kNewName, dir.fd, paths::kStandingName) != 0) err = errno;
    if (err != 0) {
        ::unlinkat(dir.fd, kNewName, 0);
        return err;
    }
    ::fsync(dir.fd);
    return 0;
}

}  // namespace orvtool
