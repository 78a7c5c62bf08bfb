// Alert and snapshot texts, and their division into pieces that fit one message.
#include "export.hpp"
#include "function.hpp"
#include "host.hpp"
#include "text.hpp"
#include "values.hpp"

#include <algorithm>
#include <climits>
#include <string_view>
#include <string>
#include <vector>

namespace ashvigil {
namespace {

constexpr char32_t kNewline = U'\n';
// A text's header: at most this many lines before the empty line that ends it, and this many
// lines when there is no empty line among the first kMaxHeaderLines + 1.
constexpr size_t kMaxHeaderLines = 3;

// Appends format_owner_burn(value) as text, looked up in the namespace so a replacement applies.
bool append_formatted_burn(TextBuilder& out, PyObject* value) {
    Ref formatted = call_global("format_owner_burn", {value});
    return formatted && out.append_text_form(formatted.get());
}

// A message's first lines: its title, then the time stamp with " UTC".
bool append_heading(TextBuilder& out, std::string_view title, PyObject* updated_at) {
    out.append_ascii(title);
    out.append_ascii("\n");
    if (!out.append(updated_at)) return false;
    out.append_ascii(" UTC\n");
    return true;
}

PyObject* format_burn_alert(PyObject* const* args) {
    PyObject *changes = args[0], *updated_at = args[1];
    TextBuilder out;
    if (!append_heading(out, "Owner burn rate changed", updated_at)) return nullptr;
    // Indexed like the host's list iterator: a replaced formatter may change the list meanwhile.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(changes); ++i) {
        Ref change = Ref::borrow(PyList_GET_ITEM(changes, i));
        Ref parts[3];
        if (!unpack_exact(change.get(), parts, 3)) return nullptr;
        out.append_ascii("\nSN");
        if (!out.append_text_form(parts[0].get())) return nullptr;
        out.append_ascii(": ");
        if (!append_formatted_burn(out, parts[1].get())) return nullptr;
        out.append_ascii(" ");
        out.append_char(0x2192);  // the arrow
        out.append_ascii(" ");
        if (!append_formatted_burn(out, parts[2].get())) return nullptr;
    }
    return out.build().release();
}

// One row with its sort key, int(row.get("netuid", 0)).
struct Keyed {
    Ref row;
    IntKey key;
};

PyObject* format_burn_snapshot(PyObject* const* args) {
    PyObject *rows = args[0], *updated_at = args[1];
    TextBuilder out;
    if (!append_heading(out, "Subnet owner burn rates (startup)", updated_at)) return nullptr;
    out.append_ascii(std::to_string(PyList_GET_SIZE(rows)));
    out.append_ascii(" subnets\n");

    PyObject* netuid = constant_str("netuid");  // borrowed
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!netuid || !zero) return nullptr;
    // A copy, so the caller's list keeps its order; every key is made before any line.
    Ref copy = Ref::steal(PyList_GetSlice(rows, 0, PyList_GET_SIZE(rows)));
    if (!copy) return nullptr;
    std::vector<Keyed> keyed;
    keyed.reserve(static_cast<size_t>(PyList_GET_SIZE(copy.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(copy.get()); ++i) {
        Keyed k{Ref::borrow(PyList_GET_ITEM(copy.get(), i)), {}};
        Ref raw = get_item(k.row.get(), netuid, zero.get());
        if (!raw || !k.key.assign(raw.get())) return nullptr;
        keyed.push_back(std::move(k));
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.key < b.key; });

    for (const Keyed& k : keyed) {
        Ref id = get_item(k.row.get(), netuid, nullptr);
        if (!id) return nullptr;
        out.append_ascii("\nSN");
        if (!out.append_text_form(id.get())) return nullptr;
        out.append_ascii(": ");
        Ref burn = call_global("owner_burn_from_row", {k.row.get()});
        if (!burn || !append_formatted_burn(out, burn.get())) return nullptr;
    }
    return out.build().release();
}

// A line of the text: [begin, end) in code points.
struct Line {
    size_t begin, end;
    size_t size() const { return end - begin; }
};

std::vector<Line> split_lines(const std::u32string& text) {
    std::vector<Line> lines;
    size_t begin = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == kNewline) {
            lines.push_back({begin, i});
            begin = i + 1;
        }
    lines.push_back({begin, text.size()});
    return lines;
}

// Builds pieces of header lines, one empty line and body lines, never cutting a line.
class Chunker {
public:
    Chunker(const std::u32string& text, std::span<const Line> header, long long max_len)
        : text_(text), header_(header), max_len_(max_len) {}

    bool add(const Line& line, PyObject* pieces) {
        if (body_lines_ == 0) {
            start();
        } else if (static_cast<long long>(piece_.size() + 1 + line.size()) > max_len_) {
            if (!flush(pieces)) return false;
            start();
        }
        piece_.push_back(kNewline);
        piece_.append(text_, line.begin, line.size());
        ++body_lines_;
        return true;
    }

    // Adds the current piece (the header alone when there was no body) as the last one.
    bool finish(PyObject* pieces) {
        if (body_lines_ == 0) append_header();
        return flush(pieces);
    }

private:
    void append_header() {
        piece_.clear();
        for (size_t i = 0; i < header_.size(); ++i) {
            if (i > 0) piece_.push_back(kNewline);
            piece_.append(text_, header_[i].begin, header_[i].size());
        }
    }
    // The header followed by the empty line; the next body line goes after one more line feed.
    void start() {
        append_header();
        if (!header_.empty()) piece_.push_back(kNewline);
        body_lines_ = 0;
    }
    bool flush(PyObject* pieces) {
        Ref piece = str(piece_);
        return piece && PyList_Append(pieces, piece.get()) == 0;
    }

    const std::u32string& text_;
    std::span<const Line> header_;
    long long max_len_;
    std::u32string piece_;
    size_t body_lines_ = 0;
};

PyObject* chunk_text(PyObject* const* args) {
    PyObject *text = args[0], *limit = args[1];
    int overflow = 0;
    long long max_len = PyLong_AsLongLongAndOverflow(limit, &overflow);
    if (overflow) max_len = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    if (PyUnicode_READY(text) < 0) return nullptr;
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) return nullptr;
    if (static_cast<long long>(PyUnicode_GET_LENGTH(text)) <= max_len)
        return PyList_Append(pieces.get(), text) == 0 ? pieces.release() : nullptr;

    std::u32string all;
    if (!append_code_points(all, text)) return nullptr;
    const std::vector<Line> lines = split_lines(all);
    // Header lines alone: the text goes whole.
    if (lines.size() <= kMaxHeaderLines) return PyList_Append(pieces.get(), text) == 0 ? pieces.release() : nullptr;
    // The header ends at the first empty line among the first four, which separates it from the
    // body; without one, the header is three lines and the body starts right after it, so no
    // line that carries text is lost.
    size_t header_size = kMaxHeaderLines, body_start = kMaxHeaderLines;
    for (size_t i = 0; i <= kMaxHeaderLines; ++i)
        if (lines[i].size() == 0) {
            header_size = i;
            body_start = i + 1;
            break;
        }
    Chunker chunker(all, std::span<const Line>(lines.data(), header_size), max_len);
    for (size_t i = body_start; i < lines.size(); ++i)
        if (!chunker.add(lines[i], pieces.get())) return nullptr;
    return chunker.finish(pieces.get()) ? pieces.release() : nullptr;
}

constexpr Param kAlert[] = {
    {.name = "changes", .kind = Kind::List, .annotation = "list[tuple[str, str, str]]"},
    {.name = "updated_at", .kind = Kind::Text, .annotation = "str"},
};
constexpr Param kSnapshot[] = {
    {.name = "rows", .kind = Kind::List, .annotation = "list[dict[str, Any]]"},
    {.name = "updated_at", .kind = Kind::Text, .annotation = "str"},
};
constexpr Param kChunk[] = {
    {.name = "text", .kind = Kind::Text, .annotation = "str"},
    {.name = "max_len", .kind = Kind::Integer, .annotation = "int", .int_default = 3900},
};

constexpr Export kExports[] = {
    {.name = "format_burn_alert",
     .params = kAlert,
     .return_annotation = "str",
     .result = Result::Text,
     .body = format_burn_alert,
     .doc = "The alert message: a title, the time with \" UTC\", a blank line, then \"SN<id>: old \u2192 new\" per "
            "change."},
    {.name = "format_burn_snapshot",
     .params = kSnapshot,
     .return_annotation = "str",
     .result = Result::Text,
     .body = format_burn_snapshot,
     .doc = "The start-up message: title, time, subnet count, a blank line, then one line per row in subnet order."},
    {.name = "_chunk_text",
     .params = kChunk,
     .return_annotation = "list[str]",
     .result = Result::List,
     .body = chunk_text,
     .doc = "Pieces of at most max_len characters, each repeating the header lines; no line is ever cut."},
};
static_assert(fits_binder(kExports));

}  // namespace

const std::span<const Export> reports_exports = kExports;

}  // namespace ashvigil
