// Garbage-collector slots of heap types whose Python references are plain
// pointer members, generated from the list of those members:
//
//   using PartFields = bw::ObjectFields<FormPartObject, &FormPartObject::name, &FormPartObject::data>;
//   {Py_tp_traverse, reinterpret_cast<void*>(PartFields::traverse)},
//   {Py_tp_clear, reinterpret_cast<void*>(PartFields::clear)},
//   {Py_tp_dealloc, reinterpret_cast<void*>(PartFields::dealloc)},
//
// `traverse` visits the object's type (a heap type's instances own a
// reference to it), then each field; `clear` clears the fields in the order
// listed; `dealloc` untracks the object, clears the fields, frees the object
// and releases its type.  Fields may be null, and may be members of a base
// struct of T.  WeakRefObjectFields<T, &T::weakreflist, fields...> is the
// same for a type with a weak-reference list, which `dealloc` clears first.
// Both take members of a base struct of T, so a native subtype lists its
// base's fields followed by its own (see MessageFieldsOf in the messages
// module).
// Header-only: nothing here needs the core library.
#pragma once

#include <Python.h>

namespace bw {

template <class T, auto... Fields>
struct ObjectFields {
    static int traverse(PyObject* op, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(op));
        T* self = reinterpret_cast<T*>(op);
        int result = 0;
        (void)(((result = visit_field(self->*Fields, visit, arg)) == 0) && ...);
        return result;
    }

    static int clear(PyObject* op) {
        T* self = reinterpret_cast<T*>(op);
        (clear_field(self->*Fields), ...);
        return 0;
    }

    static void dealloc(PyObject* op) {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        clear(op);
        type->tp_free(op);
        Py_DECREF(type);
    }

  private:
    template <class P>
    static int visit_field(P* field, visitproc visit, void* arg) {
        Py_VISIT(field);
        return 0;
    }

    template <class P>
    static void clear_field(P*& field) {
        Py_CLEAR(field);
    }
};

template <class T, auto WeakList, auto... Fields>
struct WeakRefObjectFields : ObjectFields<T, Fields...> {
    static void dealloc(PyObject* op) {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        if (reinterpret_cast<T*>(op)->*WeakList) PyObject_ClearWeakRefs(op);
        ObjectFields<T, Fields...>::clear(op);
        type->tp_free(op);
        Py_DECREF(type);
    }
};

// Same as WeakRefObjectFields, except that `clear` (the collector's
// tp_clear) stores None instead of null: for types whose getters and
// native callers read every field as an object, so an instance that a
// finalizer or a weak-reference callback still reaches after the collector
// broke its cycle keeps working.  `dealloc` releases the fields as usual.
template <class T, auto WeakList, auto... Fields>
struct NoneClearingFields : WeakRefObjectFields<T, WeakList, Fields...> {
    static int clear(PyObject* op) {
        T* self = reinterpret_cast<T*>(op);
        (store_none(self->*Fields), ...);
        return 0;
    }

  private:
    template <class P>
    static void store_none(P*& field) {
        PyObject* old = reinterpret_cast<PyObject*>(field);
        field = reinterpret_cast<P*>(Py_NewRef(Py_None));
        Py_XDECREF(old);
    }
};

}  // namespace bw
