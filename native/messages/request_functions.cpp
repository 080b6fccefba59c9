// Module functions over a Request: method_without_body, the CORS request
// and preflight checks, and the absolute URLs of the request and of another
// path on the same site.  Each is a native entry point published in the
// module's __pyx_capi__ and a Python function of the same behaviour.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/pyref.hpp"
#include "request_core.hpp"

namespace bw::messages {

using siblings::URLObject;

namespace {

// Unicode equality that tries identity first (methods are usually the core
// library's shared strings).
inline bool same_str(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_Check(a) && PyUnicode_Compare(a, b) == 0);
}

}  // namespace

int method_without_body(PyObject* method) {
    if (method == Py_None) return 0;
    return same_str(method, state.m_get) || same_str(method, state.m_head) || same_str(method, state.m_trace);
}

namespace {

// Whether the first `name` header of the request is present and not empty.
int has_nonempty_header(RequestObject* request, PyObject* name) {
    Ref value = Ref::steal(request->vtab->get_first_header(request, name, 0));
    if (!value) return -1;
    return value.get() != Py_None && PyBytes_GET_SIZE(value.get()) > 0;
}

int is_cors_request(RequestObject* request) { return has_nonempty_header(request, state.h_origin_spelled); }

int is_cors_preflight_request(RequestObject* request) {
    if (request->method == Py_None || !same_str(request->method, state.m_options)) return 0;
    int cors = is_cors_request(request);
    if (cors <= 0) return cors;
    return has_nonempty_header(request, state.h_acrm_spelled);
}

// request.<name> read as a Python attribute would, skipping the lookup for
// the exact type, whose properties are the native ones.
PyObject* request_attr(RequestObject* request, PyObject* name, PyObject* (*native)(RequestObject*)) {
    if (Py_IS_TYPE(as_object(request), state.RequestType)) return native(request);
    return PyObject_GetAttr(as_object(request), name);
}

PyObject* attr_as_bytes(RequestObject* request, PyObject* name, PyObject* (*native)(RequestObject*)) {
    Ref value = Ref::steal(request_attr(request, name, native));
    return value ? ensure_bytes(value.get()) : nullptr;
}

// build_absolute_url(scheme, host, base_path, path) with the request's
// scheme, host and base path, computed in this order; `path` is passed
// unchanged, or made bytes (ensure_bytes) after the three when `convert`.
PyObject* absolute_url(RequestObject* request, PyObject* path, bool convert) {
    Ref scheme = Ref::steal(attr_as_bytes(request, state.str_scheme, request_get_scheme));
    if (!scheme) return nullptr;
    Ref host = Ref::steal(attr_as_bytes(request, state.str_host, request_get_host));
    if (!host) return nullptr;
    Ref base = Ref::steal(attr_as_bytes(request, state.str_base_path, request_get_base_path));
    if (!base) return nullptr;
    Ref target = convert ? Ref::steal(ensure_bytes(path)) : Ref::borrow(path);
    if (!target) return nullptr;
    return state.build_absolute_url(scheme.get(), host.get(), base.get(), target.get());
}

PyObject* get_request_absolute_url(RequestObject* request) {
    Ref url = Ref::steal(request_attr(request, state.str_url, request_get_url));
    if (!url) return nullptr;
    int absolute;
    if (Py_IS_TYPE(url.get(), state.URL)) {
        absolute = reinterpret_cast<URLObject*>(url.get())->is_absolute != 0;
    } else {
        Ref flag = Ref::steal(PyObject_GetAttr(url.get(), state.str_is_absolute));
        if (!flag) return nullptr;
        absolute = PyObject_IsTrue(flag.get());
        if (absolute < 0) return nullptr;
    }
    if (absolute) return url.release();
    url.reset();
    Ref path = Ref::borrow(request->_path);
    return absolute_url(request, path.get(), false);
}

PyObject* get_absolute_url_to_path(RequestObject* request, PyObject* path) {
    return absolute_url(request, path, true);
}

// ---- Python-visible functions ------------------------------------------------------

bool request_arg(PyObject* value) {
    if (PyObject_TypeCheck(value, state.RequestType)) return true;
    return args::raise_arg_type("request", state.RequestType->tp_name, value);
}

PyObject* py_method_without_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"method"};
    static args::Signature sig{"method_without_body", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a) || !args::exact(a[0], &PyUnicode_Type, "method")) return nullptr;
    return bool_ref(method_without_body(a[0]));
}

template <int (*Fn)(RequestObject*), const char* Name>
PyObject* py_request_predicate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"request"};
    static args::Signature sig{Name, names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a) || !request_arg(a[0])) return nullptr;
    int r = Fn(as_request(a[0]));
    return r < 0 ? nullptr : bool_ref(r);
}

constexpr char kIsCorsRequest[] = "is_cors_request";
constexpr char kIsCorsPreflightRequest[] = "is_cors_preflight_request";

PyObject* py_get_request_absolute_url(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"request"};
    static args::Signature sig{"get_request_absolute_url", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a) || !request_arg(a[0])) return nullptr;
    return get_request_absolute_url(as_request(a[0]));
}

PyObject* py_get_absolute_url_to_path(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"request", "path"};
    static args::Signature sig{"get_absolute_url_to_path", names, 2, 2};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a) || !request_arg(a[0]) ||
        !args::exact(a[1], &PyUnicode_Type, "path"))
        return nullptr;
    return get_absolute_url_to_path(as_request(a[0]), a[1]);
}

}  // namespace

PyMethodDef cors_functions[] = {
    {"method_without_body", BW_METH_FASTCALL_KW(py_method_without_body),
     "method_without_body(method: str | None) -> bool: whether the method is GET, HEAD or TRACE."},
    {"is_cors_request", BW_METH_FASTCALL_KW((py_request_predicate<is_cors_request, kIsCorsRequest>)),
     "is_cors_request(request) -> bool: whether the request carries a non-empty Origin header."},
    {"is_cors_preflight_request",
     BW_METH_FASTCALL_KW((py_request_predicate<is_cors_preflight_request, kIsCorsPreflightRequest>)),
     "is_cors_preflight_request(request) -> bool: an OPTIONS request with Origin and "
     "Access-Control-Request-Method."},
    {"get_request_absolute_url", BW_METH_FASTCALL_KW(py_get_request_absolute_url),
     "get_request_absolute_url(request) -> URL: the request URL made absolute with scheme, host and base path."},
    {"get_absolute_url_to_path", BW_METH_FASTCALL_KW(py_get_absolute_url_to_path),
     "get_absolute_url_to_path(request, path: str) -> URL: another path on the request's site."},
    {nullptr, nullptr, 0, nullptr},
};

int export_request_functions(PyObject* module) {
    // The signatures are checked at compile time against the declared types.
    EnsureBytesFn ensure = ensure_bytes;
    MethodWithoutBodyFn without_body = method_without_body;
    IsCorsRequestFn cors = is_cors_request;
    IsCorsPreflightRequestFn preflight = is_cors_preflight_request;
    GetRequestAbsoluteURLFn request_url = get_request_absolute_url;
    GetAbsoluteURLToPathFn to_path = get_absolute_url_to_path;
    if (capi::export_function(module, "ensure_bytes", ensure, kEnsureBytesSig) < 0 ||
        capi::export_function(module, "method_without_body", without_body, kMethodWithoutBodySig) < 0 ||
        capi::export_function(module, "is_cors_request", cors, kIsCorsRequestSig) < 0 ||
        capi::export_function(module, "is_cors_preflight_request", preflight, kIsCorsPreflightRequestSig) < 0 ||
        capi::export_function(module, "get_request_absolute_url", request_url, kGetRequestAbsoluteURLSig) < 0 ||
        capi::export_function(module, "get_absolute_url_to_path", to_path, kGetAbsoluteURLToPathSig) < 0)
        return -1;
    return 0;
}

}  // namespace bw::messages
