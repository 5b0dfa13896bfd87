#include "MinimumRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "NonCopyable.h"
#include "WriteAll.h"

namespace {

constexpr const char* kHeader = "orvane-fan-minimums 1";
constexpr int kMaxFans = 255;
constexpr std::size_t kMaxBytes = 32;
// Far more than 255 fans of 32 bytes take; a larger file is not a record.
constexpr std::size_t kMaxFileBytes = 64 * 1024;

// Closes a descriptor when it goes out of scope.
class Fd : NonCopyable {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

struct Split {
    std::string parent;  // the directory that holds the record's directory
    std::string dir;     // the record's directory, one component
    std::string name;    // the file, one component
};

std::optional<Split> split(const std::string& path) {
    const std::size_t last = path.rfind('/');
    if (last == std::string::npos || last == 0 || last + 1 == path.size()) return std::nullopt;
    const std::string dirPath = path.substr(0, last);
    const std::size_t prev = dirPath.rfind('/');
    if (prev == std::string::npos || prev + 1 == dirPath.size()) return std::nullopt;
    Split s{prev == 0 ? "/" : dirPath.substr(0, prev), dirPath.substr(prev + 1),
            path.substr(last + 1)};
    if (s.dir == "." || s.dir == ".." || s.name == "." || s.name == "..") return std::nullopt;
    return s;
}

// Owned by root (or by this process's own user, which no other user can plant a file
// for) and writable by nobody else.
bool trustedOwner(const struct stat& st) {
    return (st.st_uid == 0 || st.st_uid == ::geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The record's directory, opened without following a link; -1 with errno set, EPERM when
// it is there but cannot be trusted.
int openDirectory(const Split& s, bool create) {
    Fd parent(::open(s.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) return -1;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(parent.get(), s.dir.c_str(), flags);
    if (fd < 0 && errno == ENOENT && create) {
        const bool made = ::mkdirat(parent.get(), s.dir.c_str(), 0755) == 0;
        if (!made && errno != EEXIST) return -1;
        fd = ::openat(parent.get(), s.dir.c_str(), flags);
        // As for the record, the mode is set outright: a umask must not close the directory
        // to the user's app.
        if (fd >= 0 && made && ::fchmod(fd, 0755) != 0) {
            ::close(fd);
            return -1;
        }
    }
    if (fd < 0) {
        // A link (or anything but a directory) in the directory's place is not trusted.
        if (errno == ELOOP || errno == ENOTDIR) errno = EPERM;
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !trustedOwner(st)) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    return fd;
}

std::string hexOf(const SMCBytes& bytes) {
    std::string text;
    char buf[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(b));
        text += buf;
    }
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

int openRecordDirectory(const std::string& path, bool create, std::string& name) {
    const auto s = split(path);
    if (!s) {
        errno = EINVAL;
        return -1;
    }
    name = s->name;
    return openDirectory(*s, create);
}

std::string encodeMinimumRecord(const MinimumRecord& record) {
    std::string text =
        std::string(kHeader) + "\nfans " + std::to_string(record.minimums.size()) + "\n";
    for (std::size_t i = 0; i < record.minimums.size(); ++i) {
        const auto& bytes = record.minimums[i];
        text += "F" + std::to_string(i) + "Mn " + (bytes ? hexOf(*bytes) : "-") + "\n";
    }
    return text;
}

std::optional<MinimumRecord> parseMinimumRecord(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        if (lf == std::string::npos) return std::nullopt;  // every line ends in a line feed
        lines.push_back(text.substr(start, lf - start));
        start = lf + 1;
    }
    if (lines.size() < 2 || lines[0] != kHeader || lines[1].rfind("fans ", 0) != 0)
        return std::nullopt;
    const std::string count = lines[1].substr(5);
    if (count.empty() || count.size() > 3 || (count.size() > 1 && count[0] == '0') ||
        count.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int fans = std::stoi(count);
    if (fans > kMaxFans || lines.size() != static_cast<std::size_t>(fans) + 2) return std::nullopt;

    MinimumRecord record;
    for (int i = 0; i < fans; ++i) {
        const std::string& line = lines[static_cast<std::size_t>(i) + 2];
        const std::string prefix = "F" + std::to_string(i) + "Mn ";
        if (line.rfind(prefix, 0) != 0) return std::nullopt;
        const std::string value = line.substr(prefix.size());
        if (value == "-") {
            record.minimums.emplace_back();
            continue;
        }
        if (value.empty() || value.size() % 2 != 0 || value.size() > 2 * kMaxBytes)
            return std::nullopt;
        SMCBytes bytes;
        for (std::size_t j = 0; j < value.size(); j += 2) {
            const int hi = hexDigit(value[j]);
            const int lo = hexDigit(value[j + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
        }
        record.minimums.emplace_back(std::move(bytes));
    }
    return record;
}

RecordRead readMinimumRecord(const std::string& path) {
    RecordRead result;
    const auto s = split(path);
    if (!s) {
        result.problem = RecordProblem::unreadable;
        return result;
    }
    Fd dir(openDirectory(*s, false));
    if (dir.get() < 0) {
        result.problem = errno == ENOENT  ? RecordProblem::missing
                         : errno == EPERM ? RecordProblem::unsafe
                                          : RecordProblem::unreadable;
        return result;
    }
    // Non-blocking, so that nothing in the file's place can hold the reader in open.
    Fd file(::openat(dir.get(), s->name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        result.problem = errno == ENOENT  ? RecordProblem::missing
                         : errno == ELOOP ? RecordProblem::unsafe
                                          : RecordProblem::unreadable;
        return result;
    }
    struct stat st {};
    if (::fstat(file.get(), &st) != 0) {
        result.problem = RecordProblem::unreadable;
        return result;
    }
    if (!S_ISREG(st.st_mode) || !trustedOwner(st)) {
        result.problem = RecordProblem::unsafe;
        return result;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(file.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result.problem = RecordProblem::unreadable;
            return result;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileBytes) {
            result.problem = RecordProblem::malformed;
            return result;
        }
    }
    result.record = parseMinimumRecord(text);
    result.problem = result.record ? RecordProblem::none : RecordProblem::malformed;
    return result;
}

RecordProblem checkMinimumRecord(const MinimumRecord& record, int fanCount,
                                 const std::vector<std::optional<std::uint32_t>>& sizes) {
    if (record.minimums.size() != static_cast<std::size_t>(fanCount))
        return RecordProblem::fanCount;
    for (std::size_t i = 0; i < record.minimums.size(); ++i) {
        const auto& bytes = record.minimums[i];
        if (!bytes || i >= sizes.size() || !sizes[i]) continue;
        if (bytes->size() != *sizes[i]) return RecordProblem::sizes;
    }
    return RecordProblem::none;
}

int writeMinimumRecord(const std::string& path, const MinimumRecord& record) {
    const auto s = split(path);
    if (!s) return EINVAL;
    Fd dir(openDirectory(*s, true));
    if (dir.get() < 0) return errno;

    const std::string text = encodeMinimumRecord(record);
    const auto seed = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[40];
        std::snprintf(suffix, sizeof suffix, ".%ld.%llx", static_cast<long>(::getpid()),
                      (seed + static_cast<unsigned long long>(attempt) * 7919) & 0xffffffffULL);
        const std::string temp = "." + s->name + suffix;
        const int fd = ::openat(dir.get(), temp.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return errno;
        int err = 0;
        // The mode is set outright: a umask must not hide the record from the user's app.
        if (::fchmod(fd, 0644) != 0 || !writeAll(fd, text) || ::fsync(fd) != 0)
            err = errno != 0 ? errno : EIO;
        if (::close(fd) != 0 && err == 0) err = errno;
        if (err == 0 && ::renameat(dir.get(), temp.c_str(), dir.get(), s->name.c_str()) != 0)
            err = errno;
        if (err != 0) {
            ::unlinkat(dir.get(), temp.c_str(), 0);
            return err;
        }
        ::fsync(dir.get());
        return 0;
    }
    return EEXIST;
}
