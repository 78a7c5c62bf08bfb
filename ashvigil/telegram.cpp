// Telegram delivery: one sendMessage request, and a long text sent as numbered pieces.
#include "export.hpp"
#include "function.hpp"
#include "host.hpp"
#include "host_json.hpp"
#include "http_reply.hpp"
#include "text.hpp"
#include "values.hpp"

#include <string>

namespace ashvigil {
namespace {

constexpr const char* kBotApiOrigin = "https://api.telegram.org";
constexpr long kTimeoutSeconds = 30;
// The pause between two pieces of one delivery.
constexpr double kPiecePauseSeconds = 0.4;
// Characters of an error body shown when its JSON has no usable description.
constexpr Py_ssize_t kErrorHeadLength = 300;

PyObject* pair(bool ok, PyObject* text) noexcept {
    return PyTuple_Pack(2, ok ? Py_True : Py_False, text);
}

// Appends the UTF-8 bytes of `s` as urllib.parse.quote_plus writes them.
bool append_form_value(std::string& out, PyObject* s) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size);
    if (!utf8) return false;
    static const char kHex[] = "0123456789ABCDEF";
    for (Py_ssize_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(utf8[i]);
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '_' || c == '.' || c == '-' || c == '~';
        if (unreserved) {
            out.push_back(static_cast<char>(c));
        } else if (c == ' ') {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return true;
}

// The request body: chat_id, text and disable_web_page_preview, in that order.
Ref form_body(PyObject* chat_id, PyObject* text) {
    std::string body = "chat_id=";
    if (!append_form_value(body, chat_id)) return {};
    body += "&text=";
    if (!append_form_value(body, text)) return {};
    body += "&disable_web_page_preview=true";
    return Ref::steal(PyBytes_FromStringAndSize(body.data(), static_cast<Py_ssize_t>(body.size())));
}

// urlopen(request, timeout=...), then the reply body read, decoded and parsed; the reply is
// closed on every path.
Ref post_and_parse(PyObject* request) noexcept {
    Ref urlopen = host_path({"urllib", "request", "urlopen"});
    Ref timeout = Ref::steal(PyLong_FromLong(kTimeoutSeconds));
    Ref kwnames = keyword_names({"timeout"});
    if (!urlopen || !timeout || !kwnames) return {};
    Ref reply = call(urlopen.get(), {request, timeout.get()}, kwnames.get());
    Ref text = reply ? read_reply_text(reply.get()) : Ref();
    // Not caught here: the host's JSONDecodeError reaches the caller as json.loads raised it.
    Ref loads = text ? host_path({"json", "loads"}) : Ref();
    return loads ? call(loads.get(), {text.get()}) : Ref();
}

// The result pair for an HTTPError and its body text.
PyObject* http_error_pair(PyObject* error, PyObject* err_body) noexcept {
    Ref data;
    switch (parse_json(err_body, data)) {
    case Parse::Failed: return nullptr;
    case Parse::NotJson: {
        int non_empty = PyObject_IsTrue(err_body);
        if (non_empty < 0) return nullptr;
        if (non_empty) return pair(false, err_body);
        Ref text = text_form(error);
        return text ? pair(false, text.get()) : nullptr;
    }
    case Parse::Parsed: break;
    }
    Ref description = get_item(data.get(), "description");
    int truthy = truth(description);
    if (truthy < 0) return nullptr;
    if (truthy) return pair(false, description.get());
    Ref head = Ref::steal(PySequence_GetSlice(err_body, 0, kErrorHeadLength));
    return head ? pair(false, head.get()) : nullptr;
}

PyObject* send_burn_telegram(PyObject* const* args) {
    PyObject *text = args[0], *token = args[1], *chat_id = args[2];
    if (PyUnicode_GetLength(token) == 0 || PyUnicode_GetLength(chat_id) == 0) {
        Ref message = str("burn telegram not configured");
        return message ? pair(false, message.get()) : nullptr;
    }
    Ref url = Ref::steal(PyUnicode_FromFormat("%s/bot%U/sendMessage", kBotApiOrigin, token));
    Ref body = url ? form_body(chat_id, text) : Ref();
    if (!body) return nullptr;
    Ref headers = Ref::steal(PyDict_New());
    PyObject* form_type = constant_str("application/x-www-form-urlencoded");  // borrowed
    if (!headers || !form_type || PyDict_SetItemString(headers.get(), "Content-Type", form_type) < 0) return nullptr;
    Ref method = str("POST");
    Ref kwnames = keyword_names({"data", "headers", "method"});
    Ref request_type = host_path({"urllib", "request", "Request"});
    if (!headers || !method || !kwnames || !request_type) return nullptr;
    Ref request = call(request_type.get(), {url.get(), body.get(), headers.get(), method.get()}, kwnames.get());
    if (!request) return nullptr;

    Ref payload = post_and_parse(request.get());
    if (!payload) {
        // HTTPError first: it is an OSError too.
        if (exception_matches({"urllib", "error", "HTTPError"})) return from_http_error(http_error_pair);
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return nullptr;
        Ref error = take_exception();
        Handling handling(error.get());
        Ref text_of_error = text_form(error.get());
        return text_of_error ? pair(false, text_of_error.get()) : nullptr;
    }
    int truthy = truth(get_item(payload.get(), "ok"));
    if (truthy < 0) return nullptr;
    if (truthy) {
        Ref empty = str("");
        return empty ? pair(true, empty.get()) : nullptr;
    }
    Ref shown = text_form(payload.get());
    return shown ? pair(false, shown.get()) : nullptr;
}

PyObject* send_burn_telegram_messages(PyObject* const* args) {
    PyObject *text = args[0], *token = args[1], *chat_id = args[2];
    Ref parts = call_global("_chunk_text", {text});
    if (!parts) return nullptr;
    const Py_ssize_t total = PyObject_Size(parts.get());
    if (total < 0) return nullptr;
    Ref pieces = Ref::steal(PyObject_GetIter(parts.get()));
    if (!pieces) return nullptr;
    for (Py_ssize_t index = 1;; ++index) {
        Ref piece = Ref::steal(PyIter_Next(pieces.get()));
        if (!piece) {
            if (PyErr_Occurred()) return nullptr;
            break;
        }
        Ref body = std::move(piece);
        if (total > 1) {
            std::u32string numbered = U"(";
            append_ascii(numbered, std::to_string(index) + "/" + std::to_string(total) + ")\n");
            if (!append_text_form(numbered, body.get())) return nullptr;
            body = str(numbered);
            if (!body) return nullptr;
        }
        Ref result = call_global("send_burn_telegram", {body.get(), token, chat_id});
        Ref outcome[2];
        if (!result || !unpack_exact(result.get(), outcome, 2)) return nullptr;
        int ok = truth(outcome[0]);
        if (ok < 0) return nullptr;
        if (!ok) return pair(false, outcome[1].get());
        if (index < total && !sleep_for(kPiecePauseSeconds)) return nullptr;
    }
    Ref empty = str("");
    return empty ? pair(true, empty.get()) : nullptr;
}

constexpr Param kSend[] = {
    {.name = "text", .kind = Kind::Text, .annotation = "str"},
    {.name = "token", .kind = Kind::Text, .annotation = "str"},
    {.name = "chat_id", .kind = Kind::Text, .annotation = "str"},
};

constexpr Export kExports[] = {
    {.name = "send_burn_telegram_messages",
     .params = kSend,
     .return_annotation = "tuple[bool, str]",
     .result = Result::Pair,
     .body = send_burn_telegram_messages,
     .doc = "Sends text as numbered pieces, stopping at the first failure; (True, \"\") or (False, error)."},
    {.name = "send_burn_telegram",
     .params = kSend,
     .return_annotation = "tuple[bool, str]",
     .result = Result::Pair,
     .body = send_burn_telegram,
     .doc = "Sends text as one Telegram message to chat_id; (True, \"\") or (False, error), without raising for "
            "HTTP or transport failures."},
};
static_assert(fits_binder(kExports));

}  // namespace

const std::span<const Export> telegram_exports = kExports;

}  // namespace ashvigil
