#include "KeyTypes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "Codec.h"
#include "DriverFiles.h"

namespace applesmc {

namespace {

// The list stays small: a few dozen keys are ever looked up.
constexpr off_t kMaxTypesBytes = 64 * 1024;

}  // namespace

const std::map<std::string, KeyInfo>& SharedKeyTypes::listed() {
    if (loaded_) return keys_;
    loaded_ = true;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return keys_;
    // Only root's own list counts: one anybody else could have written says nothing.
    struct stat st;
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        char buf[4096];
        ssize_t n;
        while (static_cast<off_t>(text.size()) < kMaxTypesBytes &&
               ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)))
            if (n > 0) text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    // "NAME TYPE SIZE" lines; a line of any other form, or a torn last one, is skipped.
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        if (line.size() < 11 || line[4] != ' ' || line[9] != ' ') continue;
        const auto size = decimal(line.substr(10));
        if (!size || *size < 0 || *size > 0xFFFF) continue;
        keys_.emplace(line.substr(0, 4),
                      KeyInfo{static_cast<std::uint32_t>(*size), line.substr(5, 4)});
    }
    return keys_;
}

void SharedKeyTypes::share(const std::string& key, const KeyInfo& info) {
    listed();
    const std::string type = info.size != 0 ? info.type : "----";
    if (keys_.count(key) != 0 || !listable(key) || !listable(type)) return;
    keys_.emplace(key, info);
    if (privileged_) makeParentDirectory(path_);
    const int fd = ::open(
        path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return;  // users then see the mainline driver's forms
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
        st.st_size < kMaxTypesBytes) {
        ::fchmod(fd, 0644);  // readable by every user, whatever the umask
        // One write per line: lines appended by several root processes never interleave.
        const std::string line = key + " " + type + " " + std::to_string(info.size) + "\n";
        ssize_t n;
        do {
            n = ::write(fd, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
    }
    ::close(fd);
}

}  // namespace applesmc
