// Awaitables and async iterators for values that are already at hand.
//
// A body held in memory needs no suspension: `read()` hands out an awaitable
// that completes on its first step, and `stream()` an async iterator that
// yields the body once.  Both avoid a coroutine frame, and the awaitable
// implements am_send so that `await` completes without raising StopIteration.
#include <Python.h>

#include "brindlewick/gc_fields.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

namespace {

struct ReadyObject {
    PyObject_HEAD
    PyObject* value;
};

struct OnceObject {
    PyObject_HEAD
    PyObject* value;  // null once yielded
};

void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    // An instance, so that a tuple or an exception value is not unpacked.
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value));
    if (exc) PyErr_SetObject(PyExc_StopIteration, exc.get());
}

// A ready awaitable and a one-value iterator have the same layout.
using HolderFields = ObjectFields<ReadyObject, &ReadyObject::value>;

PyObject* self_ref(PyObject* op) { return Py_NewRef(op); }

PyObject* ready_next(PyObject* op) {
    PyObject* v = reinterpret_cast<ReadyObject*>(op)->value;
    set_stop_iteration(v ? v : Py_None);
    return nullptr;
}

PySendResult ready_send(PyObject* op, PyObject*, PyObject** result) {
    PyObject* v = reinterpret_cast<ReadyObject*>(op)->value;
    *result = Py_NewRef(v ? v : Py_None);
    return PYGEN_RETURN;
}

PyObject* ready_send_method(PyObject* op, PyObject*) { return ready_next(op); }

PyObject* ready_throw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw() takes 1 to 3 arguments");
        return nullptr;
    }
    PyObject* typ = args[0];
    if (PyExceptionInstance_Check(typ)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else if (PyExceptionClass_Check(typ)) {
        PyObject* value = nargs > 1 ? args[1] : Py_None;
        Ref exc = Ref::steal(value == Py_None ? PyObject_CallNoArgs(typ) : PyObject_CallOneArg(typ, value));
        if (exc) PyErr_SetObject(typ, exc.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    return nullptr;
}

PyObject* ready_close(PyObject*, PyObject*) { Py_RETURN_NONE; }

PyMethodDef ready_methods[] = {
    {"send", ready_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(ready_throw)), METH_FASTCALL, nullptr},
    {"close", ready_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ready_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(HolderFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(HolderFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(HolderFields::clear)},
    {Py_tp_iter, reinterpret_cast<void*>(self_ref)},
    {Py_tp_iternext, reinterpret_cast<void*>(ready_next)},
    {Py_am_await, reinterpret_cast<void*>(self_ref)},
    {Py_am_send, reinterpret_cast<void*>(ready_send)},
    {Py_tp_methods, ready_methods},
    {Py_tp_doc, const_cast<char*>("An awaitable whose result is already known.")},
    {0, nullptr},
};

PyType_Spec ready_spec = {
    "brindlewick.contents._Ready",
    sizeof(ReadyObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    ready_slots,
};

PyObject* once_anext(PyObject* op) {
    auto* self = reinterpret_cast<OnceObject*>(op);
    if (!self->value) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return nullptr;
    }
    Ref value = Ref::steal(self->value);
    self->value = nullptr;
    return ready(value.get());
}

PyObject* once_aclose(PyObject* op, PyObject*) {
    Py_CLEAR(reinterpret_cast<OnceObject*>(op)->value);
    return ready(Py_None);
}

PyMethodDef once_methods[] = {
    {"aclose", once_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot once_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(HolderFields::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(HolderFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(HolderFields::clear)},
    {Py_am_aiter, reinterpret_cast<void*>(self_ref)},
    {Py_am_anext, reinterpret_cast<void*>(once_anext)},
    {Py_tp_methods, once_methods},
    {Py_tp_doc, const_cast<char*>("An async iterator over one value held in memory.")},
    {0, nullptr},
};

PyType_Spec once_spec = {
    "brindlewick.contents._Once",
    sizeof(OnceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    once_slots,
};

PyObject* new_holder(PyTypeObject* type, PyObject* value) {
    auto* self = PyObject_GC_New(ReadyObject, type);
    if (!self) return nullptr;
    self->value = Py_XNewRef(value);
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace

PyObject* ready(PyObject* value) { return new_holder(state.ready_type, value); }

PyObject* yield_once(PyObject* value) { return new_holder(state.once_type, value == Py_None ? nullptr : value); }

int init_aio_types(PyObject* module) {
    PyObject* t = PyType_FromModuleAndSpec(module, &ready_spec, nullptr);
    if (!t) return -1;
    Py_XSETREF(state.ready_type, reinterpret_cast<PyTypeObject*>(t));
    t = PyType_FromModuleAndSpec(module, &once_spec, nullptr);
    if (!t) return -1;
    Py_XSETREF(state.once_type, reinterpret_cast<PyTypeObject*>(t));
    return 0;
}

}  // namespace bw::contents
