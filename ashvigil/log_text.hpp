// Making the text of a log line safe to write: no secrets, one line, a bounded length.
#pragma once

#include <string>
#include <vector>

namespace ashvigil {

// Characters of a log line's text kept before it is cut.
inline constexpr size_t kMaxLogText = 1000;

// In this order: every occurrence of each secret form (in the order given) becomes "***";
// characters below U+0020, U+007F and U+0080 to U+009F become \n, \r, \t or \xNN; a text still
// longer than kMaxLogText is cut there and " ... (N more characters)" appended.
void make_log_text_safe(std::u32string& text, const std::vector<std::u32string>& secret_forms);

}  // namespace ashvigil
