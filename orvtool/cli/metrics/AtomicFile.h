// Replaces a file as a whole, so that a reader (node_exporter's textfile collector) sees the
// old content or the new one, never a part: a temporary file in the same directory, created
// afresh and never through a link, written, synced, made 0644 and renamed over the file.
#pragma once

#include <optional>
#include <string>

namespace metrics {

// Where writing stopped, and the errno then (0 for the directory check).
struct WriteFailure {
    enum class Step {
        badPath,             // no file name (empty, ".", "..", ending in "/")
        openDirectory,       // the directory could not be opened (missing, a link, no directory)
        untrustedDirectory,  // root, and the directory is not root's or others may write it
        createTemporary,     // the temporary could not be made (one is already there: EEXIST)
        write,
        sync,
        mode,
        rename,
    };
    Step step;
    int error = 0;
};

// The temporary's name beside `fileName`: hidden, per process and not ending in ".prom", so
// that the collector never reads it.
std::string temporaryName(const std::string& fileName);

// Writes `contents` to `path` as above; none when it was replaced. When the process runs as
// root, the directory must be root's and writable by nobody else: any other user could
// plant or swap what root writes there. The directory is opened without following a link
// and everything after goes through that descriptor. The temporary is removed on any
// failure after it was made.
std::optional<WriteFailure> replaceFile(const std::string& path, const std::string& contents);

}  // namespace metrics
