#include "file_io.hpp"

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ashvigil {

namespace {

// Bytes asked of the system per read.
constexpr size_t kReadChunk = 64 * 1024;

// A descriptor, closed when dropped (also when growing the buffer throws).
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() {
        const int saved = errno;
        if (fd_ >= 0) close(fd_);
        errno = saved;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace

Ref os_path(PyObject* path) noexcept {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    const size_t size = encoded ? static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())) : 0;
    if (encoded && std::strlen(PyBytes_AS_STRING(encoded.get())) != size) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return {};
    }
    return encoded;
}

int open_file(const char* name, int flags, bool& signalled) {
    return static_cast<int>(
        without_gil_retrying([&] { return static_cast<long>(open(name, flags | O_CLOEXEC, 0666)); }, signalled));
}

bool read_whole_file(PyObject* path, std::string& out) {
    Ref encoded = os_path(path);
    if (!encoded) return false;
    bool signalled = false;
    Descriptor file(open_file(PyBytes_AS_STRING(encoded.get()), O_RDONLY, signalled));
    if (file.get() < 0) return false;
    // A regular file is read whole in one call; the extra byte's read shows its end.
    struct stat st;
    const bool sized = fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    size_t used = out.size();
    out.resize(used + (sized ? static_cast<size_t>(st.st_size) + 1 : kReadChunk));
    for (;;) {
        if (used == out.size()) out.resize(used + kReadChunk);  // grown with the GIL held
        char* into = out.data() + used;
        const size_t room = out.size() - used;
        const long n = without_gil_retrying([&] { return static_cast<long>(read(file.get(), into, room)); }, signalled);
        if (n <= 0) {
            out.resize(used);
            return n == 0;
        }
        used += static_cast<size_t>(n);
    }
}

}  // namespace ashvigil
