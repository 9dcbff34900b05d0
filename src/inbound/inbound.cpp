// Calls from the platform into the program: the request decoder, the answer
// constructor, the retry-notify exception and the internal-error body.
#include <cstring>
#include <iterator>
#include <string_view>

#include "env/env.hpp"
#include "module/registry.hpp"
#include "log/log.hpp"
#include "module/common.hpp"
#include "module/crypto_api.hpp"
#include "module/json_text.hpp"
#include "module/wire.hpp"

namespace vq {

namespace {


// ---- VQToSpecRetryNotifyException ------------------------------------------------

py::object retry_init(const Bound& a) {
    require_str(a[0], "message");
    require_str(a[1], "status");
    VQ_SET(a.self, "message", a[0]);
    VQ_SET(a.self, "status", a[1]);
    // The exception's text is the message alone.
    py::object init = steal(PyObject_GetAttrString(PyExc_Exception, "__init__"));
    steal(PyObject_CallFunctionObjArgs(init.ptr(), a.self, a[0], nullptr));
    return py::none();
}

py::object retry_get_status(const Bound& a) { return VQ_GET(a.self, "status"); }

[[noreturn]] void raise_retry(const char* message, const char* status) {
    py::object cls = VQ_GLOBAL("VQToSpecRetryNotifyException");
    py::object msg = text(message), st = text(status);
    raise_instance(cls.ptr(), {msg.ptr(), st.ptr()});
}

// ---- VQToSpecHTTPReqDecoder -----------------------------------------------------------

// The seven headers, in the order they are compared.
constexpr HeaderSlot kInboundHeaders[] = {
    {"vq-secret-ver", "_header_ver"},
    {"vq-signature", "_header_signature"},
    {"vq-nonce", "_header_nonce"},
    {"vq-timestamp", "_header_timestamp"},
    {"vq-timestamp-ms", "_header_timestamp_ms"},
    {"vq-req-id", "_header_req_id"},
    {"vq-inqueue-timeout-ms", "_header_inqueue_timeout_ms"},
};
constexpr int kSlots = static_cast<int>(std::size(kInboundHeaders));
constexpr int kVer = 0, kSig = 1, kNonce = 2, kTs = 3, kTsMs = 4, kReqId = 5, kInq = 6;
// The members in the order they are declared, and so first set.
constexpr int kDeclaredOrder[] = {kVer, kSig, kNonce, kTs, kReqId, kTsMs, kInq};
// Each row once: a permutation of the table's indexes.
constexpr bool each_row_once(const int (&order)[kSlots]) {
    for (int row = 0; row < kSlots; ++row) {
        int seen = 0;
        for (int at : order) seen += at == row;
        if (seen != 1) return false;
    }
    return true;
}
static_assert(std::size(kDeclaredOrder) == kSlots && each_row_once(kDeclaredOrder),
              "every header of the table has exactly one place in the declared order");

static_assert(names_fit(kInboundHeaders), "a header name longer than the scan's buffer");

// int() of a header value that is_digit_str accepted. Converting a digit
// string costs time quadratic in its length on some interpreters, and it
// runs before the call is authenticated: longer strings are refused first,
// on every interpreter and whatever its own limit, with the error CPython
// 3.11 gives for them. (A replaced is_digit_str may accept other values:
// they convert as int() converts them.)
constexpr Py_ssize_t kMaxDigits = 4300;
py::object int_of(PyObject* digits) {
    const Py_ssize_t n = PyUnicode_Check(digits) ? PyUnicode_GET_LENGTH(digits) : 0;
    if (n > kMaxDigits) {
        PyErr_Format(PyExc_ValueError,
                     "Exceeds the limit (%zd digits) for integer string conversion: value has %zd digits; "
                     "use sys.set_int_max_str_digits() to increase the limit",
                     kMaxDigits, n);
        throw py::error_already_set();
    }
    return steal(PyNumber_Long(digits));
}

// The call body's fields: the JSON key, which is also the member the decoder
// sets, the value a body without it gives, and the member's getter.
enum class Absent { EmptyText, Zero, False };
struct BodyField {
    const char* key;
    Absent absent;
    const char* getter;
    const char* doc;
};
constexpr BodyField kBodyFields[] = {
    {"corpid", Absent::EmptyText, "get_corpid", "Return the call's corpid."},
    {"agentid", Absent::Zero, "get_agentid", "Return the call's agentid."},
    {"data", Absent::EmptyText, "get_data", "Return the call's data."},
    {"call_type", Absent::Zero, "get_call_type", "Return the call's call_type."},
    {"is_async", Absent::False, "get_is_async", "Return the call's is_async flag."},
    {"job_info", Absent::EmptyText, "get_job_info", "Return the call's job_info."},
    {"ability_id", Absent::EmptyText, "get_ability_id", "Return the call's ability_id."},
    {"notify_id", Absent::EmptyText, "get_notify_id", "Return the call's notify_id."},
};

py::object json_get(PyObject* obj, const char* key, PyObject* deflt) {
    PyObject* k = interned(key);
    if (PyDict_CheckExact(obj)) {
        PyObject* v = PyDict_GetItemWithError(obj, k);
        if (v) return borrow(v);
        if (PyErr_Occurred()) throw py::error_already_set();
        return borrow(deflt);
    }
    return call_method(obj, VQ_NAME("get"), {k, deflt});
}

py::object req_decoder_init(const Bound& a) {
    PyObject* self = a.self;
    PyObject* headers = a[0];
    PyObject* body = a[1];
    require_list(headers, "headers");
    require_str(body, "body");
    VQ_SET(self, "headers", headers);
    VQ_SET(self, "body", body);

    // The members start as declared: the request id empty, the others None.
    py::object values[kSlots];
    py::object empty = steal(PyUnicode_FromStringAndSize("", 0));
    for (int s : kDeclaredOrder) {
        values[s] = s == kReqId ? empty : py::none();
        check(PyObject_SetAttr(self, interned(kInboundHeaders[s].member), values[s].ptr()) == 0);
    }
    // Header scan: every element is unpacked as `name, value = item` and
    // its lower-cased name compared with all seven names.
    scan_headers(self, headers, kInboundHeaders, kSlots, NameMatch::LowerCase, unpack_two, values);
    PyObject* req_id = values[kReqId].ptr();

    {
        py::object label = borrow(interned("VQToSpecHTTPReqDecoder init")), ver = borrow(interned("ver"));
        log_at(Level::Info, req_id,
               {label.ptr(), ver.ptr(), values[kVer].ptr(), values[kTs].ptr(), values[kTsMs].ptr(), values[kInq].ptr()});
    }

    if (values[kVer].is_none() || values[kNonce].is_none() || values[kTs].is_none() || values[kSig].is_none()) {
        py::object label = borrow(interned("VQToSpecHTTPReqDecoder Err Invalid header"));
        log_error({label.ptr(), headers});
        raise_exception("Invalid header");
    }

    {
        py::object in_force = VQ_ENV("get_key_ver");
        int same = PyObject_RichCompareBool(values[kVer].ptr(), in_force.ptr(), Py_EQ);
        check(same >= 0);
        if (!same) {
            py::object label = borrow(interned("ver not matched"));
            py::object again = VQ_ENV("get_key_ver");
            log_at(Level::Error, req_id, {label.ptr(), values[kVer].ptr(), again.ptr()});
            raise_retry("ver not matched, retry notify", "1");
        }
    }

    if (is_digit_str(values[kTs].ptr())) {
        // Exact integers of any size, as the interpreter's int() reads them.
        py::object thousand = steal(PyLong_FromLong(1000));
        py::object beg_ms = steal(PyNumber_Multiply(int_of(values[kTs].ptr()).ptr(), thousand.ptr()));
        if (is_digit_str(values[kTsMs].ptr())) beg_ms = int_of(values[kTsMs].ptr());
        py::object now_ms = now_millis();
        py::object timeout_ms = steal(PyLong_FromLong(0));
        if (is_digit_str(values[kInq].ptr())) timeout_ms = int_of(values[kInq].ptr());
        py::object diff_ms = steal(PyNumber_Subtract(now_ms.ptr(), beg_ms.ptr()));
        py::object zero = steal(PyLong_FromLong(0));
        auto gt = [](PyObject* x, PyObject* y) {
            int r = PyObject_RichCompareBool(x, y, Py_GT);
            check(r >= 0);
            return r == 1;
        };
        bool timed_out = gt(timeout_ms.ptr(), zero.ptr()) && gt(diff_ms.ptr(), zero.ptr()) &&
                         gt(diff_ms.ptr(), timeout_ms.ptr());
        py::object label = borrow(interned("inqchk")), bar = borrow(interned("| timeout"));
        log_at(Level::Info, req_id,
               {label.ptr(), beg_ms.ptr(), now_ms.ptr(), diff_ms.ptr(), timeout_ms.ptr(), bar.ptr(),
                timed_out ? Py_True : Py_False});
        if (timed_out) raise_retry("inqueue timeout", "2");
    }

    verify_signature(body, values[kTs].ptr(), values[kNonce].ptr(), values[kVer].ptr(), values[kSig].ptr(),
                     "VQToSpecHTTPReqDecoder Err Invalid signature, real_sign:", false);

    py::object key = VQ_ENV("get_encoding_aes_key");
    py::object decoded = decrypt_body(key.ptr(), body);
    py::object json_mod = VQ_GLOBAL("json");
    py::object body_json = call_method(json_mod.ptr(), VQ_NAME("loads"), {decoded.ptr()});

    py::object zero = steal(PyLong_FromLong(0));
    for (const BodyField& f : kBodyFields) {
        PyObject* absent = f.absent == Absent::Zero ? zero.ptr() : f.absent == Absent::False ? Py_False : empty.ptr();
        py::object v = json_get(body_json.ptr(), f.key, absent);
        check(PyObject_SetAttr(self, interned(f.key), v.ptr()) == 0);
    }
    return py::none();
}

// A getter of the member `name` (a static text).
Impl member_getter(const char* name) {
    PyObject* member = interned(name);
    return [member](const Bound& a) { return get_attr(a.self, member); };
}

// ---- VQToSpecHTTPRspConstructor ----------------------------------------------------------

py::object rsp_init(const Bound& a) {
    require_str(a[0], "data");
    VQ_SET(a.self, "data", a[0]);
    py::object key = VQ_ENV("get_encoding_aes_key");
    VQ_SET(a.self, "encoded_body", encrypt_body(key.ptr(), a[0]).ptr());
    return py::none();
}

py::object rsp_normal_header(const Bound& a) {
    SignedValues v = sign_message(a.self);
    py::object zero = borrow(interned("0"));
    py::object accept = borrow(interned("*/*")), ctype = borrow(interned("application/json"));
    py::object length = length_text(v.encoded.ptr());
    return header_set({{"Accept", accept.ptr()},
                       {"Content-Type", ctype.ptr()},
                       {"vq-status", zero.ptr()},
                       {"vq-secret-ver", v.ver.ptr()},
                       {"vq-signature", v.signature.ptr()},
                       {"vq-nonce", v.nonce.ptr()},
                       {"vq-timestamp", v.timestamp.ptr()},
                       {"Content-Length", length.ptr()}});
}

py::object rsp_exception_header(const Bound& a) {
    require_str(a[0], "status");
    py::object ver = VQ_ENV("get_key_ver");
    py::object encoded = VQ_GET(a.self, "encoded_body");
    py::object accept = borrow(interned("*/*")), ctype = borrow(interned("application/json"));
    py::object length = length_text(encoded.ptr());
    return header_set({{"Accept", accept.ptr()},
                       {"Content-Type", ctype.ptr()},
                       {"vq-status", a[0]},
                       {"vq-secret-ver-expected", ver.ptr()},
                       {"Content-Length", length.ptr()}});
}

py::object rsp_retry_notify_header(const Bound& a) {
    require_str(a[0], "status");
    return call_method(a.self, VQ_NAME("get_exception_header"), {a[0]});
}

py::object rsp_encoded_body(const Bound& a) { return VQ_GET(a.self, "encoded_body"); }

// ---- spec_make_internal_error_rsp_data --------------------------------------------------

py::object internal_error_rsp_data(const Bound& a) {
    PyObject* errmsg = a[0];
    require_str(errmsg, "errmsg");
    py::object code = VQ_GLOBAL("DEFAULT_ERRCODE");
    py::object dumps = replaced_json_dumps();
    if (dumps || !PyLong_CheckExact(code.ptr())) {
        // A replaced writer, or whatever the constant was set to: the
        // module's json.dumps decides.
        py::dict body;
        body["errcode"] = code;
        body["errmsg"] = borrow(errmsg);
        if (!dumps) dumps = VQ_GET(VQ_GLOBAL("json").ptr(), "dumps");
        return call_object(dumps.ptr(), {body.ptr()});
    }
    std::string out = "{\"errcode\": ";
    py::object digits = steal(PyObject_Str(code.ptr()));
    out.append(static_cast<const char*>(PyUnicode_DATA(digits.ptr())), static_cast<size_t>(PyUnicode_GET_LENGTH(digits.ptr())));
    out += ", \"errmsg\": ";
    append_json_string(out, errmsg);
    out += "}";
    return ascii_text(out);
}


}  // namespace

void register_retry_exception(py::module_& m) {
    py::object cls = make_class(m, "VQToSpecRetryNotifyException", PyExc_Exception,
                                "Raised when the platform should send a call again; carries the retry status.", {});
    py::object one = borrow(interned("1"));
    def_method(cls, {"__init__", {"message: str", "status: str"}, {one.release().ptr()}},
               "Make the exception with its message and status.",
               retry_init);
    def_method(cls, {"GetStatus", {}}, "Return the status for the retry-notify answer.",
               retry_get_status);
}

void register_inbound_messages(py::module_& m) {
    py::object dec = make_class(m, "VQToSpecHTTPReqDecoder", nullptr,
                                "Checks, verifies and decrypts one call from the platform.", {});
    def_method(dec, {"__init__", {"headers: list", "body: str"}},
               "Decode a platform call from its header list and body text.",
               req_decoder_init);
    for (const BodyField& f : kBodyFields) def_method(dec, {f.getter, {}}, f.doc, member_getter(f.key));
    def_method(dec, {"get_req_id", {}}, "Return the vq-req-id header, or empty text.",
               member_getter(kInboundHeaders[kReqId].member));

    py::object rsp = make_class(m, "VQToSpecHTTPRspConstructor", nullptr,
                                "Builds the signed, encrypted answer to a platform call, or a retry notification.",
                                {{"data", "str"}, {"encoded_body", "str"}});
    py::object one = borrow(interned("1"));
    def_method(rsp, {"__init__", {"data: str"}},
               "Encrypt the answer body with the key in force.", rsp_init);
    def_method(rsp, {"get_normal_header", {}},
               "Return the signed header set of a normal answer.",
               rsp_normal_header);
    def_method(rsp, {"get_exception_header", {"status: str"}},
               "Return the unsigned header set with the given status.",
               rsp_exception_header);
    def_method(rsp, {"get_retry_notify_header", {"status: str"}, {one.release().ptr()}},
               "Return the header set asking the platform to retry.",
               rsp_retry_notify_header);
    def_method(rsp, {"get_encoded_body", {}},
               "Return the encrypted body to send with any header set.",
               rsp_encoded_body);
}

void register_internal_error_body(py::module_& m) {
    def_function(m, {"spec_make_internal_error_rsp_data", {"errmsg: str"}},
                 
                 "Return the JSON body of an internal-error answer: errcode DEFAULT_ERRCODE and errmsg.",
                 internal_error_rsp_data);
}

}  // namespace vq
