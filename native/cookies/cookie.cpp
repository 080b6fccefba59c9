// Cookie: one HTTP cookie with its attributes, and the CookieSameSiteMode enum.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/compat.hpp"
#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "cookies.hpp"

namespace bw::cookies {

State state = {};

namespace {

// ---- attribute checks -------------------------------------------------------

// Whether a value is acceptable for a field, and how a failure is reported:
// constructor arguments name the parameter, assignments use the short form.
struct Reporter {
    const char* arg;  // null for an assignment
    bool fail(const char* expected, PyObject* got) const {
        return arg ? args::raise_arg_type(arg, expected, got) : args::raise_expected(expected, got);
    }
};

// Text fields hold exact `str` objects: a str subclass is copied into a plain
// str, so the fields can never take part in a reference cycle.
bool read_text(PyObject* in, bool none_ok, const Reporter& rep, Ref& out) {
    if (PyUnicode_CheckExact(in)) {
        out = Ref::borrow(in);
        return true;
    }
    if (in == Py_None && none_ok) {
        out = Ref::borrow(Py_None);
        return true;
    }
    if (!PyUnicode_Check(in)) return rep.fail("str", in);
    out = Ref::steal(PyUnicode_FromObject(in));
    return static_cast<bool>(out);
}

bool read_bool(PyObject* in, const Reporter& rep, bool& out) {
    if (!PyBool_Check(in)) return rep.fail("bool", in);
    out = in == Py_True;
    return true;
}

bool read_max_age(PyObject* in, const Reporter& rep, int64_t& out) {
    if (!PyLong_Check(in) || PyBool_Check(in)) return rep.fail("int", in);
    long long v = PyLong_AsLongLong(in);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < -1) {
        PyErr_Format(PyExc_ValueError,
                     "max_age must be -1 (not set) or a number of seconds >= 0, got %lld", v);
        return false;
    }
    out = v;
    return true;
}

bool read_same_site(PyObject* in, const Reporter& rep, int& out) {
    if (!PyObject_TypeCheck(in, reinterpret_cast<PyTypeObject*>(state.same_site_type)))
        return rep.fail("CookieSameSiteMode", in);
    long v = PyLong_AsLong(in);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v >= kSameSiteCount) {
        PyErr_Format(PyExc_ValueError, "unknown CookieSameSiteMode value %ld", v);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool read_expires(PyObject* in, const Reporter& rep) {
    if (in == Py_None || is_datetime(in)) return true;
    return rep.fail("datetime.datetime", in);
}

// The checked values of every field, applied together once all passed.
struct Fields {
    Ref name, value, expires, domain, path;
    int64_t max_age = -1;
    int same_site = kSameSiteUndefined;
    bool http_only = false;
    bool secure = false;
};

const char* const kParamNames[] = {"name",   "value",  "expires", "domain",   "path",
                                   "http_only", "secure", "max_age", "same_site"};
enum { kName, kValue, kExpires, kDomain, kPath, kHttpOnly, kSecure, kMaxAge, kSameSiteArg, kParamCount };
args::Signature init_sig{"Cookie", kParamNames, kParamCount, 2};

bool read_fields(PyObject* const* in, Fields& f) {
    if (!read_text(in[kName], false, {"name"}, f.name) || !check_name(f.name.get())) return false;
    if (!read_text(in[kValue], false, {"value"}, f.value)) return false;
    if (in[kExpires]) {
        if (!read_expires(in[kExpires], {"expires"})) return false;
        f.expires = Ref::borrow(in[kExpires]);
    } else {
        f.expires = Ref::borrow(Py_None);
    }
    if (in[kDomain]) {
        if (!read_text(in[kDomain], true, {"domain"}, f.domain) || !check_domain(f.domain.get())) return false;
    } else {
        f.domain = Ref::borrow(Py_None);
    }
    if (in[kPath]) {
        if (!read_text(in[kPath], true, {"path"}, f.path) || !check_path(f.path.get())) return false;
    } else {
        f.path = Ref::borrow(Py_None);
    }
    if (in[kHttpOnly] && !read_bool(in[kHttpOnly], {"http_only"}, f.http_only)) return false;
    if (in[kSecure] && !read_bool(in[kSecure], {"secure"}, f.secure)) return false;
    if (in[kMaxAge] && !read_max_age(in[kMaxAge], {"max_age"}, f.max_age)) return false;
    if (in[kSameSiteArg] && !read_same_site(in[kSameSiteArg], {"same_site"}, f.same_site)) return false;
    return true;
}

void commit(CookieObject* self, Fields& f) {
    assign_field_steal(self->name, f.name.release());
    assign_field_steal(self->value, f.value.release());
    assign_field_steal(self->expires, f.expires.release());
    assign_field_steal(self->domain, f.domain.release());
    assign_field_steal(self->path, f.path.release());
    self->max_age = f.max_age;
    self->same_site = f.same_site;
    self->http_only = f.http_only;
    self->secure = f.secure;
}

int init_from_vector(PyObject* op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* in[kParamCount];
    if (!args::parse(init_sig, args, nargs, kwnames, in)) return -1;
    Fields f;
    if (!read_fields(in, f)) return -1;
    commit(reinterpret_cast<CookieObject*>(op), f);
    return 0;
}

// ---- type slots -------------------------------------------------------------

void set_defaults(CookieObject* self) {
    self->name = Py_GetConstant(Py_CONSTANT_EMPTY_STR);
    self->value = Py_GetConstant(Py_CONSTANT_EMPTY_STR);
    self->expires = Py_NewRef(Py_None);
    self->domain = Py_NewRef(Py_None);
    self->path = Py_NewRef(Py_None);
    self->max_age = -1;
    self->same_site = kSameSiteUndefined;
    self->http_only = false;
    self->secure = false;
}

PyObject* cookie_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<CookieObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    set_defaults(self);
    return reinterpret_cast<PyObject*>(self);
}

int cookie_init(PyObject* op, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return init_from_vector(op, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    // Lay the call out the fast-call way: positional values, then keyword
    // values, with their names in a tuple.
    SmallArray<PyObject*, 12> stack;
    if (!stack.resize(static_cast<size_t>(nargs + nkw))) return -1;
    for (Py_ssize_t i = 0; i < nargs; i++) stack[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    if (!kwnames) return -1;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
        stack[static_cast<size_t>(nargs + k)] = value;
        k++;
    }
    return init_from_vector(op, stack.data(), nargs, kwnames.get());
}

// Calling the class itself: the exact type is built without an argument
// tuple; anything else takes the generic route through __new__/__init__.
PyObject* cookie_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    if (type != state.cookie_type) {
        Ref tuple = Ref::steal(PyTuple_New(nargs));
        if (!tuple) return nullptr;
        for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
        Ref dict;
        if (kwnames && PyTuple_GET_SIZE(kwnames)) {
            dict = Ref::steal(PyDict_New());
            if (!dict) return nullptr;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++)
                if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
        return PyType_Type.tp_call(callable, tuple.get(), dict.get());
    }
    Ref self = Ref::steal(cookie_new(type, nullptr, nullptr));
    if (!self || init_from_vector(self.get(), args, nargs, kwnames) < 0) return nullptr;
    return self.release();
}

// Only `expires` (a datetime, possibly of a subclass with a tzinfo of any
// kind) can lead back to the cookie, so it is all the collector visits; it
// is reset to None, so no field is ever left null for the getters.
// Deallocation releases every field.
using CollectedFields = ObjectFields<CookieObject, &CookieObject::expires>;
using OwnedFields = ObjectFields<CookieObject, &CookieObject::name, &CookieObject::value, &CookieObject::expires,
                                 &CookieObject::domain, &CookieObject::path>;

int cookie_clear(PyObject* op) {
    auto* self = reinterpret_cast<CookieObject*>(op);
    if (self->expires != Py_None) assign_field(self->expires, Py_None);
    return 0;
}

int optional_text_equal(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (a == Py_None || b == Py_None) return 0;
    return PyUnicode_Compare(a, b) == 0 ? 1 : (PyErr_Occurred() ? -1 : 0);
}

// Expiry dates are equal when they name the same instant; a naive datetime
// means UTC, as it does when the cookie is written.
// Both are owned by the caller: a tzinfo asked for the first offset may
// replace either cookie's expiry.
int expires_equal(PyObject* a, PyObject* b) {
    if (a == b) return 1;
    if (a == Py_None || b == Py_None) return 0;
    int64_t sa, sb;
    int ua, ub;
    if (!utc_instant(a, &sa, &ua) || !utc_instant(b, &sb, &ub)) return -1;
    return sa == sb && ua == ub;
}

int cookies_equal(CookieObject* a, CookieObject* b) {
    if (a->max_age != b->max_age || a->same_site != b->same_site || a->http_only != b->http_only ||
        a->secure != b->secure)
        return 0;
    int r = optional_text_equal(a->name, b->name);
    if (r == 1) r = optional_text_equal(a->value, b->value);
    if (r == 1) r = optional_text_equal(a->domain, b->domain);
    if (r == 1) r = optional_text_equal(a->path, b->path);
    if (r == 1) {
        Ref ea = Ref::borrow(a->expires), eb = Ref::borrow(b->expires);
        r = expires_equal(ea.get(), eb.get());
    }
    return r;
}

PyObject* cookie_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, state.cookie_type)) Py_RETURN_NOTIMPLEMENTED;
    int eq = cookies_equal(reinterpret_cast<CookieObject*>(a), reinterpret_cast<CookieObject*>(b));
    if (eq < 0) return nullptr;
    return bool_ref((op == Py_EQ) == (eq == 1));
}

PyObject* cookie_repr(PyObject* op) {
    auto* self = reinterpret_cast<CookieObject*>(op);
    Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(op)));
    if (!qualname) return nullptr;
    // The expiry's repr is Python code (a datetime subclass, a tzinfo) that
    // may replace the fields formatted after it: format a snapshot.
    Ref name = Ref::borrow(self->name), value = Ref::borrow(self->value), expires = Ref::borrow(self->expires),
        domain = Ref::borrow(self->domain), path = Ref::borrow(self->path);
    bool http_only = self->http_only, secure = self->secure;
    long long max_age = self->max_age;
    PyObject* same_site = state.same_site_members[self->same_site];
    return PyUnicode_FromFormat(
        "%U(name=%R, value=%R, expires=%R, domain=%R, path=%R, http_only=%s, secure=%s, max_age=%lld, "
        "same_site=%R)",
        qualname.get(), name.get(), value.get(), expires.get(), domain.get(), path.get(), http_only ? "True" : "False",
        secure ? "True" : "False", max_age, same_site);
}

PyObject* cookie_reduce(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<CookieObject*>(op);
    Ref max_age = Ref::steal(PyLong_FromLongLong(self->max_age));
    if (!max_age) return nullptr;
    Ref init = Ref::steal(PyTuple_Pack(9, self->name, self->value, self->expires, self->domain, self->path,
                                       self->http_only ? Py_True : Py_False, self->secure ? Py_True : Py_False,
                                       max_age.get(), state.same_site_members[self->same_site]));
    if (!init) return nullptr;
    // Attributes that a Python subclass keeps in its instance dict travel too.
    PyObject* dict = nullptr;
    if (PyObject_GetOptionalAttrString(op, "__dict__", &dict) < 0) return nullptr;
    Ref held = Ref::steal(dict);
    if (dict && PyDict_Check(dict) && PyDict_GET_SIZE(dict) > 0)
        return PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(op)), init.get(), dict);
    return PyTuple_Pack(2, reinterpret_cast<PyObject*>(Py_TYPE(op)), init.get());
}

PyMethodDef cookie_methods[] = {
    {"__reduce__", cookie_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- attributes ---------------------------------------------------------------

enum Field { fName, fValue, fExpires, fDomain, fPath, fHttpOnly, fSecure, fMaxAge, fSameSite };

#define BW_FIELD_CLOSURE(f) reinterpret_cast<void*>(static_cast<intptr_t>(f))

PyObject* get_field(PyObject* op, void* closure) {
    auto* self = reinterpret_cast<CookieObject*>(op);
    switch (static_cast<Field>(reinterpret_cast<intptr_t>(closure))) {
        case fName: return Py_NewRef(self->name);
        case fValue: return Py_NewRef(self->value);
        case fExpires: return Py_NewRef(self->expires);
        case fDomain: return Py_NewRef(self->domain);
        case fPath: return Py_NewRef(self->path);
        case fHttpOnly: return bool_ref(self->http_only);
        case fSecure: return bool_ref(self->secure);
        case fMaxAge: return PyLong_FromLongLong(self->max_age);
        case fSameSite: return Py_NewRef(state.same_site_members[self->same_site]);
    }
    Py_UNREACHABLE();
}

int set_field(PyObject* op, PyObject* value, void* closure) {
    auto* self = reinterpret_cast<CookieObject*>(op);
    auto field = static_cast<Field>(reinterpret_cast<intptr_t>(closure));
    if (!value) {
        PyErr_Format(PyExc_AttributeError, "cannot delete Cookie attribute '%s'", kParamNames[field]);
        return -1;
    }
    const Reporter rep{nullptr};
    Ref text;
    switch (field) {
        case fName:
            if (!read_text(value, false, rep, text) || !check_name(text.get())) return -1;
            assign_field_steal(self->name, text.release());
            return 0;
        case fValue:
            if (!read_text(value, false, rep, text)) return -1;
            assign_field_steal(self->value, text.release());
            return 0;
        case fExpires:
            if (!read_expires(value, rep)) return -1;
            assign_field(self->expires, value);
            return 0;
        case fDomain:
            if (!read_text(value, true, rep, text) || !check_domain(text.get())) return -1;
            assign_field_steal(self->domain, text.release());
            return 0;
        case fPath:
            if (!read_text(value, true, rep, text) || !check_path(text.get())) return -1;
            assign_field_steal(self->path, text.release());
            return 0;
        case fHttpOnly: return read_bool(value, rep, self->http_only) ? 0 : -1;
        case fSecure: return read_bool(value, rep, self->secure) ? 0 : -1;
        case fMaxAge: return read_max_age(value, rep, self->max_age) ? 0 : -1;
        case fSameSite: return read_same_site(value, rep, self->same_site) ? 0 : -1;
    }
    Py_UNREACHABLE();
}

PyGetSetDef cookie_getset[] = {
    {"name", get_field, set_field, "Cookie name (str, not empty).", BW_FIELD_CLOSURE(fName)},
    {"value", get_field, set_field, "Cookie value (str).", BW_FIELD_CLOSURE(fValue)},
    {"expires", get_field, set_field, "Expiry date (datetime or None; naive means UTC).", BW_FIELD_CLOSURE(fExpires)},
    {"domain", get_field, set_field, "Domain attribute (str or None).", BW_FIELD_CLOSURE(fDomain)},
    {"path", get_field, set_field, "Path attribute (str or None).", BW_FIELD_CLOSURE(fPath)},
    {"http_only", get_field, set_field, "HttpOnly flag.", BW_FIELD_CLOSURE(fHttpOnly)},
    {"secure", get_field, set_field, "Secure flag.", BW_FIELD_CLOSURE(fSecure)},
    {"max_age", get_field, set_field, "Max-Age in seconds; -1 when not set.", BW_FIELD_CLOSURE(fMaxAge)},
    {"same_site", get_field, set_field, "SameSite mode (CookieSameSiteMode).", BW_FIELD_CLOSURE(fSameSite)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cookie_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cookie_new)},
    {Py_tp_init, reinterpret_cast<void*>(cookie_init)},
    {BW_tp_vectorcall, reinterpret_cast<void*>(cookie_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(OwnedFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(CollectedFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(cookie_clear)},
    {Py_tp_richcompare, reinterpret_cast<void*>(cookie_richcompare)},
    {Py_tp_repr, reinterpret_cast<void*>(cookie_repr)},
    {Py_tp_methods, cookie_methods},
    {Py_tp_getset, cookie_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Cookie(name: str, value: str, expires: datetime = None, domain: str = None, path: str = None, "
                    "http_only: bool = False, secure: bool = False, max_age: int = -1, "
                    "same_site: CookieSameSiteMode = CookieSameSiteMode.UNDEFINED)\n\n"
                    "One HTTP cookie and its attributes.")},
    {0, nullptr},
};

PyType_Spec cookie_spec = {
    "brindlewick.cookies.Cookie",
    sizeof(CookieObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    cookie_slots,
};

const char* const kSameSiteNames[kSameSiteCount] = {"UNDEFINED", "LAX", "STRICT", "NONE"};

// CookieSameSiteMode is an IntEnum made by the enum module itself, so it
// behaves like every other enum (iteration, lookup by name and value, pickling).
int init_same_site(PyObject* module) {
    Ref enum_module = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_module) return -1;
    Ref int_enum = Ref::steal(PyObject_GetAttrString(enum_module.get(), "IntEnum"));
    if (!int_enum) return -1;
    Ref members = Ref::steal(PyList_New(kSameSiteCount));
    if (!members) return -1;
    for (int i = 0; i < kSameSiteCount; i++) {
        PyObject* pair = Py_BuildValue("(si)", kSameSiteNames[i], i);
        if (!pair) return -1;
        PyList_SET_ITEM(members.get(), i, pair);
    }
    Ref call_args = Ref::steal(Py_BuildValue("(sO)", "CookieSameSiteMode", members.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{ss}", "module", "brindlewick.cookies"));
    if (!call_args || !kwargs) return -1;
    Ref cls = Ref::steal(PyObject_Call(int_enum.get(), call_args.get(), kwargs.get()));
    if (!cls) return -1;
    Ref doc = Ref::steal(PyUnicode_FromString("SameSite attribute of a cookie; UNDEFINED writes none."));
    if (!doc || PyObject_SetAttrString(cls.get(), "__doc__", doc.get()) < 0) return -1;
    for (int i = 0; i < kSameSiteCount; i++) {
        PyObject* member = PyObject_GetAttrString(cls.get(), kSameSiteNames[i]);
        if (!member) return -1;
        Py_XSETREF(state.same_site_members[i], member);
    }
    Py_XSETREF(state.same_site_type, cls.newref());
    return PyModule_AddObjectRef(module, "CookieSameSiteMode", cls.get());
}

}  // namespace

CookieObject* new_cookie(PyObject* name, PyObject* value) {
    auto* self = reinterpret_cast<CookieObject*>(cookie_new(state.cookie_type, nullptr, nullptr));
    if (!self) return nullptr;
    assign_field(self->name, name);
    assign_field(self->value, value);
    return self;
}

int init_cookie_type(PyObject* module) {
    if (init_same_site(module) < 0) return -1;
    PyObject* type = bw::type_from_spec(module, &cookie_spec, nullptr);
    if (!type) return -1;
    Py_XSETREF(state.cookie_type, reinterpret_cast<PyTypeObject*>(type));
    return PyModule_AddObjectRef(module, "Cookie", type);
}

}  // namespace bw::cookies
