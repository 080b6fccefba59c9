// Interpreter APIs that are private, unstable or spelled differently across
// the supported CPython versions, each behind one spelling of ours with the
// reason it is needed.  Every wrapper here was checked on CPython 3.14.x (the
// toolchain's) and 3.13.0; a new interpreter version is checked here first.
//
// Heap types from a PyType_Spec: CPython 3.14 takes a type's own vectorcall
// (what calling the class runs) as the slot Py_tp_vectorcall; older
// interpreters have no such slot.  Slot tables name it BW_tp_vectorcall and
// types are created through bw::type_from_spec, which on older interpreters
// leaves the slot out of the PyType_Spec and stores the function in
// tp_vectorcall afterwards, exactly what the slot does (neither is inherited
// by subclasses).
#pragma once

#include <Python.h>

#include "brindlewick/api.hpp"

#if PY_VERSION_HEX >= 0x030E0000
#define BW_tp_vectorcall Py_tp_vectorcall
#else
#define BW_tp_vectorcall 0x7F00
#endif

namespace bw {

// PyType_FromModuleAndSpec(module, spec, bases) with BW_tp_vectorcall
// honoured; a new reference or null with an error set.
BW_CORE_API PyObject* type_from_spec(PyObject* module, PyType_Spec* spec, PyObject* bases) noexcept;

// sep.join(iterable) for bytes.  3.14 made it public as PyBytes_Join; 3.13
// has only the private _PyBytes_Join, same behaviour.
inline PyObject* bytes_join(PyObject* sep, PyObject* iterable) noexcept {
#if PY_VERSION_HEX >= 0x030E0000
    return PyBytes_Join(sep, iterable);
#else
    return _PyBytes_Join(sep, iterable);
#endif
}

// ---- the thread's stack of handled exceptions --------------------------------
//
// What `sys.exception()` returns and what a new exception gets as __context__
// is read from a stack of items that the interpreter keeps per thread; each
// running generator or coroutine frame pushes its own item, so an `except`
// block inside a suspended coroutine stays out of its caller's sight.  Native
// coroutines do the same with an item of the same type.  Neither the item
// type (_PyErr_StackItem) nor the thread's pointer to the top
// (PyThreadState.exc_info) has a public API; both are in the non-limited
// cpython/pystate.h with the same layout on 3.13 and 3.14.
using ExcStackItem = _PyErr_StackItem;

// Pushes `item` on the thread's stack; pop_exc_item undoes it.
inline void push_exc_item(PyThreadState* ts, ExcStackItem* item) noexcept {
    item->previous_item = ts->exc_info;
    ts->exc_info = item;
}
inline void pop_exc_item(PyThreadState* ts, ExcStackItem* item) noexcept {
    ts->exc_info = item->previous_item;
    item->previous_item = nullptr;
}
// The top item's exception slot (owned reference or null): the exception
// being handled by the innermost running frame.
inline PyObject*& top_handled_exception(PyThreadState* ts) noexcept { return ts->exc_info->exc_value; }

// ---- per-thread coroutine settings ---------------------------------------------
//
// The first-iteration hook of sys.set_asyncgen_hooks() and the depth of
// sys.set_coroutine_origin_tracking_depth() are read on every async
// generator's first step and every coroutine's creation; the sys functions
// would cost a call and a tuple each time, and there is no other C API for
// them.  Fields of PyThreadState, same on 3.13 and 3.14.

// New reference to the firstiter hook, or null when none is set (no error).
inline PyObject* async_gen_firstiter_hook() noexcept { return Py_XNewRef(PyThreadState_Get()->async_gen_firstiter); }
// How many frames a new coroutine records as its cr_origin (0: none).
inline int coroutine_origin_tracking_depth() noexcept { return PyThreadState_Get()->coroutine_origin_tracking_depth; }

// ---- types and instances -----------------------------------------------------------

// The version tag of a type (0 when it has none), assigning one when needed.
// The tag changes whenever the type or a base is modified; caches keyed by it
// see monkey-patching at once.  tp_version_tag is documented as internal and
// the assignment is PyUnstable_ (3.12+), the same on 3.13 and 3.14.
inline unsigned int type_version(PyTypeObject* type) noexcept { return type->tp_version_tag; }
inline unsigned int assign_type_version(PyTypeObject* type) noexcept {
    if (type->tp_version_tag == 0) PyUnstable_Type_AssignVersionTag(type);
    return type->tp_version_tag;
}

// Address of an instance's __dict__ slot when its type has one at a fixed
// offset (null otherwise, e.g. for managed dicts): the only way to look at
// an instance dict without creating it.  _PyObject_GetDictPtr is private;
// same behaviour on 3.13 and 3.14.
inline PyObject** instance_dict_slot(PyObject* obj) noexcept { return _PyObject_GetDictPtr(obj); }

}  // namespace bw
