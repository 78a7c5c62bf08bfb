#include "module.hpp"

namespace ashvigil {

// Filled as the subsystem's functions are built.
const std::span<const FuncSpec> reports_functions;

}  // namespace ashvigil
