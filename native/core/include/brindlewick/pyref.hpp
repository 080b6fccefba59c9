// Small RAII layer for CPython references.
//
// `Ref` owns one strong reference (or none).  Borrowed references stay raw
// `PyObject*`; turning one into an owned reference is spelled `Ref::borrow`.
#pragma once

#include <Python.h>
#include <utility>

namespace bw {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be null, e.g. straight from a failed call).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Adds a reference to a borrowed pointer (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for the caller, keeping ours.
    PyObject* newref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

// Stores a new reference to `value` (borrowed, may be null) in an object
// field, releasing the old one only after the store so that a destructor run
// by the release never sees a dangling field.
inline void assign_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    Py_XINCREF(value);
    field = value;
    Py_XDECREF(old);
}

// Same, taking over a reference that the caller owns.
inline void assign_field_steal(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    field = value;
    Py_XDECREF(old);
}

// Sets the pending exception (if any) aside for a clean-up step that runs
// while it propagates, such as recycling a request after a failure, and
// puts it back when the scope ends.  A clean-up that fails itself is
// reported with `unraisable(where)`: written to sys.unraisablehook and
// cleared, so the exception the caller sees is always the original one.
// The one way the package sets an error aside; never chained, never lost.
class PendingError {
public:
    PendingError() noexcept : saved_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(saved_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;

    // Reports the clean-up's own failure, now set, against `where`.
    static void unraisable(PyObject* where) noexcept { PyErr_WriteUnraisable(where); }

private:
    PyObject* saved_;  // owned; handed back to the thread state at the end
};

inline PyObject* none_ref() noexcept { Py_RETURN_NONE; }

inline PyObject* bool_ref(bool v) noexcept {
    if (v) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

}  // namespace bw
