#define BRINDLEWICK_CORE_BUILD
#include "brindlewick/args.hpp"

namespace bw::args {

bool raise_arg_type(const char* arg, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
                 expected, Py_TYPE(got)->tp_name);
    return false;
}

bool raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %.42s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return false;
}

bool raise_count(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    const char* qualifier;
    Py_ssize_t expected;
    if (given < min) {
        expected = min;
        qualifier = "at least";
    } else {
        expected = max;
        qualifier = "at most";
    }
    if (min == max) qualifier = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, qualifier,
                 expected, expected == 1 ? "" : "s", given);
    return false;
}

static bool intern_names(Signature& sig) {
    if (sig.interned) return true;
    auto** names = static_cast<PyObject**>(PyMem_Calloc(sig.count ? sig.count : 1, sizeof(PyObject*)));
    if (!names) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.count; i++) {
        names[i] = PyUnicode_InternFromString(sig.names[i]);
        if (!names[i]) {
            for (Py_ssize_t j = 0; j < i; j++) Py_DECREF(names[j]);
            PyMem_Free(names);
            return false;
        }
    }
    sig.interned = names;  // kept for the life of the process
    return true;
}

static Py_ssize_t find_keyword(const Signature& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.count; i++)
        if (sig.interned[i] == key) return i;
    for (Py_ssize_t i = 0; i < sig.count; i++) {
        int eq = PyUnicode_Compare(sig.interned[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

bool parse_slow(Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; i++) out[i] = nullptr;
    if (nargs > sig.count) return raise_count(sig.func, sig.required, sig.count, nargs);
    for (Py_ssize_t i = 0; i < nargs; i++) out[i] = args[i];
    if (kwnames) {
        if (!intern_names(sig)) return false;
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.func);
                return false;
            }
            Py_ssize_t index = find_keyword(sig, key);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", sig.func, key);
                return false;
            }
            if (out[index]) {
                PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", sig.func,
                             key);
                return false;
            }
            out[index] = args[nargs + k];
        }
    }
    for (Py_ssize_t i = 0; i < sig.required; i++)
        if (!out[i]) return raise_count(sig.func, sig.required, sig.count, nargs);
    return true;
}

}  // namespace bw::args
