// Log lines carry server text and exception messages: they may hold the bot token or the API
// key (also URL- or JSON-encoded, or cut short), line breaks that forge further lines (also the
// Unicode ones that str.splitlines() honours), invisible or reordering characters, terminal
// escapes, or a whole error page.
#include "log_text.hpp"

#include <algorithm>

namespace ashvigil {

namespace {

const char kHex[] = "0123456789abcdef";

// One way of writing one character of a secret: a sequence of units, each a character that must
// be there as it is, or a hex digit of the given value in either case.
struct Unit {
    char32_t c;
    bool hex;
};
using Spelling = std::vector<Unit>;

void add_hex(Spelling& s, unsigned value, int digits) {
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) s.push_back({(value >> shift) & 0xF, true});
}

// Every spelling of `c`: itself, its UTF-8 bytes percent-encoded, its UTF-16 units as \uXXXX
// with one or two backslashes, and "\/" or "\\/" for "/".
std::vector<Spelling> spellings(char32_t c) {
    std::vector<Spelling> all{{{c, false}}};
    unsigned char bytes[4];
    int n = 0;
    if (c < 0x80) {
        bytes[n++] = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
        bytes[n++] = static_cast<unsigned char>(0xC0 | (c >> 6));
        bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        bytes[n++] = static_cast<unsigned char>(0xE0 | (c >> 12));
        bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        bytes[n++] = static_cast<unsigned char>(0xF0 | (c >> 18));
        bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        bytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        bytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    Spelling percent;
    for (int i = 0; i < n; ++i) {
        percent.push_back({U'%', false});
        add_hex(percent, bytes[i], 2);
    }
    all.push_back(std::move(percent));
    std::vector<unsigned> units;
    if (c > 0xFFFF) {
        units = {0xD800 + ((c - 0x10000) >> 10), 0xDC00 + ((c - 0x10000) & 0x3FF)};
    } else {
        units = {static_cast<unsigned>(c)};
    }
    for (int backslashes = 1; backslashes <= 2; ++backslashes) {
        Spelling escaped;
        for (unsigned u : units) {
            for (int i = 0; i < backslashes; ++i) escaped.push_back({U'\\', false});
            escaped.push_back({U'u', false});
            add_hex(escaped, u, 4);
        }
        all.push_back(std::move(escaped));
        if (c == U'/') {
            Spelling solidus(static_cast<size_t>(backslashes), Unit{U'\\', false});
            solidus.push_back({U'/', false});
            all.push_back(std::move(solidus));
        }
    }
    return all;
}

bool unit_matches(const Unit& u, char32_t t) {
    if (!u.hex) return t == u.c;
    const char32_t lower = (t >= U'A' && t <= U'F') ? t + (U'a' - U'A') : t;
    return lower == static_cast<char32_t>(kHex[u.c]);
}

// Where a spelling written from some point of a text ends: wholly (at `end`), cut (the text ends,
// or a closing `"` comes, at `end`, after a part of it), or not there at all.
struct Spelled {
    enum { Whole, Cut, No } how;
    size_t end;
};

Spelled spelled_at(const std::u32string& text, size_t at, const Spelling& s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (at + i == text.size()) return {i ? Spelled::Cut : Spelled::No, at + i};
        if (!unit_matches(s[i], text[at + i])) return {i && text[at + i] == U'"' ? Spelled::Cut : Spelled::No, at + i};
    }
    return {Spelled::Whole, at + s.size()};
}

// The end of the text, or a closing quote: where a text cut short inside a JSON string ends.
bool is_cut_point(const std::u32string& text, size_t at) {
    return at == text.size() || text[at] == U'"';
}

class SecretMatcher {
public:
    explicit SecretMatcher(const std::u32string& secret) : length_(secret.size()) {
        for (char32_t c : secret) chars_.push_back(spellings(c));
        starts_ = {secret[0], U'%', U'\\'};
    }

    // The end of the secret, or of a long enough prefix of it cut where the text was cut, written
    // from text[at]; 0 when neither is.
    size_t match(const std::u32string& text, size_t at) const {
        if (std::find(starts_.begin(), starts_.end(), text[at]) == starts_.end()) return 0;
        std::vector<size_t> ends{at}, next;
        size_t cut_end = 0;
        for (size_t k = 0; k < length_; ++k) {
            const bool long_prefix = k >= kMinMaskedPrefix && 2 * k >= length_;  // k characters read
            next.clear();
            for (size_t e : ends) {
                if (long_prefix && is_cut_point(text, e)) cut_end = std::max(cut_end, e);
                for (const Spelling& s : chars_[k]) {
                    const Spelled found = spelled_at(text, e, s);
                    if (found.how == Spelled::Whole) next.push_back(found.end);
                    else if (found.how == Spelled::Cut && long_prefix) cut_end = std::max(cut_end, found.end);
                }
            }
            if (next.empty()) return cut_end;
            std::sort(next.begin(), next.end());
            next.erase(std::unique(next.begin(), next.end()), next.end());
            ends.swap(next);
        }
        return ends.back();
    }

private:
    size_t length_;
    std::vector<std::vector<Spelling>> chars_;
    std::vector<char32_t> starts_;
};

// Replaces every written form of `secret`, left to right and without overlaps, with "***".
void mask(std::u32string& text, const std::u32string& secret) {
    if (secret.empty()) return;
    const SecretMatcher matcher(secret);
    std::u32string out;
    size_t copied = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = matcher.match(text, at);
        if (end == 0) {
            ++at;
            continue;
        }
        out.append(text, copied, at - copied);
        out += U"***";
        copied = at = end;
    }
    if (copied == 0 && out.empty()) return;
    out.append(text, copied, std::u32string::npos);
    text.swap(out);
}

bool is_control(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Characters that end a line for str.splitlines() or change how the rest shows without being
// seen: line and paragraph separators, zero-width characters, bidirectional controls, the BOM.
bool is_invisible(char32_t c) {
    return c == 0x2028 || c == 0x2029 || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

void escape_characters(std::u32string& text) {
    auto needs_escape = [](char32_t c) { return is_control(c) || is_invisible(c); };
    const size_t first = static_cast<size_t>(std::find_if(text.begin(), text.end(), needs_escape) - text.begin());
    if (first == text.size()) return;
    std::u32string out(text, 0, first);
    for (size_t i = first; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (!needs_escape(c)) {
            out.push_back(c);
            continue;
        }
        out.push_back(U'\\');
        if (c == U'\n' || c == U'\r' || c == U'\t') {
            out.push_back(c == U'\n' ? U'n' : c == U'\r' ? U'r' : U't');
            continue;
        }
        const int digits = is_control(c) ? 2 : 4;
        out.push_back(is_control(c) ? U'x' : U'u');
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
            out.push_back(static_cast<char32_t>(kHex[(c >> shift) & 0xF]));
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
    for (const std::u32string& form : secret_forms) mask(text, form);
    escape_characters(text);
    cut_long(text);
}

}  // namespace ashvigil
