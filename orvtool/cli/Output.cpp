#include "Output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "Texts.h"

namespace orvtool {

void Output::noteError(int err) {
    if (stdoutError_ == 0) stdoutError_ = err != 0 ? err : EIO;
}

void Output::eprintRaw(const std::string& text) {
    if (std::fflush(stdout) != 0) noteError(errno);
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report a failing standard error
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

void Output::eprint(const std::string& text) {
    eprintRaw(text + "\n");
}

void Output::print(const std::string& text) {
    if (stdoutClosed_) noteError(EBADF);
    errno = 0;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    if (std::ferror(stdout)) noteError(errno);
}

bool Output::flushStdout() {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) noteError(errno);
    return stdoutError_ == 0;
}

std::string stdoutFailureText(int err) {
    // The errors of writing standard output that have a reason of their own.
    static constexpr std::pair<int, const char*> kReasons[] = {{EBADF, texts::kStdoutClosed},
                                                               {ENOSPC, texts::kStdoutNoSpace},
                                                               {EPIPE, texts::kStdoutBrokenPipe},
                                                               {EIO, texts::kStdoutIOError}};
    const char* reason = texts::kStdoutOther;
    for (const auto& [code, text] : kReasons)
        if (err == code) reason = text;
    return texts::kStdoutFailed + std::string(reason) + texts::kStdoutErrno + std::to_string(err) +
           ")";
}

}  // namespace orvtool
