// The burn state file: reading the stored map back, and writing it in its fixed JSON layout.
#include "atomic_file.hpp"
#include "errors.hpp"
#include "export.hpp"
#include "file_io.hpp"
#include "host.hpp"
#include "host_json.hpp"
#include "text.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace ashvigil {

namespace {

// The state file's two keys, in the order the layout writes them.
constexpr char kBurnsKey[] = "owner_burn_rate";
constexpr char kStampKey[] = "updated_at_utc";

// The layout's indent, as json.dumps(..., indent=2) writes it.
constexpr long kIndent = 2;

// {str(k): str(v)} over the stored object, in file order.
PyObject* texts_of(PyObject* stored) {
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    PyObject *key, *value;  // borrowed, held below: str() may run code that changes the dict
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(stored);
    while (PyDict_Next(stored, &pos, &key, &value)) {
        Ref held_key = Ref::borrow(key), held_value = Ref::borrow(value);
        Ref k = text_form(held_key.get()), v = text_form(held_value.get());
        if (!k || !v || PyDict_SetItem(result.get(), k.get(), v.get()) < 0) return nullptr;
        if (PyDict_GET_SIZE(stored) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return nullptr;
        }
    }
    return result.release();
}

// --- reading the module's own layout --------------------------------------------------------------

// Reads the exact layout the writer below makes, all ASCII, natively; json.loads would give the
// same map for it. Anything else (hand edits, other spacing, non-ASCII bytes, surrogate or "\/"
// escapes, other keys) is left to the host's json.loads and its acceptance rules.
// What reading the layout ends with: the map, a text in some other form, or a failure.
enum class Layout { Read, Other, Failed };

class LayoutReader {
public:
    explicit LayoutReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    // Read with `map` filled, Other when the text is not in the layout, Failed with an exception set.
    Layout read(Ref& map) {
        if (!take("{\n  ") || !take_key(kBurnsKey) || !take("{")) return Layout::Other;
        map = Ref::steal(PyDict_New());
        if (!map) return Layout::Failed;
        if (!take("}")) {
            for (bool first = true; first || take(","); first = false) {
                Ref key, value;
                if (!take("\n    ") || !string(key) || !take(": ") || !string(value)) return fail();
                if (PyDict_SetItem(map.get(), key.get(), value.get()) < 0) return Layout::Failed;
            }
            if (!take("\n  }")) return Layout::Other;
        }
        Ref stamp;
        if (!take(",\n  ") || !take_key(kStampKey) || !string(stamp) || !take("\n}\n")) return fail();
        return p_ == end_ ? Layout::Read : Layout::Other;
    }

private:
    static Layout fail() { return PyErr_Occurred() ? Layout::Failed : Layout::Other; }

    bool take(std::string_view expected) {
        if (static_cast<size_t>(end_ - p_) < expected.size() || std::string_view(p_, expected.size()) != expected)
            return false;
        p_ += expected.size();
        return true;
    }

    // "key": with the space after it.
    bool take_key(std::string_view key) { return take("\"") && take(key) && take("\": "); }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // A JSON string of printable ASCII and the writer's escapes; false when it is anything else.
    bool string(Ref& out) {
        if (!take("\"")) return false;
        const char* run = p_;
        while (p_ != end_ && *p_ >= 0x20 && *p_ <= 0x7E && *p_ != '"' && *p_ != '\\') ++p_;
        if (p_ != end_ && *p_ == '"') {  // no escapes: the common case
            out = Ref::steal(PyUnicode_New(p_ - run, 0x7F));
            if (!out) return false;
            std::memcpy(PyUnicode_1BYTE_DATA(out.get()), run, static_cast<size_t>(p_ - run));
            ++p_;
            return true;
        }
        TextBuilder text;
        for (;;) {
            if (p_ == end_) return false;
            const char c = *p_;
            if (c == '"' || c == '\\') {
                text.append_ascii(std::string_view(run, static_cast<size_t>(p_ - run)));
                ++p_;
                if (c == '"') break;
                if (!escape(text)) return false;
                run = p_;
            } else if (c < 0x20 || c > 0x7E) {
                return false;
            } else {
                ++p_;
            }
        }
        out = text.build();
        return static_cast<bool>(out);
    }

    bool escape(TextBuilder& text) {
        if (p_ == end_) return false;
        const char c = *p_++;
        switch (c) {
        case '"': text.append_char('"'); return true;
        case '\\': text.append_char('\\'); return true;
        case 'n': text.append_char('\n'); return true;
        case 'r': text.append_char('\r'); return true;
        case 't': text.append_char('\t'); return true;
        case 'b': text.append_char('\b'); return true;
        case 'f': text.append_char('\f'); return true;
        case 'u': break;
        default: return false;
        }
        if (end_ - p_ < 4) return false;
        Py_UCS4 u = 0;
        for (int i = 0; i < 4; ++i) {
            const int d = hex_digit(*p_++);
            if (d < 0) return false;
            u = u * 16 + static_cast<Py_UCS4>(d);
        }
        if (u >= 0xD800 && u <= 0xDFFF) return false;  // pairs and lone halves: the host decides
        text.append_char(u);
        return true;
    }

    const char* p_;
    const char* end_;
};

// --- writing -------------------------------------------------------------------------------------

// Text: a u32string, or a string_view of ASCII characters.
template <typename Text>
void append_json_string(std::string& out, const Text& s) {
    static const char hex[] = "0123456789abcdef";
    auto escape16 = [&](char32_t u) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += hex[(u >> shift) & 0xF];
    };
    out += '"';
    for (auto unit : s) {
        const auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<typename Text::value_type>>(unit));
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c >= 0x20 && c <= 0x7E) out += static_cast<char>(c);
            else if (c > 0xFFFF) {
                escape16(0xD800 + ((c - 0x10000) >> 10));
                escape16(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else escape16(c);
        }
    }
    out += '"';
}

using Member = std::pair<std::u32string, std::u32string>;

// Collects the map's members when every key and value is an exact str; false otherwise.
bool exact_text_members(PyObject* burns, std::vector<Member>& members, bool& ok) {
    PyObject *key, *value;  // borrowed
    Py_ssize_t pos = 0;
    while (PyDict_Next(burns, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !PyUnicode_CheckExact(value)) return false;
        Member m;
        if (!append_code_points(m.first, key) || !append_code_points(m.second, value)) {
            ok = false;
            return false;
        }
        members.push_back(std::move(m));
    }
    return true;
}

// The same for a map of ASCII texts, viewed in place (their code point order is their byte order).
using AsciiMember = std::pair<std::string_view, std::string_view>;

std::string_view ascii_view(PyObject* s) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s))};
}

bool is_ascii_str(PyObject* s) {
    return PyUnicode_CheckExact(s) && PyUnicode_IS_READY(s) && PyUnicode_IS_ASCII(s);
}

bool ascii_members(PyObject* burns, std::vector<AsciiMember>& members) {
    PyObject *key, *value;  // borrowed; nothing runs that could change the map while they are viewed
    Py_ssize_t pos = 0;
    members.reserve(static_cast<size_t>(PyDict_GET_SIZE(burns)));
    while (PyDict_Next(burns, &pos, &key, &value)) {
        if (!is_ascii_str(key) || !is_ascii_str(value)) return false;
        members.emplace_back(ascii_view(key), ascii_view(value));
    }
    return true;
}

template <typename MemberType, typename Text>
std::string native_layout(std::vector<MemberType>& members, const Text& updated_at) {
    std::sort(members.begin(), members.end());
    std::string out = "{\n  \"";
    out += kBurnsKey;
    out += "\": {";
    for (size_t i = 0; i < members.size(); ++i) {
        out += i == 0 ? "\n    " : ",\n    ";
        append_json_string(out, members[i].first);
        out += ": ";
        append_json_string(out, members[i].second);
    }
    out += members.empty() ? "},\n  \"" : "\n  },\n  \"";
    out += kStampKey;
    out += "\": ";
    append_json_string(out, updated_at);
    out += "\n}\n";
    return out;
}

// Content the native writer does not handle goes through the host's json.dumps, so it fails
// (or succeeds) exactly as the host would.
bool host_layout(PyObject* burns, PyObject* updated_at, std::string& out) {
    Ref document = Ref::steal(PyDict_New());
    if (!document || PyDict_SetItemString(document.get(), kStampKey, updated_at) < 0 ||
        PyDict_SetItemString(document.get(), kBurnsKey, burns) < 0)
        return false;
    Ref dumps = host_path({"json", "dumps"});
    Ref indent = Ref::steal(PyLong_FromLong(kIndent));
    Ref kwnames = keyword_names({"indent", "sort_keys"});
    if (!dumps || !indent || !kwnames) return false;
    Ref text = call(dumps.get(), {document.get(), indent.get(), Py_True}, kwnames.get());
    if (!text) return false;
    if (!PyUnicode_Check(text.get())) {
        set_expected_type("str", text.get());
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<size_t>(size));
    out += '\n';
    return true;
}

// 1 when the module's `json` is still a plain module whose `loads` is the one found at import, so
// reading natively gives what calling it would; 0 when not; -1 with an exception set. Only the
// two namespaces are looked into, so no host code runs and a missing name is left to the
// ordinary path, which reports it in its own order.
int host_json_loads_in_place() {
    PyObject* json_name = constant_str("json");    // borrowed
    PyObject* loads_name = constant_str("loads");  // borrowed
    if (!json_name || !loads_name) return -1;
    PyObject* json = PyDict_GetItemWithError(module_namespace(), json_name);  // borrowed
    if (!json || !PyModule_CheckExact(json)) return PyErr_Occurred() ? -1 : 0;
    PyObject* loads = PyDict_GetItemWithError(PyModule_GetDict(json), loads_name);  // borrowed
    if (!loads) return PyErr_Occurred() ? -1 : 0;
    return loads == imported_json_loads();
}

PyObject* load_burn_state(PyObject* const* args) {
    PyObject* path = args[0];
    Ref isfile = host_path({"os", "path", "isfile"});
    int truthy = truth(isfile ? call(isfile.get(), {path}) : Ref());
    if (truthy <= 0) return truthy < 0 ? nullptr : PyDict_New();
    std::string bytes;
    if (!read_whole_file(path, bytes)) return PyErr_Occurred() ? nullptr : PyDict_New();
    const int native = host_json_loads_in_place();
    if (native < 0) return nullptr;
    if (native) {
        Ref map;
        switch (LayoutReader(bytes).read(map)) {
        case Layout::Read: return map.release();
        case Layout::Failed: return nullptr;
        case Layout::Other: break;
        }
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "strict"));
    if (!text) return nullptr;
    Ref data;
    switch (parse_json(text.get(), data)) {
    case Parse::Failed: return nullptr;
    case Parse::NotJson: return PyDict_New();
    case Parse::Parsed: break;
    }
    Ref stored = get_item(data.get(), kBurnsKey);
    if (!stored) return nullptr;
    return PyDict_Check(stored.get()) ? texts_of(stored.get()) : PyDict_New();
}

PyObject* save_burn_state(PyObject* const* args) {
    PyObject *path = args[0], *burns = args[1], *updated_at = args[2];
    auto make = [&](std::string& content) {
        std::vector<AsciiMember> ascii;
        if (is_ascii_str(updated_at) && ascii_members(burns, ascii)) {
            content = native_layout(ascii, ascii_view(updated_at));
            return true;
        }
        std::vector<Member> members;
        std::u32string stamp;
        bool ok = append_code_points(stamp, updated_at);
        if (ok && exact_text_members(burns, members, ok)) {
            content = native_layout(members, stamp);
            return true;
        }
        return ok && host_layout(burns, updated_at, content);
    };
    if (!replace_file_contents(path, make)) return nullptr;
    Py_RETURN_NONE;
}

constexpr Param kLoad[] = {{.name = "path", .kind = Kind::Text, .annotation = "str"}};
constexpr Param kSave[] = {
    {.name = "path", .kind = Kind::Text, .annotation = "str"},
    {.name = "burns", .kind = Kind::Mapping, .annotation = "dict[str, str]"},
    {.name = "updated_at", .kind = Kind::Text, .annotation = "str"},
};

constexpr Export kExports[] = {
    {.name = "load_burn_state",
     .params = kLoad,
     .return_annotation = "dict[str, str]",
     .result = Result::Mapping,
     .body = load_burn_state,
     .doc = "The burn map stored at path; an empty dict when the file is missing, unreadable or malformed."},
    {.name = "save_burn_state",
     .params = kSave,
     .return_annotation = "None",
     .result = Result::Unchecked,
     .body = save_burn_state,
     .doc = "Replaces the state file at path with the burn map and its time stamp, as a whole."},
};
static_assert(fits_binder(kExports));

}  // namespace

const std::span<const Export> burn_state_exports = kExports;

}  // namespace ashvigil
