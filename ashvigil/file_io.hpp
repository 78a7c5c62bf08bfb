// Files read and written by the module, under one policy: the GIL is released around every
// blocking system call, and a call interrupted by a signal is retried once the host's signal
// handlers have run (as the host's own file functions do).
#pragma once

#include "ref.hpp"

#include <cerrno>
#include <string>

namespace ashvigil {

// The path's bytes for the operating system (the host's file-system encoding); empty with
// ValueError "embedded null byte" for a path the system cannot take, as open() refuses it.
Ref os_path(PyObject* path) noexcept;

// Runs a blocking system call without the GIL, retrying after EINTR. Returns -1 with
// `signalled` set when a handler raised (its exception is set), -1 with errno for any other
// failure. `call` must neither allocate nor touch Python objects.
template <typename Call>
long without_gil_retrying(Call call, bool& signalled) {
    for (;;) {
        long rc;
        Py_BEGIN_ALLOW_THREADS rc = call();
        Py_END_ALLOW_THREADS
        if (rc >= 0 || errno != EINTR) return rc;
        if (PyErr_CheckSignals() < 0) {
            signalled = true;
            return -1;
        }
    }
}

// open(name, flags | O_CLOEXEC, 0666) under the policy above; the descriptor, or -1.
int open_file(const char* name, int flags, bool& signalled);

// The whole content of the file at `path` (a str). False when it cannot be opened or read: with
// no exception set for the system's refusal (errno tells), with one set for a path the system
// cannot take or a signal handler that raised.
bool read_whole_file(PyObject* path, std::string& out);

}  // namespace ashvigil
