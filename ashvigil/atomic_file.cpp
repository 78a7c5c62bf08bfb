// Whole-file replacement: temporary file, fsync, rename. A crash or a full disk in the middle
// of a write leaves the previous state file intact instead of a truncated one.
#include "atomic_file.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ashvigil {

namespace {

// Follows symbolic links at the final component, so the link stays and its target is replaced.
std::string resolve_links(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) break;
        std::string link(target, static_cast<size_t>(n));
        if (link.empty() || link[0] != '/') {
            size_t slash = path.rfind('/');
            link = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
        path = std::move(link);
    }
    return path;
}

// Runs a blocking system call without the GIL, retrying after EINTR once signal handlers have
// run (as the host's own file functions do). Returns -1 with `signalled` set when a handler
// raised, -1 with errno for any other failure.
template <typename Call>
long syscall_retrying(Call call, bool& signalled) {
    for (;;) {
        long rc;
        Py_BEGIN_ALLOW_THREADS
        rc = call();
        Py_END_ALLOW_THREADS
        if (rc >= 0 || errno != EINTR) return rc;
        if (PyErr_CheckSignals() < 0) {
            signalled = true;
            return -1;
        }
    }
}

// The Python error for a failed step: the handler's exception, or OSError from errno (with the
// caller's path when `path` is given, as open() reports it).
bool fail(bool signalled, PyObject* path = nullptr) {
    if (signalled) return false;
    if (path) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    else PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

bool write_all(int fd, std::string_view data, bool& signalled) {
    while (!data.empty()) {
        long n = syscall_retrying([&] { return static_cast<long>(write(fd, data.data(), data.size())); }, signalled);
        if (n < 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

int open_file(const std::string& name, int flags, bool& signalled) {
    return static_cast<int>(
        syscall_retrying([&] { return static_cast<long>(open(name.c_str(), flags | O_CLOEXEC, 0666)); }, signalled));
}

// The plain rewrite, for when no new file may be made beside the target. The file is truncated
// only once the content is known, so a content that cannot be written leaves it as it was.
bool write_in_place(PyObject* path, const std::string& target, const ContentMaker& make) {
    bool signalled = false;
    int fd = open_file(target, O_WRONLY | O_CREAT, signalled);
    if (fd < 0) return fail(signalled, path);
    std::string data;
    bool ok = make(data);
    struct stat st;
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);  // pipes and devices have no length
    if (ok && ((regular && ftruncate(fd, 0) != 0) || !write_all(fd, data, signalled))) ok = fail(signalled);
    int saved = errno;
    if (close(fd) != 0 && ok) return fail(false);
    errno = saved;
    return ok;
}

int create_temporary(const std::string& target, std::string& temp, bool& signalled) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    static unsigned long counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Short, so a target with a long name still gets one; hidden, so a crash leaves no clutter in view.
        temp = dir + ".ashvigil-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".tmp";
        int fd = open_file(temp, O_WRONLY | O_CREAT | O_EXCL, signalled);
        if (fd >= 0 || signalled || errno != EEXIST) return fd;
    }
    return -1;
}

void sync_directory(const std::string& target) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Fills, flushes and renames the temporary file; on failure removes it and raises.
bool finish_temporary(int fd, const std::string& temp, const std::string& target, const ContentMaker& make) {
    bool signalled = false;
    std::string data;
    bool ok = make(data);
    bool raised = !ok;  // the content's own error is already set
    if (ok && !write_all(fd, data, signalled)) ok = false;
    if (ok && syscall_retrying([&] { return static_cast<long>(fsync(fd)); }, signalled) != 0) ok = false;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = saved;
        return raised ? false : fail(signalled);
    }
    sync_directory(target);
    return true;
}

}  // namespace

bool replace_file_contents(PyObject* path, const ContentMaker& make) noexcept {
    Ref encoded = os_path(path);
    if (!encoded) return false;
    const char* raw = PyBytes_AS_STRING(encoded.get());
    const size_t length = static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()));
    // What open(path, "w") says for these before it looks at the file system.
    errno = length == 0 ? ENOENT : raw[length - 1] == '/' ? EISDIR : 0;
    if (errno) return fail(false, path);
    std::string target = resolve_links(raw);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return fail(false, path);  // a link loop, a file used as a directory
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return fail(false, path);
    }
    // Devices and pipes are written to, not replaced; a read-only file is refused as open() would.
    if (exists && !S_ISREG(st.st_mode)) return write_in_place(path, target, make);
    if (exists && access(target.c_str(), W_OK) != 0) return fail(false, path);
    std::string temp;
    bool signalled = false;
    int fd = create_temporary(target, temp, signalled);
    if (fd < 0) {
        if (!signalled && (errno == EACCES || errno == EPERM || errno == EROFS))
            return write_in_place(path, target, make);
        return fail(signalled, path);
    }
    if (exists) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Keeping the owner needs privileges the process may not have; the content matters more.
        }
    }
    return finish_temporary(fd, temp, target, make);
}

}  // namespace ashvigil
