// Module initialisation: the namespace, filled in a fixed order, and the exported functions.
#include "export.hpp"
#include "function.hpp"
#include "host.hpp"
#include "host_json.hpp"

namespace ashvigil {
namespace {

// Decimals of a displayed burn rate, the module's OWNER_BURN_DECIMALS.
constexpr long kOwnerBurnDecimals = 4;

// Every subsystem's rows, in the order the module lists its functions.
const std::span<const Export>* const kTables[] = {
    &api_client_exports, &burn_value_exports, &burn_state_exports,  &burn_change_exports,
    &reports_exports,    &telegram_exports,   &run_control_exports,
};

bool set_imported(PyObject* ns, const char* name, const char* module, const char* attr = nullptr) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    if (m && attr) m = Ref::steal(PyObject_GetAttrString(m.get(), attr));
    return m && PyDict_SetItemString(ns, name, m.get()) == 0;
}

bool fill_host_names(PyObject* ns) {
    // The urllib submodules are imported first so that the package carries them as attributes.
    for (const char* sub : {"urllib.error", "urllib.parse", "urllib.request"}) {
        Ref m = Ref::steal(PyImport_ImportModule(sub));
        if (!m) return false;
    }
    return set_imported(ns, "json", "json") && set_imported(ns, "os", "os") && set_imported(ns, "sys", "sys") &&
           set_imported(ns, "time", "time") && set_imported(ns, "urllib", "urllib") &&
           set_imported(ns, "datetime", "datetime", "datetime") &&
           set_imported(ns, "timezone", "datetime", "timezone") && set_imported(ns, "Any", "typing", "Any");
}

bool fill_functions(PyObject* ns) {
    for (const auto* table : kTables)
        for (const Export& row : *table) {
            Ref fn = make_function(row);
            if (!fn || PyDict_SetItemString(ns, row.name, fn.get()) < 0) return false;
        }
    return true;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "ashvigil",
    "Watches Bittensor subnet owner burn rates and reports their changes to a Telegram chat.",
    0,  // the interpreter calls the init again on a re-import, which hands back the one module
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // strong reference, kept for the life of the process

}  // namespace
}  // namespace ashvigil

PyMODINIT_FUNC PyInit_ashvigil() {
    using namespace ashvigil;
    // One module per process: the functions look their globals up in its namespace, so an
    // import after `del sys.modules["ashvigil"]` must give the same module, not a copy.
    if (g_module) return Py_NewRef(g_module);
    if (!ready_function_type()) return nullptr;
    Ref m = Ref::steal(PyModule_Create(&module_def));
    if (!m) return nullptr;
    PyObject* ns = PyModule_GetDict(m.get());  // borrowed
    Ref decimals = Ref::steal(PyLong_FromLong(kOwnerBurnDecimals));
    if (!fill_host_names(ns) || !decimals || PyDict_SetItemString(ns, "OWNER_BURN_DECIMALS", decimals.get()) < 0 ||
        !fill_functions(ns))
        return nullptr;
    set_module_namespace(ns);
    if (!remember_json_loads()) return nullptr;
    g_module = Py_NewRef(m.get());
    return m.release();
}
