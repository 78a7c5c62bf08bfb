// Run control: one watch cycle, the startup snapshot, the pause file with the interval wait,
// and the poll loop. The only code that writes log lines.
#include "errors.hpp"
#include "export.hpp"
#include "function.hpp"
#include "host.hpp"
#include "log_text.hpp"
#include "text.hpp"
#include "values.hpp"

#include <string>
#include <vector>

namespace ashvigil {

namespace {

const char* const kNoCredentials = "[burn] taostats API not available (must be bundled in package defaults)";
const char* const kPaused = "[burn] monitoring paused";

// Texts shorter than this are words that may occur in a message, not credentials to mask.
constexpr Py_ssize_t kMinSecretLength = 8;
// The longest single sleep of the interval wait; the pause file is looked at between them.
constexpr double kSleepStepSeconds = 1.0;
constexpr double kSecondsPerMinute = 60.0;
// An interval of a minute or less waits one minute.
constexpr double kMinIntervalMinutes = 1.0;

// Adds `secret` as its own text and as repr() shows it (without the quotes), when it is a text
// long enough to be a credential rather than a word that happens to occur in a message.
bool add_secret(PyObject* secret, std::vector<std::u32string>& forms) {
    if (!secret || !PyUnicode_Check(secret) || PyUnicode_GET_LENGTH(secret) < kMinSecretLength) return true;
    Ref shown = Ref::steal(PyObject_Repr(secret));
    std::u32string plain, escaped;
    if (!shown || !append_code_points(plain, secret) || !append_code_points(escaped, shown.get())) return false;
    forms.push_back(std::move(plain));
    if (escaped.size() >= 2) forms.push_back(escaped.substr(1, escaped.size() - 2));  // without the quotes
    return true;
}

// The secrets a line must not show: the bot token of the call, then the API key as the
// module's os.environ holds it at this moment, stripped as the requests send it.
bool secret_forms(PyObject* token, std::vector<std::u32string>& forms) {
    Ref environ = host_path({"os", "environ"});
    Ref key = environ ? get_item(environ.get(), "TAOSTATS_API_KEY") : Ref();
    if (!key) return false;
    if (PyUnicode_Check(key.get()) && !(key = call_method(key.get(), "strip"))) return false;
    return add_secret(token, forms) && add_secret(key.get(), forms);
}

// One log line: the prefix, then str(text) when given, made safe (no secret, one line, a
// bounded length), then the line feed. `token` is the bot token of the call writing it.
bool log_line(std::string_view prefix, PyObject* text = nullptr, PyObject* token = nullptr) {
    std::u32string line;
    append_ascii(line, prefix);
    if (text) {
        std::u32string safe;
        std::vector<std::u32string> secrets;
        if (!append_text_form(safe, text) || !secret_forms(token, secrets)) return false;
        make_log_text_safe(safe, secrets);
        line += safe;
    }
    line.push_back(U'\n');
    Ref whole = str(line);
    return whole && write_stderr(whole.get());
}

// datetime.now(timezone.utc) formatted as the cycle's time stamp; new reference.
Ref utc_stamp() {
    Ref now = host_path({"datetime", "now"});
    Ref utc = host_path({"timezone", "utc"});
    Ref moment = now && utc ? call(now.get(), {utc.get()}) : Ref();
    Ref format = moment ? str("%Y-%m-%dT%H:%M:%SZ") : Ref();
    return format ? call_method(moment.get(), "strftime", {format.get()}) : Ref();
}

// What the first half of a cycle and of the snapshot ends with.
enum class Fetch { Rows, Ended, Failed };

// Credentials, time stamp and the subnet listing; logs the two ordinary failures itself.
Fetch fetch_rows(const char* failure_prefix, PyObject* token, Ref& updated_at, Ref& rows) {
    Ref auth = call_global("taostats_auth", {});
    int has_auth = truth(auth);
    if (has_auth < 0) return Fetch::Failed;
    if (!has_auth) return log_line(kNoCredentials) ? Fetch::Ended : Fetch::Failed;
    updated_at = utc_stamp();
    if (!updated_at) return Fetch::Failed;
    Ref result = call_global("fetch_all_subnets_latest", {auth.get()});
    if (!result) return Fetch::Failed;
    if (PyDict_Check(result.get())) {
        Ref error = get_item(result.get(), "error");
        int failed = truth(error);
        if (failed < 0) return Fetch::Failed;
        if (failed) {
            Ref dumps = host_path({"json", "dumps"});
            Ref text = dumps ? call(dumps.get(), {result.get()}) : Ref();
            return text && log_line(failure_prefix, text.get(), token) ? Fetch::Ended : Fetch::Failed;
        }
    }
    if (!PyList_CheckExact(result.get())) {
        set_expected_type("list", result.get());
        return Fetch::Failed;
    }
    rows = std::move(result);
    return Fetch::Rows;
}

// {str(row["netuid"]): owner_burn_from_row(row)} over the rows that have a "netuid".
Ref current_map(PyObject* rows) {
    Ref current = Ref::steal(PyDict_New());
    Ref netuid_key = str("netuid");
    if (!current || !netuid_key) return {};
    // Indexing afresh each step: the called functions may change the list, as they could in Python.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        Ref row = Ref::borrow(PyList_GET_ITEM(rows, i));
        int has = PySequence_Contains(row.get(), netuid_key.get());
        if (has < 0) return {};
        if (!has) continue;
        // The burn first, then the key, as `current[str(row["netuid"])] = burn(row)` evaluates.
        Ref burn = call_global("owner_burn_from_row", {row.get()});
        Ref netuid = burn ? Ref::steal(PyObject_GetItem(row.get(), netuid_key.get())) : Ref();
        Ref key = netuid ? (PyUnicode_CheckExact(netuid.get()) ? std::move(netuid) : text_form(netuid.get())) : Ref();
        if (!key || PyDict_SetItem(current.get(), key.get(), burn.get()) < 0) return {};
    }
    return current;
}

// Sends the text and reports: the success line is given, the failure line carries `err`.
PyObject* deliver(PyObject* text, PyObject* token, PyObject* chat_id, const std::string& sent_line,
                  const char* failure_prefix) {
    Ref pair = call_global("send_burn_telegram_messages", {text, token, chat_id});
    Ref items[2];
    if (!pair || !unpack_exact(pair.get(), items, 2)) return nullptr;
    int ok = truth(items[0]);
    if (ok < 0) return nullptr;
    if (!(ok ? log_line(sent_line) : log_line(failure_prefix, items[1].get(), token))) return nullptr;
    return PyLong_FromLong(ok ? 0 : 1);
}

Ref save(PyObject* state_path, PyObject* current, PyObject* updated_at) {
    return call_global("save_burn_state", {state_path, current, updated_at});
}

PyObject* ended(Fetch f) {
    return f == Fetch::Ended ? PyLong_FromLong(1) : nullptr;
}

PyObject* run_ashvigil_once(PyObject* const* args) {
    PyObject *state_path = args[0], *threshold = args[1], *token = args[2], *chat_id = args[3];
    Ref updated_at, rows;
    Fetch f = fetch_rows("[burn] fetch failed: ", token, updated_at, rows);
    if (f != Fetch::Rows) return ended(f);
    Ref current = current_map(rows.get());
    Ref prev = current ? call_global("load_burn_state", {state_path}) : Ref();
    int had_map = truth(prev);
    if (had_map < 0) return nullptr;
    // Nothing is compared on a first run: there is nothing stored to compare with.
    Ref changes =
        had_map ? call_global("diff_burns", {prev.get(), current.get(), threshold}) : Ref::steal(PyList_New(0));
    if (!changes || !save(state_path, current.get(), updated_at.get())) return nullptr;
    int any = truth(changes);
    if (any <= 0) return any < 0 ? nullptr : PyLong_FromLong(0);
    Py_ssize_t count = PyObject_Size(changes.get());
    if (count < 0) return nullptr;
    Ref message = call_global("format_burn_alert", {changes.get(), updated_at.get()});
    if (!message) return nullptr;
    return deliver(message.get(), token, chat_id, "[burn] alert sent (" + std::to_string(count) + " subnet(s))",
                   "[burn] telegram failed: ");
}

PyObject* run_burn_startup_snapshot(PyObject* const* args) {
    PyObject *state_path = args[0], *token = args[1], *chat_id = args[2];
    Ref updated_at, rows;
    Fetch f = fetch_rows("[burn] startup fetch failed: ", token, updated_at, rows);
    if (f != Fetch::Rows) return ended(f);
    Ref current = current_map(rows.get());
    if (!current || !save(state_path, current.get(), updated_at.get())) return nullptr;
    Ref snapshot = call_global("format_burn_snapshot", {rows.get(), updated_at.get()});
    if (!snapshot) return nullptr;
    std::string sent = "[burn] startup snapshot sent (" + std::to_string(PyList_GET_SIZE(rows.get())) + " subnets)";
    return deliver(snapshot.get(), token, chat_id, sent, "[burn] startup telegram failed: ");
}

PyObject* burn_is_paused(PyObject* const* args) {
    PyObject* pause_path = args[0];
    if (PyUnicode_GET_LENGTH(pause_path) == 0) Py_RETURN_FALSE;
    Ref isfile = host_path({"os", "path", "isfile"});
    return isfile ? call(isfile.get(), {pause_path}).release() : nullptr;
}

// 1 when paused, 0 when not, -1 on error.
int paused(PyObject* pause_path) {
    return truth(call_global("_burn_is_paused", {pause_path}));
}

PyObject* sleep_until_interval(PyObject* const* args) {
    double remaining = PyFloat_AS_DOUBLE(args[0]);
    PyObject* pause_path = args[1];
    // Elapsed time is counted in requested steps, not clocked: the pause test runs once a step.
    while (remaining > 0) {
        int p = paused(pause_path);
        if (p != 0) return p < 0 ? nullptr : Py_NewRef(Py_False);
        double step = remaining < kSleepStepSeconds ? remaining : kSleepStepSeconds;
        if (!sleep_for(step)) return nullptr;
        remaining -= step;
    }
    int p = paused(pause_path);
    return p < 0 ? nullptr : PyBool_FromLong(!p);
}

// 1 when the wait ran to its end, 0 when paused (the line is written), -1 on error.
int wait_interval(PyObject* interval, PyObject* pause_path) {
    int full = truth(call_global("_sleep_until_interval", {interval, pause_path}));
    if (full != 0) return full;
    return log_line(kPaused) ? 0 : -1;
}

// Logs an ordinary failure of a cycle; anything else (KeyboardInterrupt, SystemExit) stays raised.
bool log_cycle_failure(PyObject* token) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    Ref exc = take_exception();
    Handling handling(exc.get());
    return log_line("[burn] error: ", exc.get(), token);
}

PyObject* run_burn_poll_loop(PyObject* const* args) {
    PyObject *state_path = args[0], *threshold = args[1], *minutes = args[2], *token = args[3], *chat_id = args[4],
             *pause_path = args[5];
    const double m = PyFloat_AS_DOUBLE(minutes);
    Ref interval =
        Ref::steal(PyFloat_FromDouble((m > kMinIntervalMinutes ? m : kMinIntervalMinutes) * kSecondsPerMinute));
    Ref kwnames = keyword_names({"state_path", "threshold", "burn_token", "burn_chat_id"});
    if (!interval || !kwnames) return nullptr;
    int go = wait_interval(interval.get(), pause_path);
    while (go > 0) {
        int p = paused(pause_path);
        if (p < 0) return nullptr;
        if (p) {
            if (!log_line(kPaused)) return nullptr;
            Py_RETURN_NONE;
        }
        Ref result = call_global("run_ashvigil_once", {state_path, threshold, token, chat_id}, kwnames.get());
        if (!result && !log_cycle_failure(token)) return nullptr;
        go = wait_interval(interval.get(), pause_path);
    }
    if (go < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr Param kOnce[] = {
    {.name = "state_path", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
    {.name = "threshold", .kind = Kind::Real, .annotation = "float", .keyword_only = true},
    {.name = "burn_token", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
    {.name = "burn_chat_id", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
};
constexpr Param kSnapshot[] = {
    {.name = "state_path", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
    {.name = "burn_token", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
    {.name = "burn_chat_id", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
};
constexpr Param kPausePath[] = {{.name = "pause_path", .kind = Kind::Text, .annotation = "str"}};
constexpr Param kSleep[] = {
    {.name = "interval_seconds", .kind = Kind::Real, .annotation = "float"},
    {.name = "pause_path", .kind = Kind::Text, .annotation = "str"},
};
constexpr Param kLoop[] = {
    {.name = "state_path", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
    {.name = "threshold", .kind = Kind::Real, .annotation = "float", .keyword_only = true},
    {.name = "interval_minutes", .kind = Kind::Real, .annotation = "float", .keyword_only = true},
    {.name = "burn_token", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
    {.name = "burn_chat_id", .kind = Kind::Text, .annotation = "str", .keyword_only = true},
    {.name = "pause_path", .kind = Kind::Text, .annotation = "str", .keyword_only = true, .str_default = ""},
};

constexpr Export kExports[] = {
    {.name = "run_ashvigil_once",
     .params = kOnce,
     .return_annotation = "int",
     .result = Result::Integer,
     .body = run_ashvigil_once,
     .doc = "One poll: fetch, compare with the stored map, store, alert on changes. 0 when done, 1 after a logged "
            "failure."},
    {.name = "run_burn_startup_snapshot",
     .params = kSnapshot,
     .return_annotation = "int",
     .result = Result::Integer,
     .body = run_burn_startup_snapshot,
     .doc = "Fetch all subnets and send full burn-rate snapshot to burn Telegram."},
    {.name = "_burn_is_paused",
     .params = kPausePath,
     .return_annotation = "bool",
     .result = Result::Flag,
     .body = burn_is_paused,
     .doc = "True when pause_path names an existing regular file; never for the empty path."},
    {.name = "_sleep_until_interval",
     .params = kSleep,
     .return_annotation = "bool",
     .result = Result::Flag,
     .body = sleep_until_interval,
     .doc = "Sleep in 1s steps. Returns False if paused before interval elapsed."},
    {.name = "run_burn_poll_loop",
     .params = kLoop,
     .return_annotation = "None",
     .result = Result::Unchecked,
     .body = run_burn_poll_loop,
     .doc = "Runs a watch cycle once per interval until the pause file appears; failed cycles are logged."},
};
static_assert(fits_binder(kExports));

}  // namespace

const std::span<const Export> run_control_exports = kExports;

}  // namespace ashvigil
