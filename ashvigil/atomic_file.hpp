// Replacing a file's whole content so that a reader sees either the old bytes or the new ones.
#pragma once

#include "host.hpp"

#include <string_view>

namespace ashvigil {

// Writes `data` to the file at `path` (a str) through a temporary file in the target's
// directory, flushed to stable storage and renamed over the target. Raises the host's
// OSError subclasses as open() and write() would; on failure the old file is untouched.
bool replace_file_contents(PyObject* path, std::string_view data) noexcept;

}  // namespace ashvigil
