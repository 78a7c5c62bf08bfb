// Making the text of a log line safe to write: no secrets, one line, a bounded length.
#pragma once

#include <string>
#include <vector>

namespace ashvigil {

// Characters of a log line's text kept before it is cut.
inline constexpr size_t kMaxLogText = 1000;
// A cut prefix of a secret is masked from this many characters on, when it is also at least half
// the secret.
inline constexpr size_t kMinMaskedPrefix = 8;

// In this order:
// - every occurrence of each secret form (in the order given) becomes "***", left to right: the
//   form itself, or written with any of its characters percent-encoded (%XX of its UTF-8 bytes,
//   hex digits in either case) or as JSON \uXXXX escapes (one or two backslashes, either case),
//   "/" also as "\/"; and a prefix of a form, written so, of at least kMinMaskedPrefix characters
//   and half the form, that ends where the text was cut: at its end or before a closing `"`;
// - characters below U+0020, U+007F and U+0080 to U+009F become \n, \r, \t or \xNN; line and
//   paragraph separators, zero-width characters, bidirectional controls and U+FEFF become \uNNNN;
// - a text still longer than kMaxLogText is cut there and " ... (N more characters)" appended.
void make_log_text_safe(std::u32string& text, const std::vector<std::u32string>& secret_forms);

}  // namespace ashvigil
