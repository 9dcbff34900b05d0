// Calls from the program to the platform: the call body, the request and
// response messages, and ChatDataSDK with its API catalogue.
#include "outbound/api_table.hpp"

#include <iterator>
#include <memory>
#include "module/registry.hpp"

#include <string>
#include <vector>

#include "env/env.hpp"
#include "log/log.hpp"
#include "module/common.hpp"
#include "module/crypto_api.hpp"
#include "module/json_text.hpp"
#include "module/wire.hpp"
#include "outbound/session.hpp"

namespace vq {

namespace {


// ---- CorpModelCallBack ---------------------------------------------------------------

py::object callback_init(const Bound& a) {
    require_str(a[0], "corpid");
    require_int(a[1], "agentid");
    require_str(a[2], "ability_id");
    require_str(a[3], "job_info");
    require_str(a[4], "data");
    VQ_SET(a.self, "corpid", a[0]);
    VQ_SET(a.self, "agentid", a[1]);
    VQ_SET(a.self, "ability_id", a[2]);
    VQ_SET(a.self, "job_info", a[3]);
    VQ_SET(a.self, "data", a[4]);
    return py::none();
}

py::object callback_to_json(const Bound& a) {
    py::object corpid = VQ_GET(a.self, "corpid");
    py::object agentid = VQ_GET(a.self, "agentid");
    py::object data = steal(PyObject_Str(VQ_GET(a.self, "data").ptr()));
    py::object job_info = VQ_GET(a.self, "job_info");
    py::object ability_id = VQ_GET(a.self, "ability_id");
    py::object dumps = replaced_json_dumps();
    if (dumps || !PyUnicode_CheckExact(corpid.ptr()) || !PyLong_CheckExact(agentid.ptr()) ||
        !PyUnicode_CheckExact(job_info.ptr()) || !PyUnicode_CheckExact(ability_id.ptr())) {
        // A replaced writer, or fields reassigned to other types: the module's
        // json.dumps decides.
        py::dict d;
        d["corpid"] = corpid;
        d["agentid"] = agentid;
        d["data"] = data;
        d["job_info"] = job_info;
        d["ability_id"] = ability_id;
        if (!dumps) dumps = VQ_GET(VQ_GLOBAL("json").ptr(), "dumps");
        return call_object(dumps.ptr(), {d.ptr()});
    }
    std::string out;
    out.reserve(static_cast<size_t>(PyUnicode_GET_LENGTH(data.ptr())) + 128);
    out += "{\"corpid\": ";
    append_json_string(out, corpid.ptr());
    out += ", \"agentid\": ";
    py::object digits = steal(PyObject_Str(agentid.ptr()));
    out.append(static_cast<const char*>(PyUnicode_DATA(digits.ptr())), static_cast<size_t>(PyUnicode_GET_LENGTH(digits.ptr())));
    out += ", \"data\": ";
    append_json_string(out, data.ptr());
    out += ", \"job_info\": ";
    append_json_string(out, job_info.ptr());
    out += ", \"ability_id\": ";
    append_json_string(out, ability_id.ptr());
    out += "}";
    return ascii_text(out);
}

// ---- SpecToVQHTTPReqConstructor --------------------------------------------------------

py::object req_ctor_init(const Bound& a) {
    require_str(a[0], "req_id");
    require_str(a[1], "cgi_path");
    VQ_SET(a.self, "req_id", a[0]);
    VQ_SET(a.self, "body", a[2]);
    VQ_SET(a.self, "cgi_path", a[1]);
    py::object key = VQ_ENV("get_encoding_aes_key");
    py::object json = call_method(a[2], VQ_NAME("to_json"));
    VQ_SET(a.self, "encoded_body", encrypt_body(key.ptr(), json.ptr()).ptr());
    return py::none();
}

py::object req_ctor_normal_header(const Bound& a) {
    PyObject* self = a.self;
    SignedValues v = sign_message(self);
    py::object program_id = VQ_ENV("get_program_id");
    py::object req_id = steal(PyObject_Str(VQ_GET(self, "req_id").ptr()));
    py::object version = VQ_GLOBAL("SDK_VERSION");
    py::object length = length_text(v.encoded.ptr());
    py::object accept = borrow(interned("*/*")), ctype = borrow(interned("application/json"));
    py::object headers = header_set({{"Accept", accept.ptr()},
                                     {"Content-Type", ctype.ptr()},
                                     {"vq-secret-ver", v.ver.ptr()},
                                     {"vq-signature", v.signature.ptr()},
                                     {"vq-nonce", v.nonce.ptr()},
                                     {"vq-timestamp", v.timestamp.ptr()},
                                     {"vq-program-id", program_id.ptr()},
                                     {"vq-req-id", req_id.ptr()},
                                     {"vq-spec-sdk-version", version.ptr()},
                                     {"Content-Length", length.ptr()}});
    py::object debug = VQ_ENV("get_is_debug_mode");
    int on = PyObject_IsTrue(debug.ptr());
    check(on >= 0);
    if (on) {
        py::object path = steal(PyObject_Str(VQ_GET(self, "cgi_path").ptr()));
        check(PyDict_SetItem(headers.ptr(), interned("vq-spec-trans-api"), path.ptr()) == 0);
    }
    return headers;
}

py::object req_ctor_encoded_body(const Bound& a) { return VQ_GET(a.self, "encoded_body"); }

// ---- the access token in texts the caller may see ------------------------------------------

using TokenForms = std::vector<std::u32string>;

// Adds the text `form` to `forms` unless it is there already.
void add_form(TokenForms& forms, PyObject* form) {
    Py_UCS4* p = PyUnicode_AsUCS4Copy(form);
    if (!p) throw py::error_already_set();
    std::u32string text(reinterpret_cast<const char32_t*>(p), static_cast<size_t>(PyUnicode_GET_LENGTH(form)));
    PyMem_Free(p);
    for (const auto& f : forms)
        if (f == text) return;
    forms.push_back(std::move(text));
}

// The forms in which a URL can carry the access token: as given (the URL is
// built with it verbatim), and percent-encoded as the HTTP client encodes a
// URL before sending it.
TokenForms token_forms(PyObject* token) {
    TokenForms forms;
    add_form(forms, token);
    py::object requests_mod = VQ_GLOBAL("requests");
    PyObject* utils = PyObject_GetAttrString(requests_mod.ptr(), "utils");
    PyObject* encoded = utils ? PyObject_CallMethod(utils, "requote_uri", "O", token) : nullptr;
    Py_XDECREF(utils);
    if (encoded && PyUnicode_Check(encoded)) add_form(forms, encoded);
    Py_XDECREF(encoded);
    PyErr_Clear();  // without the client's encoder the token is masked as given
    return forms;
}

// `text` with the access token masked as "***" where it stands as the value
// of an access_token parameter: after each "access_token=", the longest
// start of any form of the token (a URL cut at a '#' or '&' inside the
// token still shows a start of it). Other text is left as it is. With
// `everywhere`, every whole occurrence of a form is masked as well.
py::object mask_token(PyObject* text, const TokenForms& forms, bool everywhere = false) {
    Py_UCS4* p = PyUnicode_AsUCS4Copy(text);
    if (!p) throw py::error_already_set();
    const std::u32string in(reinterpret_cast<const char32_t*>(p), static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
    PyMem_Free(p);
    static const std::u32string param = U"access_token=", mask = U"***";
    std::u32string out;
    size_t i = 0;
    bool changed = false;
    auto masked_at = [&](size_t cut) {
        out += mask;
        i += cut;
        changed = true;
    };
    while (i < in.size()) {
        if (in.compare(i, param.size(), param) == 0) {
            out += param;
            i += param.size();
            size_t cut = 0;
            for (const auto& f : forms) {
                size_t n = 0;
                while (n < f.size() && i + n < in.size() && in[i + n] == f[n]) ++n;
                if (n > cut) cut = n;
            }
            if (cut > 0) masked_at(cut);
            continue;
        }
        if (everywhere) {
            size_t cut = 0;
            for (const auto& f : forms)
                if (f.size() > cut && in.compare(i, f.size(), f) == 0) cut = f.size();
            if (cut > 0) {
                masked_at(cut);
                continue;
            }
        }
        out += in[i++];
    }
    if (!changed) return borrow(text);
    return steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), static_cast<Py_ssize_t>(out.size())));
}

// The access token a relay URL carries: what follows the first
// "access_token=" of its query (get_req_url ends the URL with the token), or
// null when it carries none.
py::object url_token(PyObject* url) {
    if (!PyUnicode_Check(url)) return py::object();
    Py_ssize_t n = PyUnicode_GET_LENGTH(url);
    py::object mark = borrow(interned("?")), param = borrow(interned("access_token="));
    Py_ssize_t query = PyUnicode_Find(url, mark.ptr(), 0, n, 1);
    Py_ssize_t at = query < 0 ? query : PyUnicode_Find(url, param.ptr(), query, n, 1);
    if (at == -2) throw py::error_already_set();
    Py_ssize_t start = at + PyUnicode_GET_LENGTH(param.ptr());
    if (at < 0 || start >= n) return py::object();
    return steal(PyUnicode_Substring(url, start, n));
}

// The HTTP client's encoder and prepared-request class, and the helper's log
// filter, made while the module is imported (init_token_masking).
PyObject* g_requote = nullptr;
PyObject* g_prepared_class = nullptr;
PyObject* g_log_filter = nullptr;

// The forms in which the relay URL `url` shows its access token: those of
// token_forms, made with the HTTP client's own encoder, and the token as it
// stands in the URL the client prepares from `url` (its URL parser encodes
// more characters, and spells escapes in capitals); null when the URL
// carries none. The last URL's forms are kept: in debug mode every call is
// posted to the same relay URL.
std::shared_ptr<const TokenForms> url_token_forms(PyObject* url) {
    static PyObject* last_url = nullptr;  // owned
    static std::shared_ptr<const TokenForms> last_forms;
    if (last_url && PyUnicode_Check(url) && PyUnicode_Compare(url, last_url) == 0) return last_forms;
    PyErr_Clear();
    py::object token = url_token(url);
    if (!token) return nullptr;
    auto forms = std::make_shared<TokenForms>();
    add_form(*forms, token.ptr());
    PyObject* encoded = PyObject_CallFunctionObjArgs(g_requote, token.ptr(), nullptr);
    if (encoded && PyUnicode_Check(encoded)) add_form(*forms, encoded);
    Py_XDECREF(encoded);
    PyErr_Clear();
    PyObject* prepared = PyObject_CallObject(g_prepared_class, nullptr);
    PyObject* done = prepared ? PyObject_CallMethod(prepared, "prepare_url", "OO", url, Py_None) : nullptr;
    PyObject* sent = done ? PyObject_GetAttrString(prepared, "url") : nullptr;
    Py_XDECREF(done);
    Py_XDECREF(prepared);
    PyErr_Clear();  // a URL the client refuses is never sent
    if (sent) {
        py::object sent_url = steal(sent);
        py::object sent_token = url_token(sent);
        if (sent_token) add_form(*forms, sent_token.ptr());
    }
    Py_INCREF(url);
    Py_XSETREF(last_url, url);
    last_forms = forms;
    return forms;
}

// Whether the text form or the representation of `exc`, or of any error it
// was raised from, shows the token.
bool shows_token(PyObject* exc, const TokenForms& forms) {
    for (int depth = 0; exc && exc != Py_None && depth < 32; ++depth) {
        py::object str_form = steal(PyObject_Str(exc));
        if (!mask_token(str_form.ptr(), forms).is(str_form)) return true;
        py::object repr_form = steal(PyObject_Repr(exc));
        if (!mask_token(repr_form.ptr(), forms).is(repr_form)) return true;
        PyObject* next = PyException_GetCause(exc);
        if (!next) next = PyException_GetContext(exc);
        Py_XDECREF(next);  // still held by `exc`
        exc = next;
    }
    return false;
}

// `obj.url` with the token masked, where obj has a text url.
void mask_url_of(PyObject* obj, const TokenForms& forms) {
    if (obj == Py_None) return;
    PyObject* url = PyObject_GetAttrString(obj, "url");
    if (!url) {
        PyErr_Clear();
        return;
    }
    py::object keep = steal(url);
    if (!PyUnicode_Check(url)) return;
    py::object masked = mask_token(url, forms);
    if (!masked.is(keep)) check(PyObject_SetAttrString(obj, "url", masked.ptr()) == 0);
}

// obj.name, or None when obj has no such attribute.
py::object attr_or_none(PyObject* obj, const char* name) {
    if (PyObject* v = PyObject_GetAttrString(obj, name)) return steal(v);
    PyErr_Clear();
    return py::none();
}

// A copy of the prepared request `request` with its URL masked.
py::object masked_request(PyObject* request, const TokenForms& forms) {
    if (request == Py_None) return borrow(request);
    py::object copy = call_method(request, VQ_NAME("copy"));
    mask_url_of(copy.ptr(), forms);
    return copy;
}

// The values of the header mapping `obj.headers` with the token masked (a
// redirect's Location names a URL).
void mask_headers_of(PyObject* obj, const TokenForms& forms) {
    py::object headers = attr_or_none(obj, "headers");
    if (headers.is_none()) return;
    py::object items = steal(PySequence_List(call_method(headers.ptr(), VQ_NAME("items")).ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::object pair = borrow(PyList_GET_ITEM(items.ptr(), i));
        py::object name, value;
        unpack_pair(pair.ptr(), name, value);
        if (!PyUnicode_Check(value.ptr())) continue;
        py::object masked = mask_token(value.ptr(), forms);
        if (!masked.is(value)) check(PyObject_SetItem(headers.ptr(), name.ptr(), masked.ptr()) == 0);
    }
}

// The response `rsp` of a failed call with every URL it holds masked: its
// own and its headers', its raw response's, its requests' and, with
// `with_history`, those of the responses of its redirects (whose own
// histories hold earlier ones of the same).
void mask_response(PyObject* rsp, const TokenForms& forms, bool with_history = true) {
    if (rsp == Py_None) return;
    mask_url_of(rsp, forms);
    mask_headers_of(rsp, forms);
    py::object raw = attr_or_none(rsp, "raw");
    mask_url_of(raw.ptr(), forms);
    mask_headers_of(raw.ptr(), forms);
    // The request it answered, and the one a redirect would send next (what
    // Response.next gives).
    for (const char* name : {"request", "_next"}) {
        py::object request = attr_or_none(rsp, name);
        if (!request.is_none())
            check(PyObject_SetAttrString(rsp, name, masked_request(request.ptr(), forms).ptr()) == 0);
    }
    py::object history = attr_or_none(rsp, "history");
    if (with_history && PyList_Check(history.ptr())) {
        py::object earlier = steal(PySequence_List(history.ptr()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(earlier.ptr()); ++i) {
            py::object r = borrow(PyList_GET_ITEM(earlier.ptr(), i));
            mask_response(r.ptr(), forms, false);
        }
    }
}

// The error `exc` of a post to a relay URL (debug mode), made safe to show
// whatever its text says: its arguments, unless they are texts that do not
// show the token (an error of the client's URL layer, holding the URL, say),
// become its text with the token masked, its request and response keep no
// unmasked URL, and nothing is chained to it.
// A type whose text does not follow its arguments, and still shows the
// token, gives way to an Exception with the masked text.
py::object masked_error(PyObject* exc, const TokenForms& forms) {
    py::object text = steal(PyObject_Str(exc));
    py::object masked = mask_token(text.ptr(), forms);
    py::object args = VQ_GET(exc, "args");
    bool plain_texts = PyTuple_Check(args.ptr());
    for (Py_ssize_t i = 0; plain_texts && i < PyTuple_GET_SIZE(args.ptr()); ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args.ptr(), i);
        plain_texts = PyUnicode_CheckExact(arg) && mask_token(arg, forms).ptr() == arg;
    }
    if (!plain_texts) check(PyObject_SetAttrString(exc, "args", py::make_tuple(masked).ptr()) == 0);
    py::object request = attr_or_none(exc, "request");
    if (!request.is_none()) VQ_SET(exc, "request", masked_request(request.ptr(), forms).ptr());
    py::object response = attr_or_none(exc, "response");
    mask_response(response.ptr(), forms);
    PyException_SetCause(exc, nullptr);  // also suppresses the context
    PyException_SetContext(exc, nullptr);
    if (!shows_token(exc, forms)) return borrow(exc);
    py::object fallback_args = py::make_tuple(masked);
    return steal(PyObject_Call(PyExc_Exception, fallback_args.ptr(), nullptr));
}

// The error `exc` of a post to a relay URL, which carries the access token:
// made safe (masked_error) and without a traceback, so that none of the
// client's frames, whose variables hold the URL, reach the caller.
py::object safe_error(PyObject* exc, const TokenForms& forms) {
    py::object fresh;
    try {
        fresh = masked_error(exc, forms);
    } catch (py::error_already_set&) {
        PyErr_Clear();  // nothing of the original error goes on
        fresh = steal(PyObject_CallFunction(PyExc_Exception, "s", "the HTTP client's error could not be masked"));
    }
    PyException_SetTraceback(fresh.ptr(), Py_None);
    return fresh;
}

// The pending error of a post to a relay URL replaced by its safe_error.
void mask_access_token_in_error(const TokenForms& forms) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    py::object v = steal(value);
    py::object fresh = safe_error(v.ptr(), forms);
    PyObject* fresh_type = reinterpret_cast<PyObject*>(Py_TYPE(fresh.ptr()));
    Py_INCREF(fresh_type);
    PyErr_Restore(fresh_type, fresh.release().ptr(), nullptr);
}

// The forms of the relay tokens of every post in progress, in any thread
// (changed and read under the GIL), which the HTTP client's log records are
// masked with.
std::vector<std::shared_ptr<const TokenForms>> g_posting;

// `text` with the token of every post in progress masked; None while none
// runs. The helper's ClientLogMask filter calls it.
py::object mask_client_text(py::object text) {
    if (g_posting.empty()) return py::none();
    if (!PyUnicode_Check(text.ptr())) return text;
    const auto posting = g_posting;  // the masking may run a collection, and a finaliser a post
    py::object out = text;
    for (const auto& forms : posting) out = mask_token(out.ptr(), *forms);
    return out;
}

// While a post to a relay URL runs: its token's forms among g_posting, and
// the helper's filter on the HTTP client's loggers (on the first such post,
// and on loggers made since), for the kept session and a plain
// requests.post alike.
class ClientLogMask {
public:
    explicit ClientLogMask(std::shared_ptr<const TokenForms> forms) : forms_(std::move(forms)) {
        if (forms_) start(forms_);
    }
    ~ClientLogMask() {
        if (forms_) stop(*forms_);
    }
    static void start(const std::shared_ptr<const TokenForms>& forms) {
        steal(PyObject_CallMethod(http_helper(), "mask_client_logs", "O", g_log_filter));
        g_posting.push_back(forms);
    }
    static void stop(const TokenForms& forms) {
        for (auto it = g_posting.rbegin(); it != g_posting.rend(); ++it) {
            if (**it == forms) {
                g_posting.erase(std::next(it).base());
                break;
            }
        }
    }
    ClientLogMask(const ClientLogMask&) = delete;
    ClientLogMask& operator=(const ClientLogMask&) = delete;

private:
    std::shared_ptr<const TokenForms> forms_;
};

// The asyncio client's posts go through the helper's `mask_error(err, url)`:
// what common_send_http_post raises when its post to `url` failed with
// `err` (`err` itself when the URL carries no token), and
// `mask_logs(url, on)`: from on=True to on=False, the HTTP client's log
// records are masked as during common_send_http_post's post to `url`.
py::object mask_post_error(py::object err, py::object url) {
    auto forms = url_token_forms(url.ptr());
    if (!forms || !PyExceptionInstance_Check(err.ptr())) return err;
    return safe_error(err.ptr(), *forms);
}

void mask_post_logs(py::object url, bool on) {
    auto forms = url_token_forms(url.ptr());
    if (!forms) return;
    if (on) ClientLogMask::start(forms);
    else ClientLogMask::stop(*forms);
}

void init_token_masking() {
    py::object utils = steal(PyImport_ImportModule("requests.utils"));
    py::object models = steal(PyImport_ImportModule("requests.models"));
    py::cpp_function mask(&mask_client_text);
    g_requote = check(PyObject_GetAttrString(utils.ptr(), "requote_uri"));
    g_prepared_class = check(PyObject_GetAttrString(models.ptr(), "PreparedRequest"));
    g_log_filter = check(PyObject_CallMethod(http_helper(), "ClientLogMask", "O", mask.ptr()));
    py::cpp_function mask_error(&mask_post_error), mask_logs(&mask_post_logs);
    check(PyObject_SetAttrString(http_helper(), "mask_error", mask_error.ptr()) == 0);
    check(PyObject_SetAttrString(http_helper(), "mask_logs", mask_logs.ptr()) == 0);
}

// ---- SpecToVQHTTPRspDecoder ---------------------------------------------------------------

// The plain answer as its log line shows it. In debug mode a relay's answer
// may echo the access token, which is masked; the line never changes the
// outcome: when the mode or the token cannot be read (a getter raises, the
// token is not text), the answer is shown as it came.
py::object plain_answer_shown(PyObject* body) {
    try {
        py::object debug = VQ_ENV("get_is_debug_mode");
        const int on = PyObject_IsTrue(debug.ptr());
        check(on >= 0);
        if (!on) return borrow(body);
        py::object token = VQ_ENV("get_access_token");
        if (PyUnicode_Check(token.ptr()) && PyUnicode_GET_LENGTH(token.ptr()) > 0)
            return mask_token(body, token_forms(token.ptr()), true);
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
    return borrow(body);
}

// The five headers of an answer, in the order they are compared.
constexpr HeaderSlot kRspHeaders[] = {
    {"vq-secret-ver", "_header_ver"},
    {"vq-signature", "_header_signature"},
    {"vq-nonce", "_header_nonce"},
    {"vq-timestamp", "_header_timestamp"},
    {"vq-status", "_header_status"},
};
constexpr int kRspSlots = static_cast<int>(std::size(kRspHeaders));
constexpr int kVer = 0, kSig = 1, kNonce = 2, kTs = 3, kStatus = 4;
static_assert(kStatus + 1 == kRspSlots, "every answer header has its index");
static_assert(names_fit(kRspHeaders), "a header name longer than the scan's buffer");

py::object rsp_dec_init(const Bound& a) {
    PyObject* self = a.self;
    PyObject* status_code = a[0];
    PyObject* headers = a[1];
    PyObject* body = a[2];
    require_int(status_code, "status_code");
    require_list(headers, "headers");
    require_str(body, "body");
    VQ_SET(self, "status_code", status_code);
    VQ_SET(self, "headers", headers);
    VQ_SET(self, "body", body);
    py::object values[kRspSlots];
    for (int s = 0; s < kRspSlots; ++s) {
        values[s] = py::none();
        check(PyObject_SetAttr(self, interned(kRspHeaders[s].member), Py_None) == 0);
    }
    // Exact, case-sensitive names, every element compared with all five.
    scan_headers(self, headers, kRspHeaders, kRspSlots, NameMatch::Exact, unpack_pair, values);

    if (values[kVer].is_none() && values[kSig].is_none()) {
        py::object label = borrow(interned("no encrypt headers, treat as plain"));
        py::object shown = plain_answer_shown(body);
        log_error({label.ptr(), shown.ptr()});
        VQ_SET(self, "data", body);
        VQ_SET(self, "_header_status", interned("0"));
        return py::none();
    }
    if (values[kVer].is_none() || values[kNonce].is_none() || values[kTs].is_none() || values[kSig].is_none() ||
        values[kStatus].is_none()) {
        py::object label = borrow(interned("SpecToVQHTTPRspDecoder Invalid header"));
        log_error({label.ptr(), status_code, headers, body});
        raise_exception("Invalid header");
    }
    verify_signature(body, values[kTs].ptr(), values[kNonce].ptr(), values[kVer].ptr(), values[kSig].ptr(),
                     "Invalid signature", true);
    py::object key = VQ_ENV("get_encoding_aes_key");
    VQ_SET(self, "data", decrypt_body(key.ptr(), body).ptr());
    return py::none();
}

py::object rsp_dec_status(const Bound& a) { return VQ_GET(a.self, "_header_status"); }
py::object rsp_dec_data(const Bound& a) { return VQ_GET(a.self, "data"); }

// ---- ChatDataSDK ------------------------------------------------------------------------------

py::object sdk_init(const Bound& a) {
    require_str(a[0], "corpid");
    require_int(a[1], "agentid");
    require_str(a[2], "ability_id");
    require_str(a[3], "job_info");
    VQ_SET(a.self, "corpid", a[0]);
    VQ_SET(a.self, "agentid", a[1]);
    VQ_SET(a.self, "ability_id", a[2]);
    VQ_SET(a.self, "job_info", a[3]);
    py::object gen = VQ_GLOBAL("gen_new_req_id");
    VQ_SET(a.self, "req_id", steal(PyObject_CallObject(gen.ptr(), nullptr)).ptr());
    VQ_SET(a.self, "connect_timeout", steal(PyFloat_FromDouble(2.0)).ptr());
    VQ_SET(a.self, "read_timeout", steal(PyFloat_FromDouble(10.0)).ptr());
    return py::none();
}

py::object sdk_set_connect_timeout(const Bound& a) {
    double v = to_double(a[0]);
    VQ_SET(a.self, "connect_timeout", steal(PyFloat_FromDouble(v)).ptr());
    return py::none();
}

py::object sdk_set_read_timeout(const Bound& a) {
    double v = to_double(a[0]);
    VQ_SET(a.self, "read_timeout", steal(PyFloat_FromDouble(v)).ptr());
    return py::none();
}

py::object sdk_set_req_id(const Bound& a) {
    require_str(a[0], "req_id");
    VQ_SET(a.self, "req_id", a[0]);
    return py::none();
}

py::object sdk_get_req_url(const Bound& a) {
    PyObject* cgi_path = a[0];
    require_str(cgi_path, "cgi_path");
    py::object debug = VQ_ENV("get_is_debug_mode");
    int on = PyObject_IsTrue(debug.ptr());
    check(on >= 0);
    if (!on) {
        py::object domain = VQ_GLOBAL("DOMAIN");
        return steal(PyNumber_Add(domain.ptr(), cgi_path));
    }
    py::object base;
    py::object use_test = VQ_ENV("get_use_test_domain");
    int test = PyObject_IsTrue(use_test.ptr());
    check(test >= 0);
    if (test) {
        py::object test_domain = VQ_GLOBAL("DEBUG_TEST_DOMAIN");
        int nonempty = PyObject_IsTrue(test_domain.ptr());
        check(nonempty >= 0);
        if (nonempty) base = test_domain;
    }
    if (!base) base = VQ_GLOBAL("DEBUG_DOMAIN");
    py::object relay = borrow(interned("/cgi-bin/chatdata/sdk_debug_trans?_freego=vqfinal&access_token="));
    py::object url = steal(PyNumber_Add(base.ptr(), relay.ptr()));
    py::object access_token = VQ_ENV("get_access_token");
    return steal(PyNumber_Add(url.ptr(), access_token.ptr()));
}

// The response body as text: the charset the Content-Type names, otherwise
// UTF-8; invalid bytes are replaced and no charset detection ever runs.
py::object response_text(PyObject* rsp, PyObject* headers) {
    py::object encoding = borrow(interned("utf-8"));
    PyObject* ctype = nullptr;
    py::object ctype_keep;
    if (PyMapping_Check(headers)) {
        py::object key = borrow(interned("content-type"));
        PyObject* v = PyObject_CallMethodObjArgs(headers, VQ_NAME("get"), key.ptr(), nullptr);
        if (!v) {
            PyErr_Clear();
        } else {
            ctype_keep = steal(v);
            if (PyUnicode_Check(v)) ctype = v;
        }
        if (!ctype) {
            key = borrow(interned("Content-Type"));
            v = PyObject_CallMethodObjArgs(headers, VQ_NAME("get"), key.ptr(), nullptr);
            if (!v) PyErr_Clear();
            else {
                ctype_keep = steal(v);
                if (PyUnicode_Check(v)) ctype = v;
            }
        }
    }
    if (ctype) {
        // The HTTP client's own reading of the header: parameters by name,
        // the last charset winning, quotes stripped.
        static PyObject* parse = [] {
            py::object utils = steal(PyImport_ImportModule("requests.utils"));
            return check(PyObject_GetAttrString(utils.ptr(), "_parse_content_type_header"));
        }();
        py::object parsed = call_object(parse, {ctype});
        PyObject* params = PyTuple_Check(parsed.ptr()) && PyTuple_GET_SIZE(parsed.ptr()) == 2
                               ? PyTuple_GET_ITEM(parsed.ptr(), 1) : nullptr;
        if (params && PyDict_Check(params)) {
            PyObject* v = PyDict_GetItemWithError(params, VQ_NAME("charset"));
            if (!v && PyErr_Occurred()) throw py::error_already_set();
            if (v && PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) > 0) encoding = borrow(v);
        }
    }
    // requests decodes with the encoding it is given, replacing bad bytes and
    // falling back to UTF-8 for an unknown codec.
    check(PyObject_SetAttrString(rsp, "encoding", encoding.ptr()) == 0);
    return VQ_GET(rsp, "text");
}

py::object sdk_common_send_http_post(const Bound& a) {
    PyObject* self = a.self;
    PyObject* cgi_path = a[0];
    PyObject* url = a[1];
    PyObject* body = a[2];
    require_str(cgi_path, "cgi_path");
    require_str(url, "url");
    py::object spec2vq = borrow(interned("spec2vq"));
    {
        py::object req_id = VQ_GET(self, "req_id");
        py::object begin = borrow(interned("begin"));
        log_at(Level::Info, req_id.ptr(), {spec2vq.ptr(), begin.ptr(), cgi_path});
    }
    py::object req_id = VQ_GET(self, "req_id");
    py::object ctor_cls = VQ_GLOBAL("SpecToVQHTTPReqConstructor");
    py::object req = steal(PyObject_CallFunctionObjArgs(ctor_cls.ptr(), req_id.ptr(), cgi_path, body, nullptr));
    py::object headers = call_method(req.ptr(), VQ_NAME("get_normal_header"));
    py::object encoded = call_method(req.ptr(), VQ_NAME("get_encoded_body"));
    py::object payload = steal(PyUnicode_AsUTF8String(encoded.ptr()));

    py::object timeout = py::make_tuple(VQ_GET(self, "connect_timeout"), VQ_GET(self, "read_timeout"));
    py::dict kwargs;
    kwargs["headers"] = headers;
    kwargs["data"] = payload;
    kwargs["timeout"] = timeout;
    // In debug mode the URL carries the access token: it is kept out of the
    // HTTP client's log records and of the error the caller gets.
    auto forms = url_token_forms(url);
    PyObject* posted;
    {
        ClientLogMask masking(forms);
        posted = post_over_kept_session(url, kwargs.ptr());
    }
    if (!posted) {
        if (forms) mask_access_token_in_error(*forms);
        throw py::error_already_set();
    }
    py::object rsp = steal(posted);

    py::object rsp_headers = VQ_GET(rsp.ptr(), "headers");
    py::object items = call_method(rsp_headers.ptr(), VQ_NAME("items"));
    py::object header_list = steal(PySequence_List(items.ptr()));
    py::object status_code = VQ_GET(rsp.ptr(), "status_code");
    py::object rsp_body = response_text(rsp.ptr(), rsp_headers.ptr());

    py::object dec_cls = VQ_GLOBAL("SpecToVQHTTPRspDecoder");
    py::object dec = steal(PyObject_CallFunctionObjArgs(dec_cls.ptr(), status_code.ptr(), header_list.ptr(),
                                                        rsp_body.ptr(), nullptr));
    {
        py::object end = borrow(interned("end"));
        py::object status = call_method(dec.ptr(), VQ_NAME("get_rsp_status"));
        py::object rid = VQ_GET(self, "req_id");
        log_at(Level::Info, rid.ptr(), {spec2vq.ptr(), end.ptr(), status.ptr()});
    }
    py::object status = call_method(dec.ptr(), VQ_NAME("get_rsp_status"));
    py::object data = call_method(dec.ptr(), VQ_NAME("get_data"));
    return py::make_tuple(status, data);
}

// One API call: build the body, send it through the object's own
// get_req_url and common_send_http_post, and turn a non-zero status into an
// exception (status text, "Post Err").
py::object call_api(PyObject* self, PyObject* path, PyObject* param) {
    py::object url = call_method(self, VQ_NAME("get_req_url"), {path});
    py::object cls = VQ_GLOBAL("CorpModelCallBack");
    py::object corpid = VQ_GET(self, "corpid"), agentid = VQ_GET(self, "agentid");
    py::object ability_id = VQ_GET(self, "ability_id"), job_info = VQ_GET(self, "job_info");
    py::object body = steal(PyObject_CallFunctionObjArgs(cls.ptr(), corpid.ptr(), agentid.ptr(), ability_id.ptr(),
                                                         job_info.ptr(), param, nullptr));
    py::object result = call_method(self, VQ_NAME("common_send_http_post"), {path, url.ptr(), body.ptr()});
    py::object status, data;
    unpack_two(result.ptr(), status, data);  // `status, data = result`
    py::object code = steal(PyNumber_Long(status.ptr()));
    int nonzero = PyObject_IsTrue(code.ptr());
    check(nonzero >= 0);
    if (nonzero) {
        py::object post_err = borrow(interned("Post Err"));
        raise_instance(PyExc_Exception, {status.ptr(), post_err.ptr()});
    }
    return data;
}

py::object sdk_echo(const Bound& a) {
    py::object path = borrow(interned("/cgi-bin/chatdata/echo"));
    return call_api(a.self, path.ptr(), a[0]);
}

py::object sdk_document_list(const Bound& a) {
    require_str(a[0], "param");
    return call_method(a.self, VQ_NAME("knowledge_base_list"), {a[0]});
}

}  // namespace

void register_call_body(py::module_& m) {
    py::object cls = make_class(m, "CorpModelCallBack", nullptr,
                                "The plaintext of one outbound call: identity, ability, job and parameters.",
                                {{"corpid", "str"}, {"agentid", "int"}, {"data", "str"}, {"job_info", "str"},
                                 {"ability_id", "str"}});
    def_method(cls, {"__init__", {"corpid: str", "agentid: int", "ability_id: str", "job_info: str", "data: str"}},
               "Make a call body.",
               callback_init);
    def_method(cls, {"to_json", {}}, "Return the call body as one line of JSON text.",
               callback_to_json);
}

void register_outbound_messages(py::module_& m) {
    init_kept_sessions();
    init_token_masking();
    py::object dec = make_class(m, "SpecToVQHTTPRspDecoder", nullptr,
                                "Verifies and decrypts the platform's answer to an outbound call.", {});
    def_method(dec, {"__init__", {"status_code: int", "headers: list", "body: str"}},
               "Check and open an answer.", rsp_dec_init);
    def_method(dec, {"get_rsp_status", {}},
               "Return the vq-status text (\"0\" for a plain answer).",
               rsp_dec_status);
    def_method(dec, {"get_data", {}}, "Return the decrypted (or plain) answer text.",
               rsp_dec_data);

    py::object req = make_class(m, "SpecToVQHTTPReqConstructor", nullptr,
                                "Encrypts one call body and builds its signed request headers.",
                                {{"body", "CorpModelCallBack"}, {"encoded_body", "str"}, {"req_id", "str"},
                                 {"cgi_path", "str"}});
    def_method(req, {"__init__", {"req_id: str", "cgi_path: str", "body: CorpModelCallBack"}},
               "Encrypt the call body with the key in force.",
               req_ctor_init);
    def_method(req, {"get_normal_header", {}},
               "Return a fresh signed header set for the request.",
               req_ctor_normal_header);
    def_method(req, {"get_encoded_body", {}},
               "Return the encrypted body text that is posted.",
               req_ctor_encoded_body);

    py::object sdk = make_class(m, "ChatDataSDK", nullptr,
                                "Client of the platform's HTTPS API for one company and application.",
                                {{"corpid", "str"}, {"agentid", "int"}, {"ability_id", "str"},
                                 {"job_info", "str"}, {"req_id", "str"}, {"connect_timeout", "float"},
                                 {"read_timeout", "float"}});
    def_methods(sdk, {
        {{"__init__", {"corpid: str", "agentid: int", "ability_id: str", "job_info: str"}},
         "Make a client with a new request id.",
         sdk_init},
        {{"set_connect_timeout", {"seconds: float"}},
         "Set the connect time-out in seconds.", sdk_set_connect_timeout},
        {{"set_read_timeout", {"seconds: float"}},
         "Set the read time-out in seconds.", sdk_set_read_timeout},
        {{"set_req_id", {"req_id: str"}},
         "Set the request id sent with later calls.", sdk_set_req_id},
        {{"get_req_url", {"cgi_path: str"}},
         "Return the URL to post an API path to (the relay in debug mode).",
         sdk_get_req_url},
        {{"common_send_http_post", {"cgi_path: str", "url: str", "body: CorpModelCallBack"}},
         "Sign, encrypt and post a call body; return (status, data).",
         sdk_common_send_http_post},
        {{"echo", {"param"}}, "Echo the call's data back from the platform.", sdk_echo},
    });

    for (const ApiEntry& api : api_table()) {
        if (api.path == nullptr) {
            def_method(sdk, {api.name, {"param: str"}}, api.doc, sdk_document_list);
            continue;
        }
        py::object path = text(api.path);
        PyObject* p = path.release().ptr();  // kept for the life of the class
        def_method(sdk, {api.name, {"param: str"}}, api.doc, [p](const Bound& a) -> py::object {
            require_str(a[0], "param");
            return call_api(a.self, p, a[0]);
        });
    }
}

}  // namespace vq
