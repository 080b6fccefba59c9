// Cookies of Response: every cookie is one `set-cookie` entry of the raw
// header list, written by the cookies module's write_cookie_for_response and
// read back with its parse_cookie.  set_cookie and get_cookies are reached
// through the override table, so a subclass that replaces them is what
// set_cookies, unset_cookie and the `cookies` property call.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"
#include "response_core.hpp"
#include "errors.hpp"

namespace bw::messages {

namespace {

bool raise_not_a_cookie(PyObject* item) {
    PyErr_Format(PyExc_TypeError, "%.1sCannot convert %.200s to %.200s", "", Py_TYPE(item)->tp_name, "Cookie");
    return false;
}

bool is_cookie_or_none(PyObject* obj) { return obj == Py_None || PyObject_TypeCheck(obj, state.Cookie); }

// cookie.name == name, the way Python's `if cookie.name == name:` reads it.
int cookie_name_equals(PyObject* cookie, PyObject* name) {
    Ref cookie_name = Ref::steal(PyObject_GetAttr(cookie, state.str_name));
    if (!cookie_name) return -1;
    Ref eq = Ref::steal(PyObject_RichCompare(cookie_name.get(), name, Py_EQ));
    if (!eq) return -1;
    return PyObject_IsTrue(eq.get());
}

// parse_cookie(value) for a value that must be bytes or None.
PyObject* parse_header_value(PyObject* value) {
    if (!PyBytes_Check(value) && value != Py_None) return args::raise_expected("bytes", value), nullptr;
    return state.parse_cookie(value);
}

// The values of the response's set-cookie entries (override-aware).
PyObject* set_cookie_values(ResponseObject* self) {
    return self->vtab->get_headers(self, state.set_cookie_name, 0);
}

int set_cookie_by_dispatch(ResponseObject* self, PyObject* cookie) { return response_set_cookie(self, cookie, 0); }

}  // namespace

int response_set_cookie(ResponseObject* self, PyObject* cookie, int skip_dispatch) {
    if (!skip_dispatch && response_overrides.overridden(as_object(self), kSetCookie)) {
        Ref r = Ref::steal(call_response_override(self, kSetCookie, &cookie, 1));
        return r ? 0 : -1;
    }
    if (self->_raw_headers == Py_None) return errors::none_has_no("append");
    Ref value = Ref::steal(state.write_cookie_for_response(cookie));
    if (!value) return -1;
    Ref entry = Ref::steal(PyTuple_Pack(2, state.set_cookie_name, value.get()));
    if (!entry) return -1;
    // The writer may have run Python code (a str subclass's methods): read
    // the field again.
    PyObject* raw = self->_raw_headers;
    if (raw == Py_None) return errors::none_has_no("append");
    return PyList_Append(raw, entry.get());
}

PyObject* response_get_cookies(ResponseObject* self, int skip_dispatch) {
    if (!skip_dispatch && response_overrides.overridden(as_object(self), kGetCookies))
        return call_response_override(self, kGetCookies, nullptr, 0);
    Ref values = Ref::steal(set_cookie_values(self));
    if (!values) return nullptr;
    Ref result = Ref::steal(PyDict_New());
    if (!result) return nullptr;
    // The list is ours (or an override's result we hold): re-read its size
    // on every turn all the same, since parsing may run Python code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); i++) {
        Ref value = Ref::borrow(PyList_GET_ITEM(values.get(), i));
        Ref cookie = Ref::steal(parse_header_value(value.get()));
        if (!cookie) return nullptr;
        Ref name = Ref::steal(PyObject_GetAttr(cookie.get(), state.str_name));
        if (!name) return nullptr;
        if (PyDict_SetItem(result.get(), name.get(), cookie.get()) < 0) return nullptr;
    }
    return result.release();
}

PyObject* response_get_cookies_property(PyObject* self, void*) { return response_get_cookies(as_response(self), 0); }

namespace {

// ---- Python-visible methods ------------------------------------------------------

const char* const kCookie[] = {"cookie"};
const char* const kCookies[] = {"cookies"};
const char* const kName[] = {"name"};

PyObject* py_set_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static args::Signature sig{"set_cookie", kCookie, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!is_cookie_or_none(a[0])) return args::raise_arg_type("cookie", "Cookie", a[0]), nullptr;
    if (response_set_cookie(as_response(self), a[0], 1) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_set_cookies(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static args::Signature sig{"set_cookies", kCookies, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    PyObject* cookies = a[0];
    if (!args::exact(cookies, &PyList_Type, "cookies")) return nullptr;
    if (cookies == Py_None) {
        errors::none_not_iterable();
        return nullptr;
    }
    // set_cookie may be a Python override that changes the list: hold each
    // item and re-read the size on every turn, as a `for` loop does.
    Ref list = Ref::borrow(cookies);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); i++) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        if (!is_cookie_or_none(item.get())) return raise_not_a_cookie(item.get()), nullptr;
        if (set_cookie_by_dispatch(as_response(self), item.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* py_unset_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static args::Signature sig{"unset_cookie", kName, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::exact(a[0], &PyUnicode_Type, "name")) return nullptr;
    Ref now = Ref::steal(PyObject_CallNoArgs(state.utcnow));
    if (!now) return nullptr;
    Ref expires = Ref::steal(PyNumber_Subtract(now.get(), state.timedelta_year));
    if (!expires) return nullptr;
    PyObject* cookie_args[] = {a[0], state.empty_str, expires.get()};
    Ref cookie = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(state.Cookie), cookie_args, 3, nullptr));
    if (!cookie) return nullptr;
    if (set_cookie_by_dispatch(as_response(self), cookie.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_remove_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static args::Signature sig{"remove_cookie", kName, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::instance(a[0], &PyUnicode_Type, "name")) return nullptr;
    ResponseObject* response = as_response(self);
    Ref entries = Ref::steal(response->vtab->get_headers_tuples(response, state.set_cookie_name));
    if (!entries) return nullptr;
    Ref to_remove = Ref::steal(PyList_New(0));
    if (!to_remove) return nullptr;
    // Everything is parsed before anything is removed: a bad entry leaves
    // the header list as it was.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); i++) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(entries.get(), i));
        if (entry.get() == Py_None) {
            errors::none_not_subscriptable();
            return nullptr;
        }
        if (!PyTuple_Check(entry.get())) return args::raise_expected("tuple", entry.get()), nullptr;
        if (PyTuple_GET_SIZE(entry.get()) < 2) {
            errors::tuple_index_out_of_range();
            return nullptr;
        }
        Ref cookie = Ref::steal(parse_header_value(PyTuple_GET_ITEM(entry.get(), 1)));
        if (!cookie) return nullptr;
        int eq = cookie_name_equals(cookie.get(), a[0]);
        if (eq < 0) return nullptr;
        if (eq && PyList_Append(to_remove.get(), entry.get()) < 0) return nullptr;
    }
    if (PyList_GET_SIZE(to_remove.get()) == 0) Py_RETURN_NONE;
    if (response->vtab->remove_headers(response, to_remove.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_get_cookie(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static args::Signature sig{"get_cookie", kName, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::instance(a[0], &PyUnicode_Type, "name")) return nullptr;
    Ref values = Ref::steal(set_cookie_values(as_response(self)));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); i++) {
        Ref value = Ref::borrow(PyList_GET_ITEM(values.get(), i));
        Ref cookie = Ref::steal(parse_header_value(value.get()));
        if (!cookie) return nullptr;
        int eq = cookie_name_equals(cookie.get(), a[0]);
        if (eq < 0) return nullptr;
        if (eq) return cookie.release();
    }
    Py_RETURN_NONE;
}

PyObject* py_get_cookies(PyObject* self, PyObject*) { return response_get_cookies(as_response(self), 1); }

}  // namespace

PyMethodDef response_cookie_methods[] = {
    {"set_cookie", BW_METH_FASTCALL_KW(py_set_cookie),
     "set_cookie(cookie: Cookie) -> None: appends a set-cookie header written from the cookie."},
    {"set_cookies", BW_METH_FASTCALL_KW(py_set_cookies),
     "set_cookies(cookies: list[Cookie]) -> None: self.set_cookie(c) for each cookie, in order."},
    {"unset_cookie", BW_METH_FASTCALL_KW(py_unset_cookie),
     "unset_cookie(name: str) -> None: sets an empty cookie that expired a year ago, telling the client to drop it."},
    {"remove_cookie", BW_METH_FASTCALL_KW(py_remove_cookie),
     "remove_cookie(name: str) -> None: removes every set-cookie header of that cookie."},
    {"get_cookie", BW_METH_FASTCALL_KW(py_get_cookie),
     "get_cookie(name: str) -> Cookie | None: the first cookie of that name, parsed from its header."},
    {"get_cookies", py_get_cookies, METH_NOARGS,
     "get_cookies() -> dict[str, Cookie]: every cookie set, by name; the last header of a name wins."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::messages
