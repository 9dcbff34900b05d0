// Secret file, SecretInfo, SpecEnv and the environment functions.
#include "env/env.hpp"
#include "module/registry.hpp"

#include "log/log.hpp"
#include "module/crypto_api.hpp"

namespace vq {

namespace {

py::object empty_text() { return steal(PyUnicode_FromStringAndSize("", 0)); }
py::object py_bool(bool b) { return borrow(b ? Py_True : Py_False); }
py::object length(PyObject* o) {
    Py_ssize_t n = PyObject_Length(o);
    if (n < 0) throw py::error_already_set();
    return steal(PyLong_FromSsize_t(n));
}

// Runs `body`; on failure writes one error line made by `log_failure` from
// the pending exception, then lets the same exception go on unchanged.
template <class Body, class LogFailure>
void log_and_reraise(Body body, LogFailure log_failure) {
    try {
        body();
    } catch (py::error_already_set& e) {
        e.restore();
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb) PyException_SetTraceback(v, tb);
        try {
            log_failure(v);
        } catch (...) {
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
            throw;
        }
        PyErr_Restore(t, v, tb);
        throw py::error_already_set();
    }
}

bool digit_str_native(PyObject* s) {
    if (!PyUnicode_Check(s)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return false;
    return true;
}

bool truth_of(const py::object& o) {
    const int truth = PyObject_IsTrue(o.ptr());
    check(truth >= 0);
    return truth == 1;
}

bool spec_env_present_native() {
    py::object os = VQ_GLOBAL("os");
    py::object path = VQ_GET(os.ptr(), "path");
    py::object target = VQ_GLOBAL("SECRET_KEY_FILE_PATH");
    PyObject* r = PyObject_CallMethodObjArgs(path.ptr(), VQ_NAME("exists"), target.ptr(), nullptr);
    if (!r) {
        // A path that cannot be examined counts as absent.
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_OSError)) {
            PyErr_Clear();
            return false;
        }
        throw py::error_already_set();
    }
    int truth = PyObject_IsTrue(r);
    Py_DECREF(r);
    check(truth >= 0);
    return truth == 1;
}

// is_spec_env() as the environment's own code calls it.
bool spec_env_present() {
    if (py::object f = VQ_REPLACED("is_spec_env")) return truth_of(call_object(f.ptr(), {}));
    return spec_env_present_native();
}

// ---- module functions: probes ----------------------------------------------------

py::object py_is_spec_env(const Bound&) { return py_bool(spec_env_present_native()); }
py::object py_is_digit_str(const Bound& a) { return py_bool(digit_str_native(a[0])); }

py::object py_gen_new_req_id(const Bound&) {
    // random.sample over letters and digits, from the process-wide generator.
    py::object string_mod = VQ_GLOBAL("string");
    py::object letters = VQ_GET(string_mod.ptr(), "ascii_letters");
    py::object digits = VQ_GET(string_mod.ptr(), "digits");
    py::object population = steal(PyNumber_Add(letters.ptr(), digits.ptr()));
    py::object random_mod = VQ_GLOBAL("random");
    py::object k = steal(PyLong_FromLong(16));
    py::object drawn = call_method(random_mod.ptr(), VQ_NAME("sample"), {population.ptr(), k.ptr()});
    return steal(PyUnicode_Join(VQ_NAME(""), drawn.ptr()));
}

// The bytes a UnicodeDecodeError carries are the secret line itself (a
// refused debug token, the secret file's text). The pending one is replaced
// by one of the same type, encoding, positions and message whose bytes are
// zero in place of everything before the offending ones.
void mask_pending_decode_error() {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    py::object t = steal(type), v = steal(value), trace = py::reinterpret_steal<py::object>(tb);
    Py_ssize_t start = 0, end = 0;
    PyObject *encoding = nullptr, *raw = nullptr, *reason = nullptr;
    if (PyUnicodeDecodeError_GetStart(v.ptr(), &start) < 0 || PyUnicodeDecodeError_GetEnd(v.ptr(), &end) < 0 ||
        !(encoding = PyUnicodeDecodeError_GetEncoding(v.ptr())) || !(raw = PyUnicodeDecodeError_GetObject(v.ptr())) ||
        !(reason = PyUnicodeDecodeError_GetReason(v.ptr()))) {
        Py_XDECREF(encoding);
        Py_XDECREF(raw);
        throw py::error_already_set();
    }
    py::object enc = steal(encoding), bytes = steal(raw), why = steal(reason);
    std::string masked(static_cast<size_t>(end), '\0');
    for (Py_ssize_t i = start; i < end && i < PyBytes_GET_SIZE(bytes.ptr()); ++i)
        masked[static_cast<size_t>(i)] = PyBytes_AS_STRING(bytes.ptr())[i];
    py::object zeroed = steal(PyBytes_FromStringAndSize(masked.data(), static_cast<Py_ssize_t>(masked.size())));
    py::object from = steal(PyLong_FromSsize_t(start)), to = steal(PyLong_FromSsize_t(end));
    py::object fresh = steal(PyObject_CallFunctionObjArgs(t.ptr(), enc.ptr(), zeroed.ptr(), from.ptr(), to.ptr(),
                                                          why.ptr(), nullptr));
    if (trace) PyException_SetTraceback(fresh.ptr(), trace.ptr());
    PyErr_Restore(t.release().ptr(), fresh.release().ptr(), trace.release().ptr());
}

// ---- SecretInfo ----------------------------------------------------------------------

py::object secret_parse_from_string(const Bound& a) {
    PyObject* self = a.self;
    PyObject* line = a[0];
    require_str(line, "line");
    py::object trimmed = call_method(line, VQ_NAME("strip"));
    py::object pieces = steal(PyUnicode_Split(trimmed.ptr(), VQ_NAME(","), -1));
    if (PyList_GET_SIZE(pieces.ptr()) < 4) {
        py::object msg = text("invalid secret_key format");
        log_error({msg.ptr()});
        raise_exception("invalid secret_key format");
    }
    // All four fields change together; nothing can run between the stores.
    PyObject* ver = PyList_GET_ITEM(pieces.ptr(), 0);
    PyObject* token = PyList_GET_ITEM(pieces.ptr(), 1);
    PyObject* key = PyList_GET_ITEM(pieces.ptr(), 2);
    PyObject* program_id = PyList_GET_ITEM(pieces.ptr(), 3);
    VQ_SET(self, "ver", ver);
    VQ_SET(self, "token", token);
    VQ_SET(self, "encoding_aes_key", key);
    VQ_SET(self, "program_id", program_id);
    // Only the lengths of the token and the key are ever logged.
    py::object label = text("parse secret");
    py::object token_len = length(token), key_len = length(key);
    log_info({label.ptr(), ver, token_len.ptr(), key_len.ptr(), program_id});
    return py::none();
}

py::object secret_load(const Bound& a) {
    PyObject* self = a.self;
    if (!spec_env_present()) {
        py::object l1 = text("not in spec env, use *spec_open_debug_mode* for debug");
        py::object l2 = text("load secret_key exception: file not exists");
        log_error({l1.ptr()});
        log_error({l2.ptr()});
        raise_exception("secret_key file not exists");
    }
    log_and_reraise(
        [&] {
            py::object builtins = steal(PyImport_ImportModule("builtins"));
            py::object path = VQ_GLOBAL("SECRET_KEY_FILE_PATH");
            py::object file = call_method(builtins.ptr(), VQ_NAME("open"), {path.ptr()});
            py::object first;
            try {
                first = call_method(file.ptr(), VQ_NAME("readline"));
            } catch (py::error_already_set& e) {
                e.restore();
                mask_pending_decode_error();  // a text the file cannot be read as holds the secrets
                {
                    py::error_scope keep;  // close without losing the read error
                    PyObject* r = PyObject_CallMethodObjArgs(file.ptr(), VQ_NAME("close"), nullptr);
                    Py_XDECREF(r);
                    PyErr_Clear();
                }
                throw py::error_already_set();
            }
            call_method(file.ptr(), VQ_NAME("close"));
            py::object trimmed = call_method(first.ptr(), VQ_NAME("strip"));
            call_method(self, VQ_NAME("parse_from_string"), {trimmed.ptr()});
        },
        [](PyObject* exc) {
            py::object msg = steal(PyObject_Str(exc));
            py::object prefix = text("load secret_key exception: ");
            py::object line = steal(PyUnicode_Concat(prefix.ptr(), msg.ptr()));
            log_error({line.ptr()});
        });
    return py::none();
}

py::object secret_debug_string(const Bound& a) {
    PyObject* self = a.self;
    py::object ver = VQ_GET(self, "ver");
    py::object token = VQ_GET(self, "token");
    py::object key = VQ_GET(self, "encoding_aes_key");
    py::object program_id = VQ_GET(self, "program_id");
    const char* labels[] = {"ver: ", " token: ", " encoding_aes_key: ", " program_id: "};
    PyObject* values[] = {ver.ptr(), token.ptr(), key.ptr(), program_id.ptr()};
    py::object out = text("");
    for (int i = 0; i < 4; ++i) {
        py::object label = text(labels[i]);
        out = steal(PyNumber_Add(out.ptr(), label.ptr()));
        out = steal(PyNumber_Add(out.ptr(), values[i]));
    }
    return out;
}

// ---- SpecEnv -----------------------------------------------------------------------------

py::object env_init(const Bound& a) {
    PyObject* self = a.self;
    VQ_SET(self, "is_debug_mode", Py_False);
    VQ_SET(self, "debug_token", empty_text().ptr());
    VQ_SET(self, "access_token", empty_text().ptr());
    VQ_SET(self, "use_test_domain", Py_False);
    py::object secret_cls = VQ_GLOBAL("SecretInfo");
    VQ_SET(self, "debug_secret_info", steal(PyObject_CallObject(secret_cls.ptr(), nullptr)).ptr());
    VQ_SET(self, "normal_secret_info", steal(PyObject_CallObject(secret_cls.ptr(), nullptr)).ptr());
    py::object threading = VQ_GLOBAL("threading");
    VQ_SET(self, "lock", call_method(threading.ptr(), VQ_NAME("Lock")).ptr());
    VQ_SET(self, "init_secret_info", Py_False);
    return py::none();
}

py::object env_open_debug_mode(const Bound& a) {
    PyObject* self = a.self;
    PyObject* debug_token = a[0];
    PyObject* access_token = a[1];
    require_str(debug_token, "debug_token");
    require_str(access_token, "access_token");
    if (spec_env_present()) {
        py::object msg = text("in spec env, debug mode forbidden");
        log_info({msg.ptr()});
        return py::none();
    }
    VQ_SET(self, "is_debug_mode", Py_True);
    VQ_SET(self, "debug_token", debug_token);
    VQ_SET(self, "access_token", access_token);
    if (PyUnicode_GET_LENGTH(debug_token) == 0 || PyUnicode_GET_LENGTH(access_token) == 0) {
        // The debug token carries the signing token and the AES key, and the
        // access token opens the relay: the line shows their lengths only.
        py::object msg = steal(PyUnicode_FromFormat("invalid debug mode param, debug_token:len=%zd, access_token:len=%zd",
                                                    PyUnicode_GET_LENGTH(debug_token),
                                                    PyUnicode_GET_LENGTH(access_token)));
        log_error({msg.ptr()});
        raise_exception("invalid debug more param");
    }
    log_and_reraise(
        [&] {
            std::vector<uint8_t> raw = b64decode(debug_token);
            PyObject* decoded = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(raw.data()),
                                                     static_cast<Py_ssize_t>(raw.size()), "strict");
            if (!decoded) {
                mask_pending_decode_error();
                throw py::error_already_set();
            }
            py::object line = steal(decoded);
            py::object record = VQ_GET(self, "debug_secret_info");
            call_method(record.ptr(), VQ_NAME("parse_from_string"), {line.ptr()});
        },
        [](PyObject* exc) {
            py::object label = text("parse debug_token fail:");
            log_error({label.ptr(), exc});
        });
    py::object done = text("----------------- debug mode enabled -----------------");
    log_info({done.ptr()});
    return py::none();
}

// The one-time load of the secret file. `lock` makes concurrent first
// queries wait for the load instead of reading a record half-way through
// it; it is never held while waiting for anything but the load itself: the
// load's log lines are written once it is released (a stdout writer may ask
// for a secret).
py::object normal_secret_info(PyObject* self) {
    renew_after_fork();
    py::object lock = VQ_GET(self, "lock");
    DeferredLines lines;
    try {
        HeldLock held(lock.ptr());
        py::object attempted = VQ_GET(self, "init_secret_info");
        int done = PyObject_IsTrue(attempted.ptr());
        check(done >= 0);
        if (!done) {
            VQ_SET(self, "init_secret_info", Py_True);
            py::object record = VQ_GET(self, "normal_secret_info");
            call_method(record.ptr(), VQ_NAME("load"));
        }
        held.release();
    } catch (py::error_already_set&) {
        // The lock is free again here; the load's own failure is the one
        // that goes on, whatever writing its lines does.
        try {
            lines.write();
        } catch (py::error_already_set&) {
        }
        throw;
    }
    lines.write();
    return VQ_GET(self, "normal_secret_info");
}

// A forked child's spec_env gets a fresh load lock; one that was held at the
// fork means a load was under way, which may start again in the child.
void renew_secret_lock() {
    PyObject* env = PyDict_GetItemWithError(PyModule_GetDict(module_ptr()), VQ_NAME("spec_env"));
    if (!env) {
        PyErr_Clear();
        return;
    }
    py::object keep = borrow(env);
    if (renew_lock(env, VQ_NAME("lock"))) set_attr(env, VQ_NAME("init_secret_info"), Py_False);
}

py::object env_get_normal_secret_info(const Bound& a) { return normal_secret_info(a.self); }

py::object env_get_debug_secret_info(const Bound& a) { return VQ_GET(a.self, "debug_secret_info"); }

py::object env_get_secret_info(const Bound& a) {
    PyObject* self = a.self;
    py::object flag = VQ_GET(self, "is_debug_mode");
    int debug = PyObject_IsTrue(flag.ptr());
    check(debug >= 0);
    return call_method(self, debug ? VQ_NAME("_get_debug_secret_info") : VQ_NAME("_get_normal_secret_info"));
}

py::object env_set_use_test_domain(const Bound& a) {
    py::object label = text("use test domain");
    log_info({label.ptr(), a[0]});
    VQ_SET(a.self, "use_test_domain", a[0]);
    return py::none();
}

py::object env_get_use_test_domain(const Bound& a) { return VQ_GET(a.self, "use_test_domain"); }
py::object env_get_is_debug_mode(const Bound& a) { return VQ_GET(a.self, "is_debug_mode"); }
py::object env_get_access_token(const Bound& a) { return VQ_GET(a.self, "access_token"); }

py::object record_field(PyObject* self, PyObject* field) {
    py::object record = call_method(self, VQ_NAME("get_secret_info"));
    return get_attr(record.ptr(), field);
}
py::object env_get_key_ver(const Bound& a) { return record_field(a.self, VQ_NAME("ver")); }
py::object env_get_token(const Bound& a) { return record_field(a.self, VQ_NAME("token")); }
py::object env_get_encoding_aes_key(const Bound& a) { return record_field(a.self, VQ_NAME("encoding_aes_key")); }
py::object env_get_program_id(const Bound& a) { return record_field(a.self, VQ_NAME("program_id")); }

// ---- module functions: switches and ids --------------------------------------------------

py::object py_spec_open_debug_mode(const Bound& a) {
    require_str(a[0], "debug_token");
    require_str(a[1], "access_token");
    py::object env = VQ_GLOBAL("spec_env");
    call_method(env.ptr(), VQ_NAME("open_debug_mode"), {a[0], a[1]});
    return py::none();
}

py::object py_spec_debug_use_test_domain(const Bound& a) {
    py::object env = VQ_GLOBAL("spec_env");
    call_method(env.ptr(), VQ_NAME("set_use_test_domain"), {a[0]});
    return py::none();
}

py::object py_spec_gen_notify_id(const Bound&) {
    py::object uuid_mod = VQ_GLOBAL("uuid");
    py::object u = call_method(uuid_mod.ptr(), VQ_NAME("uuid1"));
    return VQ_GET(u.ptr(), "hex");
}

}  // namespace

bool is_digit_str(PyObject* s) {
    if (py::object f = VQ_REPLACED("is_digit_str")) return truth_of(call_object(f.ptr(), {s}));
    return digit_str_native(s);
}

namespace {

// The getters other subsystems ask for on every message. When spec_env is a
// plain SpecEnv whose methods nobody replaced (on the class or on the
// instance), they are answered here without going through method calls;
// otherwise the methods are called, so overrides keep working.
enum EnvGetter { kKeyVer, kToken, kAesKey, kProgramId, kIsDebug, kUseTestDomain, kAccessToken, kGetters };
const char* const kGetterNames[kGetters] = {"get_key_ver",       "get_token",           "get_encoding_aes_key",
                                            "get_program_id",    "get_is_debug_mode",   "get_use_test_domain",
                                            "get_access_token"};
const char* const kRecordFields[4] = {"ver", "token", "encoding_aes_key", "program_id"};
const char* const kPlainMembers[3] = {"is_debug_mode", "use_test_domain", "access_token"};
const char* const kRecordMethods[3] = {"get_secret_info", "_get_debug_secret_info", "_get_normal_secret_info"};

struct EnvClass {
    PyTypeObject* type = nullptr;
    PyObject* getter_names[kGetters] = {};
    PyObject* getters[kGetters] = {};
    PyObject* record_method_names[3] = {};
    PyObject* record_methods[3] = {};
    PyObject* field_names[4] = {};
    PyObject* member_names[3] = {};
};
EnvClass g_env_class;

void remember_env_class(PyObject* cls) {
    EnvClass& c = g_env_class;
    Py_INCREF(cls);  // compared by address for the life of the process
    c.type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* dict = c.type->tp_dict;
    for (int i = 0; i < kGetters; ++i) {
        c.getter_names[i] = PyUnicode_InternFromString(kGetterNames[i]);
        c.getters[i] = PyDict_GetItem(dict, c.getter_names[i]);
        Py_XINCREF(c.getters[i]);
    }
    for (int i = 0; i < 3; ++i) {
        c.record_method_names[i] = PyUnicode_InternFromString(kRecordMethods[i]);
        c.record_methods[i] = PyDict_GetItem(dict, c.record_method_names[i]);
        Py_XINCREF(c.record_methods[i]);
        c.member_names[i] = PyUnicode_InternFromString(kPlainMembers[i]);
    }
    for (int i = 0; i < 4; ++i) c.field_names[i] = PyUnicode_InternFromString(kRecordFields[i]);
}

// The class's methods are checked again only when the class changed (its
// version tag moves with every change to its namespace).
bool class_unchanged() {
    static unsigned int checked_tag = 0;
    const EnvClass& c = g_env_class;
    const unsigned int tag = c.type->tp_version_tag;
    const bool tag_valid = PyType_HasFeature(c.type, Py_TPFLAGS_VALID_VERSION_TAG) && tag != 0;
    if (tag_valid && tag == checked_tag) return true;
    PyObject* dict = c.type->tp_dict;
    for (int i = 0; i < kGetters; ++i)
        if (PyDict_GetItem(dict, c.getter_names[i]) != c.getters[i]) return false;
    for (int i = 0; i < 3; ++i)
        if (PyDict_GetItem(dict, c.record_method_names[i]) != c.record_methods[i]) return false;
    if (tag_valid) checked_tag = tag;
    return true;
}

bool unchanged(PyObject* env, int idx) {
    const EnvClass& c = g_env_class;
    if (!class_unchanged()) return false;
    PyObject** dp = _PyObject_GetDictPtr(env);
    if (dp && *dp) {
        // A key's __eq__ may replace the instance's namespace during a lookup.
        py::object d = borrow(*dp);
        if (PyDict_GetItem(d.ptr(), c.getter_names[idx])) return false;
        if (idx < kIsDebug)
            for (int i = 0; i < 3; ++i)
                if (PyDict_GetItem(d.ptr(), c.record_method_names[i])) return false;
    }
    return true;
}

py::object fast_get(PyObject* env, int idx) {
    const EnvClass& c = g_env_class;
    if (idx >= kIsDebug) return get_attr(env, c.member_names[idx - kIsDebug]);
    py::object flag = get_attr(env, c.member_names[0]);
    int debug = PyObject_IsTrue(flag.ptr());
    check(debug >= 0);
    py::object record = debug ? VQ_GET(env, "debug_secret_info") : normal_secret_info(env);
    return get_attr(record.ptr(), c.field_names[idx]);
}

}  // namespace

py::object env_get(PyObject* getter) {
    py::object env = VQ_GLOBAL("spec_env");
    const EnvClass& c = g_env_class;
    if (Py_TYPE(env.ptr()) == c.type) {
        for (int i = 0; i < kGetters; ++i) {
            if (c.getter_names[i] != getter) continue;
            if (unchanged(env.ptr(), i)) return fast_get(env.ptr(), i);
            break;
        }
    }
    return call_method(env.ptr(), getter);
}

void register_env_probes(py::module_& m) {
    def_function(m, {"is_spec_env", {}},
                 "Tell whether the program runs in the spec environment (the secret file exists).",
                 py_is_spec_env);
    def_function(m, {"is_digit_str", {"s"}},
                 "Tell whether s is non-empty text made only of digits.", py_is_digit_str);
}

void register_env_records(py::module_& m) {
    def_function(m, {"gen_new_req_id", {}},
                 "Return a new request id: 16 distinct letters and digits.",
                 py_gen_new_req_id);

    py::object secret = make_class(m, "SecretInfo", nullptr,
                                   "One secret record: version, signing token, AES key text and program id.",
                                   {{"ver", "str"}, {"token", "str"}, {"encoding_aes_key", "str"}, {"program_id", "str"}});
    def_method(secret, {"parse_from_string", {"line: str"}},
               "Fill the record from a comma-separated secret line.",
               secret_parse_from_string);
    def_method(secret, {"load", {}}, "Fill the record from the secret file's first line.",
               secret_load);
    def_method(secret, {"debug_string", {}},
               "Return all four values in one line, secrets included, for diagnostics.",
               secret_debug_string);

    py::object env = make_class(m, "SpecEnv", nullptr,
                                "The process-wide environment: secret record in force, debug mode and debug target.",
                                {{"is_debug_mode", "bool"},
                                 {"debug_token", "str"},
                                 {"access_token", "str"},
                                 {"use_test_domain", "bool"},
                                 {"debug_secret_info", "SecretInfo"},
                                 {"normal_secret_info", "SecretInfo"}});
    def_methods(env, {
        {{"__init__", {}}, "Start in normal mode with nothing loaded.", env_init},
        {{"open_debug_mode", {"debug_token: str", "access_token: str"}},
         "Switch to debug mode with secrets from a debug token.",
         env_open_debug_mode},
        {{"_get_normal_secret_info", {}},
         "Return the secret file's record, loading it on first use.",
         env_get_normal_secret_info},
        {{"_get_debug_secret_info", {}},
         "Return the debug token's record.", env_get_debug_secret_info},
        {{"get_secret_info", {}}, "Return the secret record of the current mode.",
         env_get_secret_info},
        {{"set_use_test_domain", {"use_test_domain: bool"}},
         "Choose the test domain for debug calls.",
         env_set_use_test_domain},
        {{"get_use_test_domain", {}}, "Return whether debug calls use the test domain.",
         env_get_use_test_domain},
        {{"get_is_debug_mode", {}}, "Return whether debug mode is on.",
         env_get_is_debug_mode},
        {{"get_access_token", {}}, "Return the access token of debug mode.",
         env_get_access_token},
        {{"get_key_ver", {}}, "Return the secret version in force.", env_get_key_ver},
        {{"get_token", {}}, "Return the signing token in force.", env_get_token},
        {{"get_encoding_aes_key", {}}, "Return the AES key text in force.",
         env_get_encoding_aes_key},
        {{"get_program_id", {}}, "Return the program id in force.",
         env_get_program_id},
    });
    remember_env_class(env.ptr());
    on_fork_child(renew_secret_lock);
    m.attr("spec_env") = env();
}

void register_debug_switches(py::module_& m) {
    def_function(m, {"spec_open_debug_mode", {"debug_token: str", "access_token: str"}},
                 
                 "Open debug mode with a debug token and an access token (outside the spec environment).",
                 py_spec_open_debug_mode);
    def_function(m, {"spec_debug_use_test_domain", {"use_test_domain: bool"}},
                 
                 "Send debug calls to the platform's test environment when true.",
                 py_spec_debug_use_test_domain);
}

void register_notify_id(py::module_& m) {
    def_function(m, {"spec_gen_notify_id", {}},
                 "Return a new notify id: 32 lower-case hex digits of a version-1 UUID.",
                 py_spec_gen_notify_id);
}

}  // namespace vq
