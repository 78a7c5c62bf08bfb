// Log lines carry server text and exception messages: they may hold the bot token or the API
// key, line breaks that forge further lines, terminal escapes, or a whole error page.
#include "log_text.hpp"

namespace ashvigil {

namespace {

// Replaces every occurrence, left to right and without overlaps, as str.replace does.
void replace_all(std::u32string& text, const std::u32string& needle) {
    static const std::u32string kMask = U"***";
    if (needle.empty() || text.find(needle) == std::u32string::npos) return;
    std::u32string out;
    size_t from = 0;
    for (size_t at; (at = text.find(needle, from)) != std::u32string::npos; from = at + needle.size()) {
        out.append(text, from, at - from);
        out += kMask;
    }
    out.append(text, from, std::u32string::npos);
    text.swap(out);
}

bool is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

void escape_controls(std::u32string& text) {
    size_t first = 0;
    while (first < text.size() && !is_control(text[first])) ++first;
    if (first == text.size()) return;
    static const char kHex[] = "0123456789abcdef";
    std::u32string out(text, 0, first);
    for (size_t i = first; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (!is_control(c)) {
            out.push_back(c);
            continue;
        }
        out.push_back(U'\\');
        if (c == U'\n' || c == U'\r' || c == U'\t') {
            out.push_back(c == U'\n' ? U'n' : c == U'\r' ? U'r' : U't');
        } else {
            out.push_back(U'x');
            out.push_back(static_cast<char32_t>(kHex[c >> 4]));
            out.push_back(static_cast<char32_t>(kHex[c & 0xF]));
        }
    }
    text.swap(out);
}

void cut_long(std::u32string& text) {
    if (text.size() <= kMaxLogText) return;
    const std::string tail = " ... (" + std::to_string(text.size() - kMaxLogText) + " more characters)";
    text.resize(kMaxLogText);
    text.append(tail.begin(), tail.end());
}

}  // namespace

void make_log_text_safe(std::u32string& text, const std::vector<std::u32string>& secret_forms) {
    for (const std::u32string& form : secret_forms) replace_all(text, form);
    escape_controls(text);
    cut_long(text);
}

}  // namespace ashvigil
