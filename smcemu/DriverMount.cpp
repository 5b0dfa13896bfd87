#define FUSE_USE_VERSION 31

#include "DriverMount.h"

#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string_view>

namespace smcemu {
namespace {

// What one open file remembers: the content its last read from offset 0 produced, so a
// reader that takes it in pieces sees one consistent value.
struct OpenFile {
    std::string content;
    bool produced = false;
};

}  // namespace

struct DriverMount::State {
    DriverModel& model;
    time_t mountTime = 0;
    std::set<OpenFile*> open;  // files still open; freed at the end if not released
};

namespace {

DriverMount::State& state() {
    return *static_cast<DriverMount::State*>(fuse_get_context()->private_data);
}

DriverModel& model() {
    return state().model;
}

// The path of a file or directory relative to the tree's root ("/" is "").
std::string_view fileName(const char* path) {
    std::string_view p(path);
    return !p.empty() && p[0] == '/' ? p.substr(1) : std::string_view();
}

void* onInit(fuse_conn_info*, fuse_config* config) {
    config->direct_io = 1;  // contents have no size known in advance
    config->kernel_cache = 0;
    config->use_ino = 0;
    // A hwmon directory goes away on a wake: the kernel must not answer for it from its cache
    // once it has moved.
    if (model().layout() == DriverLayout::Hwmon)
        config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
    return fuse_get_context()->private_data;
}

int onGetattr(const char* path, struct stat* st, fuse_file_info*) {
    std::memset(st, 0, sizeof *st);
    st->st_mtime = st->st_ctime = st->st_atime = state().mountTime;
    if (model().isDirectory(fileName(path))) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    const DriverModel::File* file = model().file(fileName(path));
    if (!file) return -ENOENT;
    st->st_mode = S_IFREG | (file->writable ? 0644 : 0444);
    st->st_nlink = 1;
    st->st_size = 4096;  // as sysfs reports every attribute
    return 0;
}

int onReaddir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    const std::string_view name = fileName(path);
    if (!model().isDirectory(name)) return model().file(name) ? -ENOTDIR : -ENOENT;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const DriverModel::Entry& entry : model().list(name))
        fill(buffer, entry.name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int onOpen(const char* path, fuse_file_info* info) {
    const DriverModel::File* file = model().file(fileName(path));
    if (!file) return -ENOENT;
    // As sysfs: a file without a store refuses to be opened for writing, even by root.
    if ((info->flags & O_ACCMODE) != O_RDONLY && !file->writable) return -EACCES;
    info->direct_io = 1;
    auto* open = new OpenFile;
    state().open.insert(open);
    info->fh = reinterpret_cast<uint64_t>(open);
    return 0;
}

int onRelease(const char*, fuse_file_info* info) {
    auto* open = reinterpret_cast<OpenFile*>(info->fh);
    state().open.erase(open);
    delete open;
    return 0;
}

int onRead(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* info) {
    auto* open = reinterpret_cast<OpenFile*>(info->fh);
    if (offset == 0 || !open->produced) {
        DriverModel::Content content = model().read(fileName(path), fuse_get_context()->pid);
        if (content.error) return -content.error;
        open->content = std::move(content.bytes);
        open->produced = true;
    }
    if (offset < 0 || static_cast<size_t>(offset) >= open->content.size()) return 0;
    size_t n = std::min(size, open->content.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, open->content.data() + offset, n);
    return static_cast<int>(n);
}

int onWrite(const char* path, const char* data, size_t size, off_t, fuse_file_info*) {
    const fuse_context* context = fuse_get_context();
    int error =
        model().write(fileName(path), std::string_view(data, size), context->uid, context->pid);
    return error ? -error : static_cast<int>(size);
}

// Opening with O_TRUNC (a shell's ">") truncates first; attributes have nothing to cut.
int onTruncate(const char* path, off_t, fuse_file_info*) {
    const DriverModel::File* file = model().file(fileName(path));
    if (!file) return -ENOENT;
    return file->writable && fuse_get_context()->uid == 0 ? 0 : -EACCES;
}

fuse_operations operations() {
    fuse_operations ops{};
    ops.init = onInit;
    ops.getattr = onGetattr;
    ops.readdir = onReaddir;
    ops.open = onOpen;
    ops.release = onRelease;
    ops.read = onRead;
    ops.write = onWrite;
    ops.truncate = onTruncate;
    return ops;
}

}  // namespace

DriverMount::DriverMount(DriverModel& model, std::string mountPoint)
    : state_(new State{model, 0, {}}), mountPoint_(std::move(mountPoint)) {}

DriverMount::~DriverMount() {
    stop();
}

void DriverMount::start() {
    if (fuse_) return;
    state_->mountTime = std::time(nullptr);
    // Open to every user, with the kernel checking the files' modes.
    const char* argv[] = {"smcemu", "-o",
                          "allow_other,default_permissions,fsname=applesmc,subtype=applesmc"};
    fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
    fuse_operations ops = operations();
    fuse_ = fuse_new(&args, &ops, sizeof ops, state_.get());
    fuse_opt_free_args(&args);
    if (!fuse_) throw DriverError("cannot set up the driver's file system");
    if (fuse_mount(fuse_, mountPoint_.c_str()) != 0) {
        fuse_destroy(fuse_);
        fuse_ = nullptr;
        throw DriverError("cannot mount the driver's files on " + mountPoint_);
    }
    if (pipe2(wakePipe_, O_CLOEXEC) != 0) {
        fuse_unmount(fuse_);
        fuse_destroy(fuse_);
        fuse_ = nullptr;
        throw DriverError(std::string("pipe: ") + std::strerror(errno));
    }
    thread_ = std::thread([this] { serve(); });
}

void DriverMount::stop() {
    if (!fuse_) return;
    char wake = 'x';
    while (::write(wakePipe_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    // Closes the device first, which fails every request still waiting, then detaches.
    fuse_unmount(fuse_);
    fuse_destroy(fuse_);
    fuse_ = nullptr;
    for (OpenFile* open : state_->open)
        delete open;
    state_->open.clear();
    close(wakePipe_[0]);
    close(wakePipe_[1]);
    wakePipe_[0] = wakePipe_[1] = -1;
}

// One request at a time: the driver serialises file accesses anyway.
void DriverMount::serve() {
    fuse_session* session = fuse_get_session(fuse_);
    const int fd = fuse_session_fd(session);
    fuse_buf buffer{};
    while (!fuse_session_exited(session)) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents) break;
        int n = fuse_session_receive_buf(session, &buffer);
        if (n == -EINTR || n == -EAGAIN) continue;
        if (n <= 0) break;  // unmounted from outside, or the connection was aborted
        fuse_session_process_buf(session, &buffer);
    }
    std::free(buffer.mem);
}

}  // namespace smcemu
