// The tables that describe every exported function, and what the binder hands to a body.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <optional>
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

// One parameter, written by name: {.name = "threshold", .kind = Kind::Real, .annotation = "float"}.
struct Param {
    const char* name;
    Kind kind;
    const char* annotation;
    bool keyword_only = false;
    // The default value, an int or a str; a parameter with neither is required.
    std::optional<long long> int_default = std::nullopt;
    const char* str_default = nullptr;

    constexpr bool has_default() const noexcept { return int_default.has_value() || str_default != nullptr; }
};

// The binder keeps the bound arguments of one call in slots of this fixed number.
inline constexpr std::size_t kMaxParams = 8;

// A body receives its arguments bound, converted and checked, in parameter order (borrowed),
// and returns a new reference, or nullptr with an exception set. It may throw (std::bad_alloc
// from a container); the binder turns that into the host's exception.
using Body = PyObject* (*)(PyObject* const* args);

// One exported function: its name, signature, result check, body and docstring.
struct Export {
    const char* name;
    std::span<const Param> params;
    const char* return_annotation;
    Result result;
    Body body;
    const char* doc = nullptr;
};

// True when every row's parameters fit the binder's slots; each table is checked where it is
// written, with static_assert.
constexpr bool fits_binder(std::span<const Export> table) noexcept {
    for (const Export& e : table)
        if (e.params.size() > kMaxParams) return false;
    return true;
}

// Each subsystem's exported functions, in the order the module lists them (the burn values, the
// state file and the burn changes are three tables so that the namespace keeps its order).
extern const std::span<const Export> api_client_exports;
extern const std::span<const Export> burn_value_exports;
extern const std::span<const Export> burn_state_exports;
extern const std::span<const Export> burn_change_exports;
extern const std::span<const Export> reports_exports;
extern const std::span<const Export> telegram_exports;
extern const std::span<const Export> run_control_exports;

}  // namespace ashvigil
