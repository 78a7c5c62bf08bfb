// Whole-file replacement: temporary file, fsync, rename. A crash or a full disk in the middle
// of a write leaves the previous state file intact instead of a truncated one.
#include "atomic_file.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
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

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool fail_with_path(PyObject* path) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
}

bool fail_plain() {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
}

// The plain rewrite, for when no new file may be made beside the target.
bool write_in_place(PyObject* path, const std::string& target, std::string_view data) {
    int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return fail_with_path(path);
    bool ok = write_all(fd, data);
    int saved = errno;
    int rc = close(fd);
    if (!ok) errno = saved;
    return (ok && rc == 0) || fail_plain();
}

int create_temporary(const std::string& target, std::string& temp) {
    size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = dir + "." + base + ".tmp-" + std::to_string(getpid()) + "-" +
               std::to_string(static_cast<unsigned long>(time(nullptr)) ^ ++counter * 2654435761u);
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
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

// Writes, flushes and renames the temporary file; on failure removes it and raises.
bool finish_temporary(int fd, const std::string& temp, const std::string& target, std::string_view data) {
    bool ok = write_all(fd, data);
    if (ok) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = fsync(fd);
        Py_END_ALLOW_THREADS
        ok = rc == 0;
    }
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
        return fail_plain();
    }
    sync_directory(target);
    return true;
}

}  // namespace

bool replace_file_contents(PyObject* path, std::string_view data) noexcept {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) return false;
    const char* raw = PyBytes_AS_STRING(encoded.get());
    if (std::strlen(raw) != static_cast<size_t>(PyBytes_GET_SIZE(encoded.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return false;
    }
    std::string target = resolve_links(raw);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return fail_with_path(path);
    }
    // Devices, pipes and read-only files behave as a plain rewrite would treat them.
    if (exists && !S_ISREG(st.st_mode)) return write_in_place(path, target, data);
    if (exists && access(target.c_str(), W_OK) != 0) return fail_with_path(path);
    std::string temp;
    int fd = create_temporary(target, temp);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM || errno == EROFS) return write_in_place(path, target, data);
        return fail_with_path(path);
    }
    if (exists) {
        fchmod(fd, st.st_mode & 07777);
        if (fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Keeping the owner needs privileges the process may not have; the content matters more.
        }
    }
    return finish_temporary(fd, temp, target, data);
}

}  // namespace ashvigil
