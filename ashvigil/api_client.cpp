// The taostats API client: configuration from the environment, one JSON GET, rate-limit retries
// and the subnet listing.
#include "export.hpp"
#include "function.hpp"
#include "host.hpp"
#include "host_json.hpp"
#include "http_reply.hpp"
#include "text.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <utility>

namespace ashvigil {
namespace {

constexpr const char* kDefaultBase = "https://api.taostats.io";
constexpr const char* kDefaultUserAgent =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/131.0.0.0 Safari/537.36";
constexpr const char* kListingPath = "/api/subnet/latest/v1";
constexpr long kListingLimit = 1024;  // rows asked for: more than there are subnets
constexpr long kTimeoutSeconds = 60;
// An exchange (every redirect, connection, headers and body) is abandoned past this many seconds,
// and a body longer than kMaxReplyBytes is not read further: a reply can hold a cycle or the
// memory for only so long.
constexpr long kExchangeSeconds = 120;
constexpr Py_ssize_t kMaxReplyBytes = 32 * 1024 * 1024;
constexpr Py_ssize_t kRawLength = 500;
constexpr double kFirstDelay = 2.0;
constexpr double kDelayGrowth = 1.8;
constexpr double kMaxDelay = 120.0;

// --- environment -----------------------------------------------------------------------------

// os.environ.get(name, fallback), looked up through the module's `os` at every call; new reference.
Ref environ_get(const char* name, const char* fallback) {
    Ref environ = host_path({"os", "environ"});
    PyObject* key = environ ? constant_str(name) : nullptr;            // borrowed
    PyObject* default_value = key ? constant_str(fallback) : nullptr;  // borrowed
    return default_value ? call_method(environ.get(), "get", {key, default_value}) : Ref();
}

// --- configuration ---------------------------------------------------------------------------

PyObject* api_base(PyObject* const*) {
    Ref value = environ_get("TAOSTATS_API_BASE", kDefaultBase);
    if (!value) return nullptr;
    if (!PyUnicode_CheckExact(value.get())) {
        PyObject* slash = constant_str("/");
        return slash ? call_method(value.get(), "rstrip", {slash}).release() : nullptr;
    }
    Py_ssize_t end = PyUnicode_GetLength(value.get());
    while (end > 0 && PyUnicode_ReadChar(value.get(), end - 1) == '/') --end;
    return PyUnicode_Substring(value.get(), 0, end);
}

PyObject* request_headers(PyObject* const* args) {
    Ref agent = environ_get("TAOSTATS_USER_AGENT", kDefaultUserAgent);
    Ref headers = agent ? Ref::steal(PyDict_New()) : Ref();
    if (!headers) return nullptr;
    const std::pair<const char*, PyObject*> entries[] = {
        {"Authorization", args[0]},
        {"User-Agent", agent.get()},
        {"Accept", constant_str("application/json, text/plain, */*")},
        {"Accept-Language", constant_str("en-US,en;q=0.9")},
    };
    for (const auto& [name, value] : entries) {
        PyObject* key = constant_str(name);
        if (!key || !value || PyDict_SetItem(headers.get(), key, value) < 0) return nullptr;
    }
    return headers.release();
}

// text.strip(): an exact str trimmed of what str.isspace() calls white space, natively; any
// other object is asked. New reference.
Ref strip_white_space(PyObject* text) {
    if (!PyUnicode_CheckExact(text) || !PyUnicode_IS_READY(text)) return call_method(text, "strip");
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t begin = 0, end = PyUnicode_GET_LENGTH(text);
    while (begin < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, begin))) ++begin;
    while (end > begin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return Ref::steal(PyUnicode_Substring(text, begin, end));
}

PyObject* taostats_auth(PyObject* const*) {
    Ref value = environ_get("TAOSTATS_API_KEY", "");
    Ref key = value ? strip_white_space(value.get()) : Ref();
    int truthy = truth(key);
    if (truthy < 0) return nullptr;
    if (!truthy) Py_RETURN_NONE;
    return key.release();
}

// --- one GET -----------------------------------------------------------------------------------

// 1 when a query entry is left out (its value is None or equals ""), 0 when kept, -1 on error.
int left_out(PyObject* value) noexcept {
    if (value == Py_None) return 1;
    if (PyUnicode_CheckExact(value)) return PyUnicode_GetLength(value) == 0;
    if (PyLong_CheckExact(value)) return 0;
    Ref empty = str("");
    return empty ? PyObject_RichCompareBool(value, empty.get(), Py_EQ) : -1;
}

// Appends "key=value" pieces joined by "&", in insertion order and unescaped.
bool append_query(std::u32string& out, PyObject* params) {
    PyObject *k, *v;  // borrowed from params
    Py_ssize_t pos = 0;
    bool first = true;
    while (PyDict_Next(params, &pos, &k, &v)) {
        // Held: str() of a key or value may run code that changes the mapping.
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        int skip = left_out(value.get());
        if (skip < 0) return false;
        if (skip) continue;
        if (!first) out.push_back(U'&');
        first = false;
        if (!append_text_form(out, key.get())) return false;
        out.push_back(U'=');
        if (!append_text_form(out, value.get())) return false;
    }
    return true;
}

// api_base() + path, then "?" and the query text when there is one; new reference. `base` is
// what api_base() returned.
Ref request_url(PyObject* path, PyObject* params, Ref& base) {
    std::u32string query;
    if (!append_query(query, params)) return {};
    base = call_global("api_base", {});
    Ref url = base ? Ref::steal(PyNumber_Add(base.get(), path)) : Ref();
    if (!url || query.empty()) return url;
    query.insert(query.begin(), U'?');
    Ref tail = str(query);
    return tail ? Ref::steal(PyNumber_Add(url.get(), tail.get())) : Ref();
}

PyObject* success_payload(PyObject* response, const ReplyBounds& bounds) noexcept {
    Ref text = read_reply_text(response, &bounds);
    if (!text) return nullptr;
    Ref value, message;
    switch (parse_json(text.get(), value, &message)) {
    case Parse::Parsed: return value.release();  // anything but a dict or None is refused by the result check
    case Parse::Failed: return nullptr;
    case Parse::NotJson: break;
    }
    Ref raw = Ref::steal(PyUnicode_Check(text.get()) ? PyUnicode_Substring(text.get(), 0, kRawLength)
                                                     : PySequence_GetSlice(text.get(), 0, kRawLength));
    Ref failure = raw ? Ref::steal(PyDict_New()) : Ref();
    if (!failure || PyDict_SetItemString(failure.get(), "parse_error", message.get()) < 0 ||
        PyDict_SetItemString(failure.get(), "raw", raw.get()) < 0)
        return nullptr;
    return failure.release();
}

// The error mapping for an HTTPError and its body text.
PyObject* http_error_payload(PyObject* error, PyObject* text) noexcept {
    Ref value;
    Parse parsed = parse_json(text, value);
    if (parsed == Parse::Failed) return nullptr;
    Ref code = attr(error, "code");
    if (!code) return nullptr;
    if (parsed == Parse::Parsed) {
        // Appended last, or overwritten in place; a JSON value that is not an object refuses it.
        PyObject* key = constant_str("http_status");
        if (!key || PyObject_SetItem(value.get(), key, code.get()) < 0) return nullptr;
        return value.release();
    }
    int has_text = PyObject_IsTrue(text);
    if (has_text < 0) return nullptr;
    Ref message = has_text ? Ref::borrow(text) : attr(error, "reason");
    Ref mapping = message ? Ref::steal(PyDict_New()) : Ref();
    if (!mapping || PyDict_SetItemString(mapping.get(), "status_code", code.get()) < 0 ||
        PyDict_SetItemString(mapping.get(), "message", message.get()) < 0 ||
        PyDict_SetItemString(mapping.get(), "http_status", code.get()) < 0)
        return nullptr;
    return mapping.release();
}

// --- the API key's origin ----------------------------------------------------------------------

// Where a URL's request goes, as urllib.request and http.client split it: the scheme up to the
// first ":", the host between "//" and the next "/", "?" or "#", the port after its last ":"
// outside brackets (80 for http, 443 for https when none), letters in lower case.
struct Origin {
    std::u32string scheme, host;
    long port = -1;
    bool operator==(const Origin&) const = default;
};

void lower_ascii(std::u32string& text) {
    for (char32_t& c : text)
        if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
}

// False when `url` is not a text of that form, or has a "%" where the host is (urllib would
// decode it): such a URL is never taken for the API's origin.
bool origin_of(PyObject* url, Origin& out) {
    std::u32string s;
    if (!url || !PyUnicode_Check(url) || !PyUnicode_IS_READY(url) || !append_code_points(s, url)) return false;
    const size_t colon = s.find(U':');
    if (colon == 0 || colon == std::u32string::npos || s.compare(colon + 1, 2, U"//") != 0) return false;
    out.scheme = s.substr(0, colon);
    if (out.scheme.find(U'/') != std::u32string::npos) return false;
    lower_ascii(out.scheme);
    const size_t start = colon + 3, end = std::min(s.find_first_of(U"/?#", start), s.size());
    std::u32string host = s.substr(start, end - start);
    if (host.find(U'%') != std::u32string::npos) return false;
    out.port = out.scheme == U"http" ? 80 : out.scheme == U"https" ? 443 : -1;
    const size_t port_colon = host.rfind(U':'), bracket = host.rfind(U']');
    if (port_colon != std::u32string::npos && (bracket == std::u32string::npos || port_colon > bracket)) {
        const std::u32string digits = host.substr(port_colon + 1);
        host.resize(port_colon);
        if (!digits.empty()) {
            if (digits.size() > 9) return false;
            out.port = 0;
            for (char32_t c : digits) {
                if (c < U'0' || c > U'9') return false;
                out.port = out.port * 10 + static_cast<long>(c - U'0');
            }
        }
    }
    if (host.size() >= 2 && host.front() == U'[' && host.back() == U']') host = host.substr(1, host.size() - 2);
    lower_ascii(host);
    out.host = std::move(host);
    return true;
}

// The headers for a request to another origin: a copy without "Authorization" in any case.
Ref without_authorization(PyObject* headers) {
    Ref copy = Ref::steal(PyDict_New());
    if (!copy || PyDict_Merge(copy.get(), headers, 1) < 0) return {};
    Ref keys = Ref::steal(PyDict_Keys(copy.get()));
    if (!keys) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);  // borrowed from keys
        if (!PyUnicode_Check(key)) continue;
        Ref lower = call_method(key, "lower");
        if (!lower) return {};
        if (PyUnicode_Check(lower.get()) && PyUnicode_CompareWithASCIIString(lower.get(), "authorization") == 0 &&
            PyDict_DelItem(copy.get(), key) < 0)
            return {};
    }
    return copy;
}

// --- redirects ---------------------------------------------------------------------------------

// urllib's redirect handler counts the URLs it follows in the request's `redirect_dict`, and it
// stores the next URL there only once it has decided to follow. The watch is such a dict that
// then raises Redirect with that URL instead, so the module follows the redirect itself and
// decides at every step whether the API key goes with it, whatever opener the host installed.
PyObject* g_redirect = nullptr;    // the exception class, kept for the process
PyObject* g_watch_type = nullptr;  // the dict class, kept for the process

PyObject* watch_setitem(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "__setitem__ takes a key and a value");
        return nullptr;
    }
    if (PyDict_SetItem(args[0], args[1], args[2]) < 0) return nullptr;
    PyErr_SetObject(g_redirect, args[1]);
    return nullptr;
}

PyMethodDef g_watch_setitem = {
    "__setitem__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(watch_setitem)), METH_FASTCALL, nullptr};

// A new, empty watch; the classes are made on first use. New reference.
Ref new_watch() {
    if (!g_watch_type) {
        if (!g_redirect) g_redirect = PyErr_NewException("ashvigil.Redirect", PyExc_BaseException, nullptr);
        Ref fn = g_redirect ? Ref::steal(PyCFunction_New(&g_watch_setitem, nullptr)) : Ref();
        Ref method = fn ? Ref::steal(PyInstanceMethod_New(fn.get())) : Ref();
        Ref body =
            method ? Ref::steal(Py_BuildValue("{sOss}", "__setitem__", method.get(), "__module__", "ashvigil")) : Ref();
        if (!body) return {};
        g_watch_type = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "RedirectWatch",
                                             reinterpret_cast<PyObject*>(&PyDict_Type), body.get());
        if (!g_watch_type) return {};
    }
    return Ref::steal(PyObject_CallNoArgs(g_watch_type));
}

// The next URL when the opener was about to follow a redirect (the pending Redirect taken);
// empty, with the exception left pending, otherwise.
Ref redirect_target() {
    if (!g_redirect || !PyErr_ExceptionMatches(g_redirect)) return {};
    Ref redirect = take_exception();
    Ref args = attr(redirect.get(), "args");
    if (!args) return {};
    if (!PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) != 1) {
        PyErr_SetString(PyExc_SystemError, "ashvigil: a redirect without its URL");
        return {};
    }
    return Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
}

// urllib.request.Request for one step: the first with the headers as given, a redirected one as
// urllib's redirect handler makes it (its origin_req_host, unverifiable); the API key only to
// the API's origin. New reference.
Ref step_request(PyObject* url, PyObject* headers, const Origin* api, PyObject* previous, PyObject* watch) {
    Origin target;
    Ref sent = api && origin_of(url, target) && target == *api ? Ref::borrow(headers) : without_authorization(headers);
    Ref request_type = sent ? host_path({"urllib", "request", "Request"}) : Ref();
    Ref request;
    if (!request_type) return {};
    if (!previous) {
        Ref kw = keyword_names({"headers"});
        request = kw ? call(request_type.get(), {url, sent.get()}, kw.get()) : Ref();
    } else {
        Ref origin_host = attr(previous, "origin_req_host");
        Ref kw = origin_host ? keyword_names({"headers", "origin_req_host", "unverifiable"}) : Ref();
        request = kw ? call(request_type.get(), {url, sent.get(), origin_host.get(), Py_True}, kw.get()) : Ref();
    }
    if (!request || PyObject_SetAttrString(request.get(), "redirect_dict", watch) < 0) return {};
    return request;
}

PyObject* http_get_json(PyObject* const* args) {
    PyObject *path = args[0], *params = args[1], *auth = args[2];
    const ReplyBounds bounds{std::chrono::steady_clock::now() + std::chrono::seconds(kExchangeSeconds),
                             kExchangeSeconds, kMaxReplyBytes};
    Ref base;
    Ref url = request_url(path, params, base);
    Ref headers = url ? call_global("request_headers", {auth}) : Ref();
    Ref watch = headers ? new_watch() : Ref();
    Ref full_wait = watch ? Ref::steal(PyLong_FromLong(kTimeoutSeconds)) : Ref();
    Ref timeout_kw = full_wait ? keyword_names({"timeout"}) : Ref();
    if (!timeout_kw) return nullptr;
    Origin api;
    const bool api_known = origin_of(base.get(), api);
    Ref previous;
    for (;;) {
        Ref request = step_request(url.get(), headers.get(), api_known ? &api : nullptr, previous.get(), watch.get());
        Ref urlopen = request ? host_path({"urllib", "request", "urlopen"}) : Ref();
        if (!urlopen || !before_deadline(bounds)) return nullptr;
        // Each wait is bounded by the time-out, and by what is left of the exchange.
        const double left = std::chrono::duration<double>(bounds.deadline - std::chrono::steady_clock::now()).count();
        Ref timeout = left >= kTimeoutSeconds ? Ref::borrow(full_wait.get()) : Ref::steal(PyFloat_FromDouble(left));
        Ref response = timeout ? call(urlopen.get(), {request.get(), timeout.get()}, timeout_kw.get()) : Ref();
        if (response) return success_payload(response.get(), bounds);
        if (exception_matches({"urllib", "error", "HTTPError"})) return from_http_error(http_error_payload, &bounds);
        Ref next = redirect_target();
        if (!next) return nullptr;
        url = std::move(next);
        previous = std::move(request);
    }
}

// --- rate limits and retries -------------------------------------------------------------------

// 1 when the value is the number 429 (an int or a float, not a bool), 0 when not.
int is_429(PyObject* value) noexcept {
    if (PyBool_Check(value)) return 0;
    if (PyFloat_Check(value)) return PyFloat_AS_DOUBLE(value) == 429.0;
    if (!PyLong_Check(value)) return 0;
    int overflow = 0;
    long n = PyLong_AsLongAndOverflow(value, &overflow);
    if (n == -1 && PyErr_Occurred()) return -1;
    return overflow == 0 && n == 429;
}

PyObject* is_rate_limited(PyObject* const* args) {
    PyObject* payload = args[0];
    Ref status = get_item(payload, "status_code");
    int limited = status ? is_429(status.get()) : -1;
    if (limited < 0) return nullptr;
    if (limited) Py_RETURN_TRUE;
    // An absent message reads as "", a None one as "None": neither holds the words.
    Ref message = get_item(payload, "message");
    if (!message) return nullptr;
    if (message.get() == Py_None) Py_RETURN_FALSE;  // its text, "None", cannot hold the words
    Ref text = PyUnicode_CheckExact(message.get()) ? std::move(message) : text_form(message.get());
    PyObject* needle = text ? constant_str("Rate Limited") : nullptr;
    if (!needle) return nullptr;
    Py_ssize_t at = PyUnicode_Find(text.get(), needle, 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) return nullptr;
    return PyBool_FromLong(at >= 0);
}

PyObject* with_retries(PyObject* const* args) {
    PyObject *path = args[0], *params = args[1], *auth = args[2], *max_retries = args[3];
    int overflow = 0;
    long long attempts = PyLong_AsLongLongAndOverflow(max_retries, &overflow);
    if (attempts == -1 && PyErr_Occurred()) return nullptr;
    if (overflow > 0) attempts = LLONG_MAX;
    if (overflow < 0 || attempts < 1) {
        PyErr_Format(PyExc_ValueError, "max_retries must be at least 1, got %S", max_retries);
        return nullptr;
    }
    double delay = kFirstDelay;
    for (long long attempt = 0;; ++attempt) {
        Ref payload = call_global("http_get_json", {path, params, auth});
        if (!payload) return nullptr;
        int truthy = truth(call_global("is_rate_limited", {payload.get()}));
        if (truthy < 0) return nullptr;
        // The last answer is handed back even while still rate-limited, with no pause after it.
        if (!truthy || attempt == attempts - 1) return payload.release();
        if (!sleep_for(delay)) return nullptr;
        delay = std::min(delay * kDelayGrowth, kMaxDelay);
    }
}

// --- subnet listing ----------------------------------------------------------------------------

PyObject* fetch_all_subnets_latest(PyObject* const* args) {
    Ref path = str(kListingPath);
    Ref limit = path ? Ref::steal(PyLong_FromLong(kListingLimit)) : Ref();
    Ref order = limit ? str("netuid_asc") : Ref();
    Ref params = order ? Ref::steal(PyDict_New()) : Ref();
    if (!params || PyDict_SetItemString(params.get(), "limit", limit.get()) < 0 ||
        PyDict_SetItemString(params.get(), "order", order.get()) < 0)
        return nullptr;
    Ref payload = call_global("with_retries", {path.get(), params.get(), args[0]});
    Ref rows = payload ? get_item(payload.get(), "data") : Ref();
    int truthy = truth(rows);
    if (truthy < 0) return nullptr;
    if (truthy) return rows.release();
    Ref error = str("no_subnet_rows");
    Ref no_rows = error ? Ref::steal(PyDict_New()) : Ref();
    if (!no_rows || PyDict_SetItemString(no_rows.get(), "error", error.get()) < 0 ||
        PyDict_SetItemString(no_rows.get(), "response", payload.get()) < 0)
        return nullptr;
    return no_rows.release();
}

// --- table -------------------------------------------------------------------------------------

constexpr Param kAuth[] = {{.name = "auth", .kind = Kind::Text, .annotation = "str"}};
constexpr Param kGet[] = {
    {.name = "path", .kind = Kind::Text, .annotation = "str"},
    {.name = "params", .kind = Kind::Mapping, .annotation = "dict[str, Any]"},
    {.name = "auth", .kind = Kind::Text, .annotation = "str"},
};
constexpr Param kPayload[] = {{.name = "payload", .kind = Kind::Mapping, .annotation = "dict[str, Any]"}};
constexpr Param kRetries[] = {
    {.name = "path", .kind = Kind::Text, .annotation = "str"},
    {.name = "params", .kind = Kind::Mapping, .annotation = "dict[str, Any]"},
    {.name = "auth", .kind = Kind::Text, .annotation = "str"},
    {.name = "max_retries", .kind = Kind::Integer, .annotation = "int", .keyword_only = true, .int_default = 6},
};

constexpr Export kExports[] = {
    {.name = "api_base",
     .params = {},
     .return_annotation = "str",
     .result = Result::Text,
     .body = api_base,
     .doc = "Base URL of the taostats API: TAOSTATS_API_BASE (default https://api.taostats.io) without "
            "trailing slashes."},
    {.name = "request_headers",
     .params = kAuth,
     .return_annotation = "dict[str, str]",
     .result = Result::Mapping,
     .body = request_headers,
     .doc = "The headers of every taostats request, with `auth` as the Authorization value."},
    {.name = "taostats_auth",
     .params = {},
     .return_annotation = "str | None",
     .result = Result::Text,
     .body = taostats_auth,
     .doc = "The API key from TAOSTATS_API_KEY, trimmed; None when it is unset or blank."},
    {.name = "http_get_json",
     .params = kGet,
     .return_annotation = "dict[str, Any] | None",
     .result = Result::Mapping,
     .body = http_get_json,
     .doc = "One GET of base + path with the query from `params`; the parsed JSON object, or a mapping "
            "describing an error status or a body that is not JSON."},
    {.name = "is_rate_limited",
     .params = kPayload,
     .return_annotation = "bool",
     .result = Result::Flag,
     .body = is_rate_limited,
     .doc = "True when the payload has status_code 429 or a message containing 'Rate Limited'."},
    {.name = "with_retries",
     .params = kRetries,
     .return_annotation = "dict[str, Any]",
     .result = Result::Mapping,
     .body = with_retries,
     .doc = "http_get_json repeated while rate-limited, up to max_retries attempts, pausing 2.0 s and "
            "then 1.8 times longer each time (at most 120 s)."},
    {.name = "fetch_all_subnets_latest",
     .params = kAuth,
     .return_annotation = "list[dict[str, Any]] | dict[str, Any]",
     .result = Result::Unchecked,
     .body = fetch_all_subnets_latest,
     .doc = "The latest row of every subnet, or {'error': 'no_subnet_rows', 'response': payload}."},
};
static_assert(fits_binder(kExports));

}  // namespace

const std::span<const Export> api_client_exports = kExports;

}  // namespace ashvigil
