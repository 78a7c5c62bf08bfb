// The taostats API client's import-time set-up.
#pragma once

namespace ashvigil {

// Notes the host's os.environ as found at import, so the environment readers can tell while it
// is unchanged; false with an exception set on failure.
bool remember_environ() noexcept;

}  // namespace ashvigil
