// Whole-file replacement: temporary file, fsync, rename. A crash or a full disk in the middle
// of a write leaves the previous state file intact instead of a truncated one.
#include "atomic_file.hpp"
#include "file_io.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ashvigil {

namespace {

// Links followed at most, as the system's own limit on a path's links (MAXSYMLINKS).
constexpr int kMaxLinks = 40;
// Names tried for a temporary file before giving up (each taken one was left by a live process).
constexpr int kTemporaryAttempts = 100;

// Follows symbolic links at the final component, so the link stays and its target is replaced.
std::string resolve_links(std::string path) {
    for (int depth = 0; depth < kMaxLinks; ++depth) {
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
        long n =
            without_gil_retrying([&] { return static_cast<long>(write(fd, data.data(), data.size())); }, signalled);
        if (n < 0) return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// An open descriptor, closed when dropped (also when making the content throws); for a
// temporary file also its name, removed unless it was renamed over the target.
struct OpenFile {
    int fd = -1;
    std::string temp;
    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() {
        const int saved = errno;
        if (fd >= 0) close(fd);
        if (!temp.empty()) unlink(temp.c_str());
        errno = saved;
    }
    // close() with its result; the descriptor is gone either way.
    bool close_now() { return close(std::exchange(fd, -1)) == 0; }
};

// The plain rewrite, for when no new file may be made beside the target. The file is truncated
// only once the content is known, so a content that cannot be written leaves it as it was.
bool write_in_place(PyObject* path, const std::string& target, const ContentMaker& make) {
    bool signalled = false;
    OpenFile file;
    file.fd = open_file(target.c_str(), O_WRONLY | O_CREAT, signalled);
    if (file.fd < 0) return fail(signalled, path);
    std::string data;
    bool ok = make(data);
    struct stat st;
    const bool regular = fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode);  // pipes and devices have no length
    if (ok && ((regular && ftruncate(file.fd, 0) != 0) || !write_all(file.fd, data, signalled))) ok = fail(signalled);
    int saved = errno;
    if (!file.close_now() && ok) return fail(false);
    errno = saved;
    return ok;
}

// The target's directory with its trailing slash; empty for the working directory.
std::string directory_of(const std::string& target) {
    size_t slash = target.rfind('/');
    return slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
}

// Temporary files are named ".ashvigil-<pid>-<count>.tmp": short, so a target with a long name
// still gets one; hidden, so a crash leaves no clutter in view; the pid tells whose it is.
constexpr char kTempPrefix[] = ".ashvigil-";
constexpr char kTempSuffix[] = ".tmp";

// A positive decimal number as std::to_string writes it (digits only, no leading zero), at most
// `most`; advances `p` past it. 0 when there is none.
unsigned long long leading_number(const char*& p, unsigned long long most) {
    if (*p < '1' || *p > '9') return 0;
    unsigned long long n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + static_cast<unsigned>(*p - '0');
        if (n > most) return 0;
    }
    return n;
}

// The pid in a temporary file's name, or 0 when the name is not one this module makes.
pid_t temporary_owner(const char* name) {
    if (std::strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) != 0) return 0;
    const char* p = name + sizeof kTempPrefix - 1;
    const auto pid = static_cast<pid_t>(leading_number(p, INT_MAX));
    if (pid == 0 || *p++ != '-' || leading_number(p, ULLONG_MAX) == 0) return 0;
    return std::strcmp(p, kTempSuffix) == 0 ? pid : 0;
}

// True when no save holds the file: a save keeps its temporary file locked until it is renamed,
// and a lock ends with its process wherever that runs (another PID namespace, another host on a
// shared directory), where the pid alone cannot tell. File systems without locks answer yes.
bool unlocked(int dir, const char* name) {
    const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool idle = flock(fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
    close(fd);
    return idle;
}

// Removes the temporary files that processes no longer running left in the directory (a save
// killed between creating and renaming its file). Files of live processes, this one included,
// may be saves in progress and stay. Best effort: nothing here fails a save.
void remove_stale_temporaries(const std::string& dir) {
    const int saved = errno;
    Py_BEGIN_ALLOW_THREADS  // a large directory takes a while; no Python and no allocation below
        if (DIR* d = opendir(dir.empty() ? "." : dir.c_str())) {
            const pid_t self = getpid();
            while (const dirent* entry = readdir(d)) {
                const pid_t owner = temporary_owner(entry->d_name);
                if (owner > 0 && owner != self && kill(owner, 0) != 0 && errno == ESRCH &&
                    unlocked(dirfd(d), entry->d_name))
                    unlinkat(dirfd(d), entry->d_name, 0);
            }
            closedir(d);
        }
    Py_END_ALLOW_THREADS
    errno = saved;
}

int create_temporary(const std::string& target, std::string& temp, bool& signalled) {
    const std::string dir = directory_of(target);
    static unsigned long counter = 0;
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        temp = dir + kTempPrefix + std::to_string(getpid()) + "-" + std::to_string(++counter) + kTempSuffix;
        int fd = open_file(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, signalled);
        if (fd >= 0) flock(fd, LOCK_EX | LOCK_NB);  // marks the save as live; see unlocked()
        if (fd >= 0 || signalled || errno != EEXIST) return fd;
    }
    return -1;
}

void sync_directory(const std::string& target) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const int saved = errno;
    Py_BEGIN_ALLOW_THREADS  // best effort: an interrupted flush of the directory is not retried
        const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    Py_END_ALLOW_THREADS
    errno = saved;
}

// Fills, flushes and renames the temporary file; on failure it is removed (by `file`) and the
// error raised.
bool finish_temporary(OpenFile& file, const std::string& target, const ContentMaker& make) {
    bool signalled = false;
    std::string data;
    if (!make(data)) return false;  // the content's own error is already set
    bool ok = write_all(file.fd, data, signalled) &&
              without_gil_retrying([&] { return static_cast<long>(fsync(file.fd)); }, signalled) == 0;
    int saved = errno;
    if (!file.close_now() && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && without_gil_retrying([&] { return static_cast<long>(rename(file.temp.c_str(), target.c_str())); },
                                   signalled) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        errno = saved;
        return fail(signalled);
    }
    file.temp.clear();  // renamed: nothing left to remove
    sync_directory(target);
    return true;
}

}  // namespace

bool replace_file_contents(PyObject* path, const ContentMaker& make) {
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
    remove_stale_temporaries(directory_of(target));
    OpenFile file;
    bool signalled = false;
    file.fd = create_temporary(target, file.temp, signalled);
    if (file.fd < 0) {
        file.temp.clear();  // not ours: the name was taken, or nothing was created
        if (!signalled && (errno == EACCES || errno == EPERM || errno == EROFS))
            return write_in_place(path, target, make);
        return fail(signalled, path);
    }
    if (exists) {
        fchmod(file.fd, st.st_mode & 07777);
        if (fchown(file.fd, st.st_uid, st.st_gid) != 0) {
            // Keeping the owner needs privileges the process may not have; the content matters more.
        }
    }
    return finish_temporary(file, target, make);
}

}  // namespace ashvigil
