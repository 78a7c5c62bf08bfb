// Replacing a file's whole content so that a reader sees either the old bytes or the new ones.
#pragma once

#include "ref.hpp"

#include <functional>
#include <string>

namespace ashvigil {

// Produces the file's bytes; false with a Python exception set when they cannot be made.
using ContentMaker = std::function<bool(std::string&)>;

// Writes the bytes from `make` to the file at `path` (a str) through a temporary file in the
// target's directory, flushed to stable storage and renamed over the target. The file is opened
// first and the bytes made afterwards, so errors come in the order open() and then the writer
// would raise them: the host's OSError subclasses for the file, the writer's own for the content.
// On any failure the old file is untouched.
bool replace_file_contents(PyObject* path, const ContentMaker& make);

}  // namespace ashvigil
