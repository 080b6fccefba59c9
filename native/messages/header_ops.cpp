// Header collection of Message: case-insensitive lookups and edits of the
// raw header list, a list of (name, value) byte tuples in wire order.
//
// Lookup keys are lowered and interned through the core library, so a name
// that came from the same table matches on identity; otherwise names are
// compared case-insensitively in place, without building lowered copies.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/header_check.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/fast_parse.h"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"
#include "errors.hpp"

namespace bw::messages {

namespace {

// The normalised lookup key K = intern(key.lower()).
class HeaderKey {
public:
    bool init(PyObject* key) {
        if (key == Py_None) return errors::none_not_bytes_for_lower(), false;
        Ref lowered_obj;
        PyObject* source = key;
        if (!PyBytes_Check(key)) {
            // Any object with a lower() giving bytes will do.
            lowered_obj = Ref::steal(PyObject_CallMethodNoArgs(key, state.str_lower));
            if (!lowered_obj) return false;
            if (!PyBytes_CheckExact(lowered_obj.get())) return args::raise_expected("bytes", lowered_obj.get());
            source = lowered_obj.get();
        }
        length_ = PyBytes_GET_SIZE(source);
        const auto* src = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(source));
        if (length_ <= static_cast<Py_ssize_t>(sizeof small_)) {
            for (Py_ssize_t i = 0; i < length_; i++) small_[i] = static_cast<char>(ascii_lower(src[i]));
            data_ = small_;
        } else {
            owned_ = Ref::steal(PyBytes_FromStringAndSize(nullptr, length_));
            if (!owned_) return false;
            char* dst = PyBytes_AS_STRING(owned_.get());
            for (Py_ssize_t i = 0; i < length_; i++) dst[i] = static_cast<char>(ascii_lower(src[i]));
            data_ = dst;
        }
        interned_ = get_interned_header_name_bytes(data_, length_);
        return true;
    }

    // Match rule for a name that is exactly bytes: identity with K, else
    // name.lower() == K, compared in place.
    inline bool matches_bytes(PyObject* name) const {
        if (name == interned_) return true;
        if (PyBytes_GET_SIZE(name) != length_) return false;
        const auto* n = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(name));
        for (Py_ssize_t i = 0; i < length_; i++)
            if (ascii_lower(n[i]) != static_cast<unsigned char>(data_[i])) return false;
        return true;
    }

    // Any other name: its own lower(), compared with K by ==.
    int matches_other(PyObject* name) {
        Ref lowered = Ref::steal(PyObject_CallMethodNoArgs(name, state.str_lower));
        if (!lowered) return -1;
        PyObject* k = object();
        if (!k) return -1;
        return PyObject_RichCompareBool(lowered.get(), k, Py_EQ);
    }

    // K as a bytes object (borrowed, kept alive by this key).
    PyObject* object() {
        if (interned_) return interned_;
        if (!owned_) owned_ = Ref::steal(PyBytes_FromStringAndSize(data_, length_));
        return owned_.get();
    }

private:
    char small_[BRINDLEWICK_MAX_INTERNED_HEADER_NAME];
    const char* data_ = nullptr;
    Py_ssize_t length_ = 0;
    PyObject* interned_ = nullptr;
    Ref owned_;
};

// The header list of a message, walked by index.  An entry whose name is
// exactly bytes is matched without running Python code, so the usual list is
// walked borrowed, with no reference counting per entry.  Before the first
// call that can run Python code (a name's lower(), its __eq__, an entry's
// __iter__) the walk takes its own reference to the list, and afterwards it
// re-reads the size every turn (the code may have shrunk the list) and checks
// that the list is still the message's: a lookup answered from a list the
// message no longer has would be a wrong answer, so that is a RuntimeError.
class HeaderWalk {
public:
    explicit HeaderWalk(MessageObject* self) : self_(self), list_(self->_raw_headers) {}

    PyObject* list() const { return list_; }
    // Keeps the list alive across a call that can run Python code.
    void hold() {
        if (!held_) held_ = Ref::borrow(list_);
    }
    // After such a call: false with RuntimeError when the message's list is
    // no longer the one being walked.
    bool still_current() const {
        if (BW_LIKELY(!held_ || self_->_raw_headers == list_)) return true;
        PyErr_SetString(PyExc_RuntimeError, errors::kHeaderListReplaced);
        return false;
    }

private:
    MessageObject* self_;
    PyObject* list_;
    Ref held_;
};

// Walks the raw header list by index, calling `on_match(entry)` for every
// entry whose name matches; on_match returns 1 to stop, 0 to go on, -1 on
// error, and must not run Python code.  Entries must be tuples.
template <class OnMatch>
int scan(MessageObject* self, HeaderKey& key, OnMatch&& on_match) {
    HeaderWalk walk(self);
    PyObject* list = walk.list();
    if (list == Py_None) return errors::none_not_iterable();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        // Releasing the entry held last turn may have run a destructor.
        if (!walk.still_current()) return -1;
        PyObject* entry = PyList_GET_ITEM(list, i);
        if (BW_UNLIKELY(!PyTuple_Check(entry))) {
            if (entry == Py_None)
                errors::none_not_subscriptable();
            else
                args::raise_expected("tuple", entry);
            return -1;
        }
        if (BW_UNLIKELY(PyTuple_GET_SIZE(entry) == 0)) return errors::tuple_index_out_of_range();
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        if (BW_LIKELY(PyBytes_CheckExact(name))) {
            if (key.matches_bytes(name)) {
                int r = on_match(entry);
                if (r != 0) return r;
            }
            continue;
        }
        // lower() and == of any other name are Python code: hold the list
        // and the entry (which holds the name) across them.
        walk.hold();
        Ref held = Ref::borrow(entry);
        int matched = key.matches_other(name);
        if (matched < 0 || !walk.still_current()) return -1;
        if (matched) {
            int r = on_match(held.get());
            if (r != 0) return r;
        }
    }
    return 0;
}

// entry[1] of a tuple entry; borrowed.
inline PyObject* entry_value(PyObject* entry) {
    if (BW_UNLIKELY(PyTuple_GET_SIZE(entry) < 2)) {
        errors::tuple_index_out_of_range();
        return nullptr;
    }
    return PyTuple_GET_ITEM(entry, 1);
}

inline bool expect_bytes_result(PyObject* value) { return args::expect_exact(value, &PyBytes_Type); }

// self._raw_headers.remove(item): removes the first entry equal to `item`.
// Like list.remove it holds the list and re-reads its size on every turn,
// since an entry's __eq__ may edit it; an __eq__ that replaces the message's
// list is refused (RuntimeError) as in the lookup scans.
int list_remove(MessageObject* self, PyObject* item) {
    HeaderWalk walk(self);
    PyObject* list = walk.list();
    if (list == Py_None) return errors::none_has_no("remove");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (!walk.still_current()) return -1;
        PyObject* candidate = PyList_GET_ITEM(list, i);
        if (candidate == item) return PyList_SetSlice(list, i, i + 1, nullptr);
        walk.hold();
        Ref held = Ref::borrow(candidate);
        int eq = PyObject_RichCompareBool(held.get(), item, Py_EQ);
        if (eq < 0 || !walk.still_current()) return -1;
        if (eq) return PyList_SetSlice(list, i, i + 1, nullptr);
    }
    PyErr_SetString(PyExc_ValueError, "list.remove(x): x not in list");
    return -1;
}


// Unpacks one entry into exactly two items, as `name, value = entry` does.
int unpack_pair(PyObject* entry, Ref& first, Ref& second) {
    if (PyTuple_Check(entry) || PyList_Check(entry)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(entry);
        if (n != 2) return errors::cannot_unpack_pair(n);
        first = Ref::borrow(PySequence_Fast_GET_ITEM(entry, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(entry, 1));
        return 0;
    }
    if (entry == Py_None) return errors::none_not_iterable();
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) return -1;
    Ref* targets[2] = {&first, &second};
    for (Py_ssize_t k = 0; k < 2; k++) {
        *targets[k] = Ref::steal(PyIter_Next(it.get()));
        if (!*targets[k]) return PyErr_Occurred() ? -1 : errors::cannot_unpack_pair(k);
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return errors::cannot_unpack_pair(3);
    return PyErr_Occurred() ? -1 : 0;
}

// Every setter appends through here: a name that is not an HTTP token, or a
// name or value holding CR, LF or NUL, is refused before it is stored.
int append_entry(MessageObject* self, PyObject* key, PyObject* value) {
    if (PyBytes_Check(key) && PyBytes_Check(value) && http::check_header(key, value) < 0) return -1;
    if (self->_raw_headers == Py_None) return errors::none_has_no("append");
    Ref entry = Ref::steal(make_header_entry(key, value));
    if (!entry) return -1;
    return PyList_Append(self->_raw_headers, entry.get());
}

}  // namespace

PyObject* header_entry(PyObject* name, PyObject* value) {
    PyObject* entry = PyTuple_New(2);
    if (!entry) return nullptr;
    PyTuple_SET_ITEM(entry, 0, Py_NewRef(name));
    PyTuple_SET_ITEM(entry, 1, Py_NewRef(value));
    return entry;
}

PyObject* make_header_entry(PyObject* name, PyObject* value) {
    Ref interned = Ref::steal(intern_header_name_bytes(name));
    return header_entry(interned.get(), value);
}

// ---- native operations ---------------------------------------------------

PyObject* get_headers(MessageObject* self, PyObject* key, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kGetHeaders)) {
        Ref r = Ref::steal(message_overrides.call(as_object(self), kGetHeaders, &key, 1));
        if (r && !args::expect_exact(r.get(), &PyList_Type)) return nullptr;
        return r.release();
    }
    HeaderKey k;
    if (!k.init(key)) return nullptr;
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return nullptr;
    int r = scan(self, k, [&](PyObject* entry) {
        PyObject* value = entry_value(entry);
        if (!value) return -1;
        return PyList_Append(values.get(), value);
    });
    if (r < 0) return nullptr;
    return values.release();
}

PyObject* get_first_header(MessageObject* self, PyObject* key, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kGetFirstHeader)) {
        Ref r = Ref::steal(message_overrides.call(as_object(self), kGetFirstHeader, &key, 1));
        if (r && !expect_bytes_result(r.get())) return nullptr;
        return r.release();
    }
    HeaderKey k;
    if (!k.init(key)) return nullptr;
    PyObject* found = nullptr;
    int r = scan(self, k, [&](PyObject* entry) {
        PyObject* value = entry_value(entry);
        if (!value) return -1;
        if (!expect_bytes_result(value)) return -1;
        found = Py_NewRef(value);
        return 1;
    });
    if (r < 0) return nullptr;
    return found ? found : Py_NewRef(Py_None);
}

PyObject* get_single_header(MessageObject* self, PyObject* key, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kGetSingleHeader)) {
        Ref r = Ref::steal(message_overrides.call(as_object(self), kGetSingleHeader, &key, 1));
        if (r && !expect_bytes_result(r.get())) return nullptr;
        return r.release();
    }
    Ref values = Ref::steal(self->vtab->get_headers(self, key, 0));
    if (!values) return nullptr;
    if (values.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(values.get());
    if (n > 1) {
        PyErr_SetString(PyExc_ValueError, "Headers contains more than one header with the given key");
        return nullptr;
    }
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "Headers does not contain one header with the given key");
        return nullptr;
    }
    PyObject* value = PyList_GET_ITEM(values.get(), 0);
    if (!expect_bytes_result(value)) return nullptr;
    return Py_NewRef(value);
}

namespace {

// Removal in one pass for the usual list: every entry an exact tuple whose
// name is exact bytes.  Equal entries then have equal names, so dropping
// every matching entry in place leaves exactly what removing each collected
// entry by equality would.  Returns 1 when done, 0 when the list is not of
// that kind (nothing changed), -1 on error.
int remove_matching_in_place(MessageObject* self, HeaderKey& k) {
    PyObject* list = self->_raw_headers;
    if (list == Py_None) return errors::none_not_iterable();
    Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject** items = PySequence_Fast_ITEMS(list);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* entry = items[i];
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) == 0 ||
            !PyBytes_CheckExact(PyTuple_GET_ITEM(entry, 0)))
            return 0;
    }
    // The list is compacted first and the dropped entries released after:
    // their destructors may run Python code, which then sees a whole list.
    SmallArray<PyObject*, 16> gone;
    if (!gone.reserve(static_cast<size_t>(n))) return -1;
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* entry = items[i];
        if (k.matches_bytes(PyTuple_GET_ITEM(entry, 0)))
            (void)gone.push_back(entry);  // within the reserved size: cannot fail
        else
            items[kept++] = entry;
    }
    Py_SET_SIZE(list, kept);
    for (PyObject* entry : gone) Py_DECREF(entry);
    return 1;
}

}  // namespace

PyObject* remove_header(MessageObject* self, PyObject* key, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kRemoveHeader))
        return message_overrides.call(as_object(self), kRemoveHeader, &key, 1);
    HeaderKey k;
    if (!k.init(key)) return nullptr;
    int done = remove_matching_in_place(self, k);
    if (done < 0) return nullptr;
    if (done) Py_RETURN_NONE;
    Ref matched = Ref::steal(get_headers_tuples(self, key));
    if (!matched) return nullptr;
    // Removal by equality after the scan: the list is never edited while it
    // is walked, and equal duplicates go too since each one was collected.
    // `matched` is ours alone, so its items stay alive across the removals.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(matched.get()); i++)
        if (list_remove(self, PyList_GET_ITEM(matched.get(), i)) < 0) return nullptr;
    Py_RETURN_NONE;
}

namespace {

// Whether a (name, value) pair read from an entry matches `k`, by the rules
// of _has_header: 1, 0, or -1 with an exception set.
inline int pair_matches(HeaderKey& k, PyObject* name, PyObject* value) {
    if (!expect_bytes_result(name) || !expect_bytes_result(value)) return -1;
    if (name == Py_None) return errors::none_not_bytes_for_lower();
    return k.matches_bytes(name);
}

// An entry that is not an exact 2-tuple: unpacked like `name, value =
// entry`, which runs the __iter__ and __next__ of an iterable entry, so the
// list and the entry are held across it.
[[gnu::noinline]] int entry_matches_unpacked(HeaderWalk& walk, PyObject* entry, HeaderKey& k) {
    walk.hold();
    Ref held = Ref::borrow(entry);
    Ref first, second;
    if (unpack_pair(entry, first, second) < 0 || !walk.still_current()) return -1;
    return pair_matches(k, first.get(), second.get());
}

}  // namespace

int has_header_native(MessageObject* self, PyObject* key) {
    HeaderKey k;
    if (!k.init(key)) return -1;
    HeaderWalk walk(self);
    PyObject* list = walk.list();
    if (list == Py_None) return errors::none_not_iterable();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        if (!walk.still_current()) return -1;
        PyObject* entry = PyList_GET_ITEM(list, i);
        int r = BW_LIKELY(PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2)
                    ? pair_matches(k, PyTuple_GET_ITEM(entry, 0), PyTuple_GET_ITEM(entry, 1))
                    : entry_matches_unpacked(walk, entry, k);
        if (r != 0) return r;
    }
    return 0;
}

int call_override_bool(MessageObject* self, int slot, PyObject* const* args, size_t nargs) {
    Ref r = Ref::steal(message_overrides.call(as_object(self), slot, args, nargs));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

int has_header(MessageObject* self, PyObject* key, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kHasHeader))
        return call_override_bool(self, kHasHeader, &key, 1);
    return has_header_native(self, key);
}

int add_header_native(MessageObject* self, PyObject* key, PyObject* value) {
    return append_entry(self, key, value);
}

int add_header_if_missing(MessageObject* self, PyObject* key, PyObject* value) {
    int present = has_header_native(self, key);
    if (present < 0) return -1;
    if (present) return 0;
    return append_entry(self, key, value);
}

PyObject* add_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kAddHeader)) {
        PyObject* a[2] = {key, value};
        return message_overrides.call(as_object(self), kAddHeader, a, 2);
    }
    if (append_entry(self, key, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* set_header(MessageObject* self, PyObject* key, PyObject* value, int skip_dispatch) {
    if (!skip_dispatch && message_overrides.overridden(as_object(self), kSetHeader)) {
        PyObject* a[2] = {key, value};
        return message_overrides.call(as_object(self), kSetHeader, a, 2);
    }
    // Checked before anything is removed: a refused value leaves the old header.
    if (PyBytes_Check(key) && PyBytes_Check(value) && http::check_header(key, value) < 0) return nullptr;
    Ref removed = Ref::steal(self->vtab->remove_header(self, key, 0));
    if (!removed) return nullptr;
    if (append_entry(self, key, value) < 0) return nullptr;
    Py_RETURN_NONE;
}

int remove_headers(MessageObject* self, PyObject* headers) {
    if (headers == Py_None) return errors::none_not_iterable();
    Ref items = Ref::steal(PySequence_Fast(headers, "'%.200s' object is not iterable"));
    if (!items) return -1;
    // `items` may be the caller's own list, which an entry's __eq__ can edit:
    // each item is held across its removal and the size re-read every turn.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); i++) {
        Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        if (!PyTuple_CheckExact(item.get()) && item.get() != Py_None)
            return args::raise_expected("tuple", item.get()), -1;
        if (list_remove(self, item.get()) < 0) return -1;
    }
    return 0;
}

PyObject* get_headers_tuples(MessageObject* self, PyObject* key) {
    HeaderKey k;
    if (!k.init(key)) return nullptr;
    Ref entries = Ref::steal(PyList_New(0));
    if (!entries) return nullptr;
    int r = scan(self, k, [&](PyObject* entry) { return PyList_Append(entries.get(), entry); });
    if (r < 0) return nullptr;
    return entries.release();
}

// ---- Python-visible methods ------------------------------------------------

namespace {

const char* const kKey[] = {"key"};
const char* const kKeyValue[] = {"key", "value"};

#define BW_KEY_METHOD(fn, name)                                                                        \
    PyObject* py_##fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {     \
        static args::Signature sig{name, kKey, 1, 1};                                                  \
        PyObject* a[1];                                                                                \
        if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;                                \
        if (!args::exact(a[0], &PyBytes_Type, "key")) return nullptr;                                  \
        return fn(as_message(self), a[0], 1);                                                          \
    }

BW_KEY_METHOD(get_headers, "get_headers")
BW_KEY_METHOD(get_first_header, "get_first_header")
BW_KEY_METHOD(get_single_header, "get_single_header")
BW_KEY_METHOD(remove_header, "remove_header")
#undef BW_KEY_METHOD

PyObject* py_has_header(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static args::Signature sig{"has_header", kKey, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    if (!args::exact(a[0], &PyBytes_Type, "key")) return nullptr;
    int r = has_header_native(as_message(self), a[0]);
    if (r < 0) return nullptr;
    return bool_ref(r);
}

#define BW_KEY_VALUE_METHOD(fn, name)                                                                  \
    PyObject* py_##fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {     \
        static args::Signature sig{name, kKeyValue, 2, 2};                                             \
        PyObject* a[2];                                                                                \
        if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;                                \
        if (!args::exact(a[0], &PyBytes_Type, "key") || !args::exact(a[1], &PyBytes_Type, "value"))     \
            return nullptr;                                                                            \
        return fn(as_message(self), a[0], a[1], 1);                                                    \
    }

BW_KEY_VALUE_METHOD(add_header, "add_header")
BW_KEY_VALUE_METHOD(set_header, "set_header")
#undef BW_KEY_VALUE_METHOD

}  // namespace

PyMethodDef header_methods[] = {
    {"get_headers", BW_METH_FASTCALL_KW(py_get_headers), "get_headers(key: bytes) -> list[bytes]: values of every header named key."},
    {"get_first_header", BW_METH_FASTCALL_KW(py_get_first_header),
     "get_first_header(key: bytes) -> bytes | None: value of the first header named key."},
    {"get_single_header", BW_METH_FASTCALL_KW(py_get_single_header),
     "get_single_header(key: bytes) -> bytes: value of the one header named key; ValueError unless exactly one."},
    {"remove_header", BW_METH_FASTCALL_KW(py_remove_header), "remove_header(key: bytes) -> None: removes every header named key."},
    {"has_header", BW_METH_FASTCALL_KW(py_has_header), "has_header(key: bytes) -> bool"},
    {"add_header", BW_METH_FASTCALL_KW(py_add_header), "add_header(key: bytes, value: bytes) -> None: appends a header."},
    {"set_header", BW_METH_FASTCALL_KW(py_set_header),
     "set_header(key: bytes, value: bytes) -> None: replaces every header named key by one at the end."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::messages
