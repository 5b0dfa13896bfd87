#include "Output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvtool {

void eprintRaw(const std::string& text) {
    std::fflush(stdout);
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

void eprint(const std::string& text) {
    eprintRaw(text + "\n");
}

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace orvtool
