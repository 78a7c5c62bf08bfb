#include "module.hpp"

namespace ashvigil {

// Filled as the subsystem's functions are built.
const std::span<const FuncSpec> api_client_functions;

}  // namespace ashvigil
