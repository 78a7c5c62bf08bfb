// The table that describes every exported function, and what the binder hands to a body.
#pragma once

#include "host.hpp"

#include <span>

namespace ashvigil {

// How the binder checks or converts one argument before the body runs.
enum class Kind : unsigned char {
    Text,     // exactly str
    Mapping,  // exactly dict
    List,     // exactly list
    Real,     // anything float() of the number protocol accepts; the body gets an exact float
    Integer,  // int unchanged, other numbers truncated; the body gets an exact int
};

// The declared result type, checked just before the function returns (None always passes).
enum class Result : unsigned char { Unchecked, Text, Mapping, List, Flag, Pair, Integer };

struct Param {
    const char* name;
    Kind kind;
    const char* annotation;
    bool keyword_only = false;
    // Default value: an int when has_int_default, a str when str_default is set, else required.
    bool has_int_default = false;
    long long int_default = 0;
    const char* str_default = nullptr;

    bool has_default() const noexcept { return has_int_default || str_default != nullptr; }
};

inline constexpr int kMaxParams = 8;

// A body receives its arguments bound, converted and checked, in parameter order (borrowed),
// and returns a new reference, or nullptr with an exception set. It may throw (std::bad_alloc
// from a container); the binder turns that into the host's exception.
using Body = PyObject* (*)(PyObject* const* args);

struct FuncSpec {
    const char* name;
    std::span<const Param> params;
    const char* return_annotation;
    Result result;
    Body body;
    const char* doc = nullptr;
};

// Each subsystem's exported functions, in the order the module lists them.
extern const std::span<const FuncSpec> api_client_functions;
extern const std::span<const FuncSpec> burns_functions;
extern const std::span<const FuncSpec> reports_functions;
extern const std::span<const FuncSpec> telegram_functions;
extern const std::span<const FuncSpec> run_control_functions;

// Notes the host's os.environ as found at import, so the environment readers can tell while it
// is unchanged; false with an exception set on failure.
bool remember_environ() noexcept;

// Creates the function object for one table row; new reference.
Ref make_function(const FuncSpec& spec) noexcept;
bool ready_function_type() noexcept;

}  // namespace ashvigil
