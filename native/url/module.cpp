// Module brindlewick.url: the URL value type and build_absolute_url.
//
// A URL keeps the bytes it was built from in `value` and the components as
// slices of it.  Components are stored as ready `bytes` objects because the
// message modules read them straight from the instance layout.  Every URL
// derived from another one (with_*, join, base_url) is recomposed as bytes
// and parsed again, so a URL's fields always agree with its `value`.
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <string_view>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/compat.hpp"
#include "brindlewick/pyref.hpp"
#include "brindlewick/siblings.hpp"
#include "url_layout.hpp"
#include "parse.hpp"

namespace bw::url {
namespace {

using siblings::URLObject;

// The shared layout comes first; what follows is private to this module.
struct Url {
    URLObject base;
    Py_ssize_t authority_start;  // offsets into `value`; -1 without authority
    Py_ssize_t authority_end;
    Py_ssize_t userinfo_end;     // offset of '@'; -1 without userinfo
    int32_t has_query;           // '?' present, even with an empty query
};
static_assert(offsetof(Url, base) == 0, "URLObject must lead the instance");

// Everything the module keeps between calls, filled once by its exec step.
struct State {
    PyTypeObject* url_type;
    PyObject* invalid_url;  // the InvalidURL exception class
    PyObject* empty_bytes;
    PyObject* http_bytes;   // b"http", shared by every URL of that scheme
    PyObject* https_bytes;  // b"https"
};
State state = {};

inline Url* as_url(PyObject* op) { return reinterpret_cast<Url*>(op); }
inline std::string_view bytes_view(PyObject* b) {
    return {PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b))};
}

// InvalidURL naming what was parsed and what is wrong with it.
PyObject* raise_invalid(const char* what, PyObject* subject, const char* problem) {
    if (subject)
        PyErr_Format(state.invalid_url, "Invalid %s %.200R: %s", what, subject, problem);
    else
        PyErr_Format(state.invalid_url, "Invalid %s: %s", what, problem);
    return nullptr;
}

PyObject* raise_invalid(const char* what, PyObject* subject, const Error& problem) {
    return raise_invalid(what, subject, problem.text);
}

// `bytes` for a str or bytes argument (str is encoded as UTF-8, lone
// surrogates from undecodable bytes mapped back); TypeError otherwise.
Ref to_bytes(PyObject* obj, const char* arg) {
    if (BW_LIKELY(PyBytes_CheckExact(obj))) return Ref::borrow(obj);
    if (PyBytes_Check(obj)) return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj)));
    if (PyUnicode_Check(obj)) return Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape"));
    args::raise_arg_type(arg, "bytes", obj);
    return nullptr;
}

PyObject* slice(PyObject* value, std::string_view s, Span sp) {
    if (sp.start == 0 && sp.end == static_cast<std::ptrdiff_t>(s.size())) return Py_NewRef(value);
    return PyBytes_FromStringAndSize(s.data() + sp.start, sp.size());
}

PyObject* scheme_object(PyObject* value, std::string_view s, Span sp) {
    std::string_view scheme = view(s, sp);
    if (scheme == "https") return Py_NewRef(state.https_bytes);
    if (scheme == "http") return Py_NewRef(state.http_bytes);
    return slice(value, s, sp);
}

// New instance of `type` for `value` (exact bytes).
PyObject* parse_new(PyTypeObject* type, PyObject* value) {
    std::string_view s = bytes_view(value);
    Parts p;
    Error error;
    if (!split(s, Mode::Target, p, error)) return raise_invalid("URL", value, error);
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return nullptr;
    Url* u = as_url(obj.get());
    URLObject& b = u->base;
    b.value = Py_NewRef(value);
    b.schema = p.scheme.defined() ? scheme_object(value, s, p.scheme) : Py_NewRef(Py_None);
    b.host = p.host.defined() ? slice(value, s, p.host) : Py_NewRef(Py_None);
    b.port = p.port;
    b.path = slice(value, s, p.path);
    b.query = p.query.defined() ? slice(value, s, p.query) : Py_NewRef(state.empty_bytes);
    b.fragment = p.fragment.defined() ? slice(value, s, p.fragment) : Py_NewRef(Py_None);
    b.is_absolute = p.scheme.defined() ? 1 : 0;
    u->authority_start = p.authority.start;
    u->authority_end = p.authority.end;
    u->userinfo_end = p.userinfo.defined() ? p.userinfo.end : -1;
    u->has_query = p.query.defined() ? 1 : 0;
    if (!b.schema || !b.host || !b.path || !b.query || !b.fragment) return nullptr;
    return obj.release();
}

PyObject* parse_string(const Buffer& s) {
    Ref value = Ref::steal(s.to_bytes());
    if (!value) return nullptr;
    return parse_new(state.url_type, value.get());
}

// A URL of the recomposed components (null with an error set).
PyObject* parse_components(const Components& c) {
    Buffer out;
    if (!recompose(c, out)) return nullptr;
    return parse_string(out);
}

PyObject* construct(PyTypeObject* type, PyObject* arg) {
    if (PyObject_TypeCheck(arg, state.url_type)) {
        // URLs are immutable: URL(url) is the same object.
        if (type == state.url_type && Py_IS_TYPE(arg, state.url_type)) return Py_NewRef(arg);
        return parse_new(type, as_url(arg)->base.value);
    }
    Ref value = to_bytes(arg, "value");
    if (!value) return nullptr;
    return parse_new(type, value.get());
}

const char* const kValueNames[] = {"value"};
args::Signature url_sig{"URL", kValueNames, 1, 1};

PyObject* url_vectorcall(PyObject* type, PyObject* const* argv, size_t nargsf, PyObject* kwnames) {
    PyObject* arg[1];
    if (!args::parse(url_sig, argv, PyVectorcall_NARGS(nargsf), kwnames, arg)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), arg[0]);
}

PyObject* url_new(PyTypeObject* type, PyObject* argt, PyObject* kwargs) {
    static const char* kw[] = {"value", nullptr};
    PyObject* arg;
    if (!PyArg_ParseTupleAndKeywords(argt, kwargs, "O:URL", const_cast<char**>(kw), &arg)) return nullptr;
    return construct(type, arg);
}

void url_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    URLObject& b = as_url(op)->base;
    Py_XDECREF(b.value);
    Py_XDECREF(b.schema);
    Py_XDECREF(b.host);
    Py_XDECREF(b.path);
    Py_XDECREF(b.query);
    Py_XDECREF(b.fragment);
    type->tp_free(op);
    Py_DECREF(type);
}

// Components of a parsed URL, viewing its own bytes.
Components components(Url* u) {
    const URLObject& b = u->base;
    Components c;
    c.has_scheme = b.schema != Py_None;
    if (c.has_scheme) c.scheme = bytes_view(b.schema);
    c.has_authority = u->authority_start >= 0;
    if (c.has_authority)
        c.authority = bytes_view(b.value).substr(static_cast<size_t>(u->authority_start),
                                                 static_cast<size_t>(u->authority_end - u->authority_start));
    c.path = bytes_view(b.path);
    c.has_query = u->has_query != 0;
    c.query = bytes_view(b.query);
    c.has_fragment = b.fragment != Py_None;
    if (c.has_fragment) c.fragment = bytes_view(b.fragment);
    return c;
}

// Offset of the host within the authority, and of what follows it.
void host_bounds(Url* u, size_t& start, size_t& end) {
    Py_ssize_t host_start = u->userinfo_end >= 0 ? u->userinfo_end + 1 : u->authority_start;
    start = static_cast<size_t>(host_start - u->authority_start);
    end = start + static_cast<size_t>(PyBytes_GET_SIZE(u->base.host));
}

PyObject* url_with_query(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"query"};
    static args::Signature sig{"with_query", names, 1, 1};
    PyObject* arg[1];
    if (!args::parse(sig, argv, nargs, kwnames, arg)) return nullptr;
    Components c = components(as_url(self));
    Ref query;
    if (arg[0] == Py_None) {
        c.has_query = false;
    } else {
        query = to_bytes(arg[0], "query");
        if (!query) return nullptr;
        std::string_view q = bytes_view(query.get());
        std::ptrdiff_t bad = find_forbidden(q);
        if (bad >= 0) {
            Error error;
            forbidden_message(q, bad, "query", error);
            return raise_invalid("query", query.get(), error);
        }
        if (q.find('#') != std::string_view::npos)
            return raise_invalid("query", query.get(), "invalid character '#' in query");
        c.has_query = !q.empty();
        c.query = q;
    }
    return parse_components(c);
}

PyObject* url_with_host(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"host"};
    static args::Signature sig{"with_host", names, 1, 1};
    PyObject* arg[1];
    if (!args::parse(sig, argv, nargs, kwnames, arg)) return nullptr;
    Url* u = as_url(self);
    if (u->base.host == Py_None) {
        PyErr_SetString(PyExc_ValueError, "with_host() needs a URL that has a host");
        return nullptr;
    }
    Ref host = to_bytes(arg[0], "host");
    if (!host) return nullptr;
    std::string_view h = bytes_view(host.get());
    Error error;
    if (!check_host(h, error)) return raise_invalid("host", host.get(), error);
    Components c = components(u);
    size_t start, end;
    host_bounds(u, start, end);
    Buffer authority;
    if (!authority.append(c.authority.substr(0, start)) || !authority.append(h) ||
        !authority.append(c.authority.substr(end)))
        return nullptr;
    c.authority = authority.view();
    return parse_components(c);
}

PyObject* url_with_scheme(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"scheme"};
    static args::Signature sig{"with_scheme", names, 1, 1};
    PyObject* arg[1];
    if (!args::parse(sig, argv, nargs, kwnames, arg)) return nullptr;
    Url* u = as_url(self);
    if (!u->base.is_absolute) {
        PyErr_SetString(PyExc_ValueError, "with_scheme() needs an absolute URL");
        return nullptr;
    }
    Ref scheme = to_bytes(arg[0], "scheme");
    if (!scheme) return nullptr;
    Error error;
    if (!check_scheme(bytes_view(scheme.get()), error)) return raise_invalid("scheme", scheme.get(), error);
    Components c = components(u);
    c.scheme = bytes_view(scheme.get());
    return parse_components(c);
}

PyObject* url_join(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"other"};
    static args::Signature sig{"join", names, 1, 1};
    PyObject* arg[1];
    if (!args::parse(sig, argv, nargs, kwnames, arg)) return nullptr;
    Components ref;
    Ref other;
    if (PyObject_TypeCheck(arg[0], state.url_type)) {
        ref = components(as_url(arg[0]));
    } else {
        other = to_bytes(arg[0], "other");
        if (!other) return nullptr;
        std::string_view s = bytes_view(other.get());
        Parts p;
        Error error;
        if (!split(s, Mode::Reference, p, error)) return raise_invalid("URL", other.get(), error);
        ref = components_of(s, p);
    }
    Components base = components(as_url(self));
    Buffer storage;
    Components target;
    if (!resolve(base, ref, storage, target)) return nullptr;
    if (target.has_authority && !target.has_scheme) {
        PyErr_SetString(state.invalid_url, "cannot resolve a network-path reference ('//host...') against a relative URL");
        return nullptr;
    }
    return parse_components(target);
}

PyObject* url_base_url(PyObject* self, PyObject*) {
    Url* u = as_url(self);
    if (u->base.host == Py_None) {
        PyErr_SetString(PyExc_ValueError, "base_url() needs a URL that has a host");
        return nullptr;
    }
    Components full = components(u);
    size_t start, end;
    host_bounds(u, start, end);
    Components c;
    c.has_scheme = full.has_scheme;
    c.scheme = full.scheme;
    c.has_authority = true;
    c.authority = full.authority.substr(start);  // credentials stay out
    return parse_components(c);
}

// Rebuilt from `value`; attributes of a Python subclass travel as state.
PyObject* url_reduce(PyObject* self, PyObject*) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyObject* value = as_url(self)->base.value;
    PyObject* dict = nullptr;
    if (Py_TYPE(self) != state.url_type && PyObject_GetOptionalAttrString(self, "__dict__", &dict) < 0) return nullptr;
    Ref state = Ref::steal(dict);
    if (state && PyDict_Check(state.get()) && PyDict_GET_SIZE(state.get()) > 0)
        return Py_BuildValue("(O(O)O)", type, value, state.get());
    return Py_BuildValue("(O(O))", type, value);
}

PyObject* url_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    std::string_view mine = bytes_view(as_url(self)->base.value);
    std::string_view theirs;
    Ref encoded;
    if (PyObject_TypeCheck(other, state.url_type)) {
        theirs = bytes_view(as_url(other)->base.value);
    } else if (PyBytes_Check(other)) {
        theirs = bytes_view(other);
    } else if (PyUnicode_Check(other)) {
        if (PyUnicode_IS_ASCII(other)) {
            theirs = {static_cast<const char*>(PyUnicode_DATA(other)), static_cast<size_t>(PyUnicode_GET_LENGTH(other))};
        } else {
            encoded = Ref::steal(PyUnicode_AsEncodedString(other, "utf-8", "surrogateescape"));
            if (!encoded) {
                // Text that no bytes decode to equals no URL.
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
                PyErr_Clear();
                return bool_ref(op == Py_NE);
            }
            theirs = bytes_view(encoded.get());
        }
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    return bool_ref((mine == theirs) == (op == Py_EQ));
}

// Equal URLs, and a URL and its bytes, hash alike (so do ASCII text values).
Py_hash_t url_hash(PyObject* self) { return PyObject_Hash(as_url(self)->base.value); }

PyObject* url_repr(PyObject* self) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    return PyUnicode_FromFormat("%U(%R)", name.get(), as_url(self)->base.value);
}

PyObject* url_str(PyObject* self) {
    std::string_view s = bytes_view(as_url(self)->base.value);
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape");
}

int url_bool(PyObject* self) { return PyBytes_GET_SIZE(as_url(self)->base.value) != 0; }

PyObject* get_is_absolute(PyObject* self, void*) { return bool_ref(as_url(self)->base.is_absolute != 0); }

PyObject* get_userinfo(PyObject* self, void*) {
    Url* u = as_url(self);
    if (u->userinfo_end < 0) Py_RETURN_NONE;
    return PyBytes_FromStringAndSize(PyBytes_AS_STRING(u->base.value) + u->authority_start,
                                     u->userinfo_end - u->authority_start);
}

#define URL_FIELD(name, field, type, doc) \
    {name, type, static_cast<Py_ssize_t>(offsetof(Url, base) + offsetof(URLObject, field)), Py_READONLY, doc}

PyMemberDef url_members[] = {
    URL_FIELD("value", value, Py_T_OBJECT_EX, "The whole URL (bytes)."),
    URL_FIELD("schema", schema, Py_T_OBJECT_EX, "Scheme without ':' (bytes), or None."),
    URL_FIELD("scheme", schema, Py_T_OBJECT_EX, "Same as schema."),
    URL_FIELD("host", host, Py_T_OBJECT_EX, "Host (bytes, brackets kept for IP literals), or None."),
    URL_FIELD("port", port, Py_T_INT, "Port number; 0 when absent."),
    URL_FIELD("path", path, Py_T_OBJECT_EX, "Path (bytes), possibly empty."),
    URL_FIELD("query", query, Py_T_OBJECT_EX, "Query without '?' (bytes), possibly empty."),
    URL_FIELD("fragment", fragment, Py_T_OBJECT_EX, "Fragment without '#' (bytes), or None."),
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef url_getset[] = {
    {"is_absolute", get_is_absolute, nullptr, "Whether the URL has a scheme.", nullptr},
    {"userinfo", get_userinfo, nullptr, "Credentials before '@' in the authority (bytes), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef url_methods[] = {
    {"with_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(url_with_query)),
     METH_FASTCALL | METH_KEYWORDS, "with_query(query) -> URL with the query replaced (None or b'' removes it)."},
    {"with_host", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(url_with_host)),
     METH_FASTCALL | METH_KEYWORDS, "with_host(host) -> URL with the host replaced; credentials and port stay."},
    {"with_scheme", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(url_with_scheme)),
     METH_FASTCALL | METH_KEYWORDS, "with_scheme(scheme) -> URL with the scheme replaced."},
    {"join", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(url_join)), METH_FASTCALL | METH_KEYWORDS,
     "join(other) -> URL: `other` resolved as a reference against this URL (RFC 3986)."},
    {"base_url", url_base_url, METH_NOARGS, "base_url() -> URL of scheme, host and port only."},
    {"__reduce__", url_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot url_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(url_new)},
    {BW_tp_vectorcall, reinterpret_cast<void*>(url_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(url_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(url_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(url_hash)},
    {Py_tp_repr, reinterpret_cast<void*>(url_repr)},
    {Py_tp_str, reinterpret_cast<void*>(url_str)},
    {Py_nb_bool, reinterpret_cast<void*>(url_bool)},
    {Py_tp_members, url_members},
    {Py_tp_getset, url_getset},
    {Py_tp_methods, url_methods},
    {Py_tp_doc, const_cast<char*>("URL(value: bytes | str): an absolute URL or a request target, parsed.\n\n"
                                  "Malformed values raise InvalidURL.")},
    {0, nullptr},
};

PyType_Spec url_spec = {
    "brindlewick.url.URL",
    sizeof(Url),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    url_slots,
};

// ---- build_absolute_url ------------------------------------------------------

PyObject* build_absolute_url(PyObject* scheme, PyObject* host, PyObject* base_path, PyObject* path) {
    if (!PyBytes_Check(scheme)) return args::raise_arg_type("scheme", "bytes", scheme), nullptr;
    if (!PyBytes_Check(host)) return args::raise_arg_type("host", "bytes", host), nullptr;
    if (!PyBytes_Check(base_path)) return args::raise_arg_type("base_path", "bytes", base_path), nullptr;
    if (!PyBytes_Check(path)) return args::raise_arg_type("path", "bytes", path), nullptr;
    Error error;
    std::string_view s = bytes_view(scheme);
    if (!check_scheme(s, error)) return raise_invalid("scheme", scheme, error);
    // The host comes from a Host header: it must be exactly host[:port],
    // so it can never smuggle in credentials, a path or a query.
    std::string_view h = bytes_view(host);
    Span host_span;
    int32_t port;
    if (!split_host_port(h, host_span, port, error)) return raise_invalid("host", host, error);
    std::string_view b = bytes_view(base_path);
    std::ptrdiff_t bad = find_forbidden(b);
    if (bad >= 0) {
        forbidden_message(b, bad, "base path", error);
        return raise_invalid("base path", base_path, error);
    }
    size_t mark = b.find_first_of("?#");
    if (mark != std::string_view::npos) {
        error.set("invalid character '%c' in base path", b[mark]);
        return raise_invalid("base path", base_path, error);
    }
    while (!b.empty() && b.back() == '/') b.remove_suffix(1);
    std::string_view p = bytes_view(path);
    while (!p.empty() && p.front() == '/') p.remove_prefix(1);
    Buffer out;
    if (!out.append(s) || !out.append_cstr("://") || !out.append(h) ||
        (!b.empty() && b.front() != '/' && !out.push_back('/')) || !out.append(b) || !out.push_back('/') ||
        !out.append(p))
        return nullptr;
    return parse_string(out);
}

const char* const kBuildNames[] = {"scheme", "host", "base_path", "path"};
args::Signature build_sig{"build_absolute_url", kBuildNames, 4, 4};

PyObject* py_build_absolute_url(PyObject*, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg[4];
    if (!args::parse(build_sig, argv, nargs, kwnames, arg)) return nullptr;
    return build_absolute_url(arg[0], arg[1], arg[2], arg[3]);
}

PyMethodDef module_functions[] = {
    {"build_absolute_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_build_absolute_url)),
     METH_FASTCALL | METH_KEYWORDS,
     "build_absolute_url(scheme, host, base_path, path) -> URL\n\n"
     "All bytes; base path and path are joined with exactly one slash."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- module ------------------------------------------------------------------

// Stores `value` (a new reference, may be null) in a state slot.
int store(PyObject*& slot, PyObject* value) {
    if (!value) return -1;
    Py_XSETREF(slot, value);
    return 0;
}

int exec(PyObject* module) {
    if (store(state.empty_bytes, PyBytes_FromStringAndSize(nullptr, 0)) < 0 ||
        store(state.http_bytes, PyBytes_FromStringAndSize("http", 4)) < 0 ||
        store(state.https_bytes, PyBytes_FromStringAndSize("https", 5)) < 0 ||
        store(state.invalid_url, PyErr_NewExceptionWithDoc("brindlewick.url.InvalidURL", "A URL that cannot be parsed.",
                                                           PyExc_ValueError, nullptr)) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "InvalidURL", state.invalid_url) < 0) return -1;
    PyObject* type = bw::type_from_spec(module, &url_spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(state.url_type, reinterpret_cast<PyTypeObject*>(type));
    if (PyModule_AddObjectRef(module, "URL", type) < 0) return -1;
    return capi::export_function(module, "build_absolute_url", &build_absolute_url, siblings::kBuildAbsoluteURLSig);
}

capi::PackageModule module_def{"brindlewick.url", "url", "URL values: parsing, derivation and absolute URL building.",
                               module_functions, exec};

}  // namespace
}  // namespace bw::url

PyMODINIT_FUNC PyInit_url(void) { return bw::url::module_def.init(); }
