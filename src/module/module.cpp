// Module entry: binds the facilities and constants, then lets each subsystem
// define its names in the order in which the module presents them.
#include "module/common.hpp"
#include "module/registry.hpp"
#include "module/json_text.hpp"
#include "module/selfcheck.hpp"

// The package version comes from the build script, its one source.
#ifndef VQSDK_VERSION
#error "VQSDK_VERSION is defined by setup.py"
#endif

namespace vq {

namespace {

void bind_facility(py::module_& m, const char* name, const char* module, const char* attr = nullptr) {
    py::object mod = steal(PyImport_ImportModule(module));
    m.attr(name) = attr ? mod.attr(attr) : mod;
}

py::object spec_get_sdk_version(const Bound&) { return VQ_GLOBAL("SDK_VERSION"); }

}  // namespace

void register_frame(py::module_& m) {
    // Facilities, in the order the module has always bound them. A missing
    // HTTP client or AES library fails the import with its own error.
    bind_facility(m, "random", "random");
    bind_facility(m, "string", "string");
    bind_facility(m, "time", "time");
    bind_facility(m, "AES", "Crypto.Cipher.AES");
    bind_facility(m, "pad", "Crypto.Util.Padding", "pad");
    bind_facility(m, "unpad", "Crypto.Util.Padding", "unpad");
    bind_facility(m, "hashlib", "hashlib");
    bind_facility(m, "hmac", "hmac");
    bind_facility(m, "base64", "base64");
    bind_facility(m, "datetime", "datetime");
    bind_facility(m, "os", "os");
    bind_facility(m, "inspect", "inspect");
    bind_facility(m, "json", "json");
    remember_standard_json(m.attr("json").ptr());
    bind_facility(m, "requests", "requests");
    bind_facility(m, "CaseInsensitiveDict", "requests.structures", "CaseInsensitiveDict");
    bind_facility(m, "threading", "threading");
    bind_facility(m, "uuid", "uuid");

    m.attr("SECRET_KEY_FILE_PATH") = "/static_config/secret_key";
    m.attr("SDK_VERSION") = "python-" VQSDK_VERSION;
    m.attr("__version__") = VQSDK_VERSION;
    // Under the reserved .invalid domain: a program that does not set them
    // fails at name resolution instead of sending signed calls (and, in debug
    // mode, its access token) to whoever holds a real name.
    m.attr("DOMAIN") = "https://specapi.vqplatform.invalid";
    m.attr("DEBUG_DOMAIN") = "https://api.vqplatform.invalid";
    m.attr("DEBUG_TEST_DOMAIN") = "https://test-api.vqplatform.invalid";
    m.attr("LOG_VER") = 1;
    m.attr("LOG_FIELD_CUSTOM_MAX_SIZE") = 32768;
    m.attr("LOG_LEVEL_ERROR") = "ERR";
    m.attr("LOG_LEVEL_INFO") = "INFO";
    m.attr("LOG_LEVEL_DEBUG") = "DBG";
    m.attr("DEFAULT_ERRCODE") = 710660;
    // Outbound calls reuse kept-alive connections; false: a new connection per call.
    m.attr("KEEP_ALIVE") = true;

    m.attr("log_lock") = m.attr("threading").attr("Lock")();
}

void register_version(py::module_& m) {
    def_function(m, {"spec_get_sdk_version", {}},
                 "Return the SDK version string (the module's SDK_VERSION).",
                 spec_get_sdk_version);
}

}  // namespace vq

namespace vq {
namespace {

void define_module(py::module_& m) {
    py::options options;
    options.disable_function_signatures();
    set_module(m.ptr());
    self_check();
    m.doc() = "Client SDK for programs in the spec environment: signed, encrypted calls to the "
              "platform's HTTPS API and answers to the platform's calls.";

    using Register = void (*)(py::module_&);
    static const Register kInOrder[] = {
        register_frame,              register_log,          register_env_probes,
        register_security,           register_env_records,  register_retry_exception,
        register_call_body,          register_inbound_messages,
        register_outbound_messages,  register_debug_switches,
        register_internal_error_body, register_version,     register_notify_id,
    };
    for (Register r : kInOrder) r(m);
}

PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "vqspecapisdk", nullptr, -1, nullptr,
                            nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace vq

// The module's entry. Any failure while the module defines its names fails
// the import with that error itself (a missing facility shows as its own
// ModuleNotFoundError), not wrapped in a generic ImportError.
extern "C" PYBIND11_EXPORT PyObject* PyInit_vqspecapisdk() {
    PYBIND11_CHECK_PYTHON_VERSION
    PYBIND11_ENSURE_INTERNALS_READY
    PyObject* raw = PyModule_Create(&vq::g_module_def);
    if (!raw) return nullptr;
    try {
        py::module_ m = py::reinterpret_borrow<py::module_>(raw);
        vq::define_module(m);
        return raw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    Py_DECREF(raw);
    return nullptr;
}
