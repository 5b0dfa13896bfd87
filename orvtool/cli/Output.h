// The tool's two streams: results on standard output, one buffered line at a time, and
// usage, errors and log lines on standard error, one unbuffered write per message.
#pragma once

#include <string>

namespace orvtool {

// The streams of one run of the tool, and what became of the results it printed.
class Output {
  public:
    // Writes text and a line feed to standard error in one write (continued only if the
    // system takes part of it). Standard output is flushed first, so that the two streams
    // keep their order when they go to the same file.
    void eprint(const std::string& text);

    // Writes text to standard error unchanged (for messages that carry their own line feed).
    void eprintRaw(const std::string& text);

    // Writes text and a line feed to standard output (buffered).
    void print(const std::string& text);

    // Records that standard output was closed when the process started (it now points at
    // /dev/null): whatever is printed counts as lost.
    void markStdoutClosed() { stdoutClosed_ = true; }

    // Flushes standard output; false when anything printed so far was lost (closed stream,
    // full device, broken pipe, ...).
    bool flushStdout();

    // The errno of the first lost output, or 0.
    int stdoutError() const { return stdoutError_; }

  private:
    void noteError(int err);

    bool stdoutClosed_ = false;
    int stdoutError_ = 0;
};

// The message for lost output, without its line feed: the reason and the errno.
std::string stdoutFailureText(int err);

}  // namespace orvtool
