// Form data of Message: URL-encoded and multipart forms, the flat list of
// multipart parts, file parts, and the streamed parts themselves.  Multipart
// parts are spooled into temporary files that stay in memory up to
// `spool_max_size` bytes; the parsed dictionary is cached in `_form_data`.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"

namespace bw::messages {

using coro::AsyncGen;
using coro::Root;
using coro::Task;

namespace {

// A true value becomes value.encode("utf8"), a false one None.
PyObject* encode_name(PyObject* value) {
    int truthy = PyObject_IsTrue(value);
    if (truthy < 0) return nullptr;
    if (!truthy) return Py_NewRef(Py_None);
    return PyObject_CallMethodOneArg(value, state.str_encode, state.str_utf8);
}

inline bool empty(PyObject* ct) { return ct == Py_None || PyBytes_GET_SIZE(ct) == 0; }

// The form types are told by the media type alone, in any letter case:
// a parameter (a boundary, a charset) never makes a body a form.
inline bool is_multipart(PyObject* ct) { return !empty(ct) && equals_lowered(media_type(ct), "multipart/form-data"); }
inline bool is_urlencoded(PyObject* ct) {
    return !empty(ct) && equals_lowered(media_type(ct), "application/x-www-form-urlencoded");
}

// The ValueError (or IndexError) of a boundary that cannot be used, raised
// again as BadRequest with its message: a multipart body without a usable
// boundary cannot be read, which is the client's fault, not "no parts".
void raise_unusable_boundary() {
    PyObject* cause = PyErr_GetRaisedException();
    Ref message = Ref::steal(PyObject_Str(cause));
    Ref exc = message ? Ref::steal(PyObject_CallOneArg(state.BadRequest, message.get())) : Ref();
    if (!exc) {
        Py_DECREF(cause);
        return;
    }
    PyException_SetCause(exc.get(), cause);  // steals `cause`
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

// Closes every spooled file of a dictionary that a failed parse leaves
// unreachable, and the file being filled.
// The dictionary and its lists are this parse's own (nothing else reaches
// them), but close() is Python code: each list and part is held across it.
void close_spooled(PyObject* data, PyObject* current) {
    PyObject* pending = PyErr_GetRaisedException();
    if (current) Py_XDECREF(PyObject_CallMethodNoArgs(current, state.str_close));
    PyErr_Clear();
    if (data) {
        Py_ssize_t pos = 0;
        PyObject *key, *bucket;
        while (PyDict_Next(data, &pos, &key, &bucket)) {
            if (!PyList_Check(bucket)) continue;
            Ref parts = Ref::borrow(bucket);
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
                Ref part = Ref::borrow(PyList_GET_ITEM(parts.get(), i));
                Ref file = Ref::steal(PyObject_GetAttr(part.get(), state.str_data));
                if (file) Py_XDECREF(PyObject_CallMethodNoArgs(file.get(), state.str_close));
                PyErr_Clear();
            }
        }
    }
    PyErr_SetRaisedException(pending);
}

// `field_limit` (-1: none) bounds the bytes of all parts without a file
// name together: their text is what simplify_multipart_data reads into
// memory, while files stay spooled.
Task multipart_to_dict(Root stream_iter, Root spool_max_size, Py_ssize_t field_limit) {
    Root data = Root::steal(PyDict_New());
    if (!data) co_return nullptr;
    Ref parts = Ref::steal(coro::aiter(stream_iter.get()));
    if (!parts) co_return nullptr;
    Py_ssize_t field_bytes = 0;
    for (;;) {
        Ref part = co_await coro::anext(parts.get());
        if (!part) {
            if (coro::end_of_iteration()) break;
            close_spooled(data.get(), nullptr);
            co_return nullptr;
        }
        Ref key = Ref::steal(PyObject_GetAttr(part.get(), state.str_name));
        if (!key) {
            close_spooled(data.get(), nullptr);
            co_return nullptr;
        }
        PyObject* spool_args[] = {spool_max_size.get(), state.spool_mode};
        Ref spooled =
            Ref::steal(PyObject_Vectorcall(state.SpooledTemporaryFile, spool_args, 0, state.spool_kwnames));
        if (!spooled) {
            close_spooled(data.get(), nullptr);
            co_return nullptr;
        }
        Py_ssize_t total = 0;
        bool failed = false;
        bool is_field = false;
        if (field_limit >= 0) {
            Ref file_name = Ref::steal(PyObject_GetAttr(part.get(), state.str_file_name));
            int named = file_name ? PyObject_IsTrue(file_name.get()) : -1;
            if (named < 0) failed = true;
            is_field = named == 0;
        }
        Ref chunks = failed ? Ref() : Ref::steal(open_stream(part.get()));
        if (!chunks) failed = true;
        while (!failed) {
            Ref chunk = co_await coro::anext(chunks.get());
            if (!chunk) {
                if (!coro::end_of_iteration()) failed = true;
                break;
            }
            Py_ssize_t n = PyObject_Size(chunk.get());
            if (n >= 0 && is_field && (field_bytes += n) > field_limit) {
                raise_fields_too_large(field_limit);
                n = -1;
            }
            Ref written = n >= 0 ? Ref::steal(PyObject_CallMethodOneArg(spooled.get(), state.str_write, chunk.get()))
                                 : Ref();
            if (!written) {
                failed = true;
                break;
            }
            total += n;
        }
        if (!failed) {
            Ref at = Ref::steal(PyObject_CallMethodOneArg(spooled.get(), state.str_seek, state.zero));
            if (!at) failed = true;
        }
        Ref item;
        if (!failed) {
            Ref name = Ref::steal(encode_name(key.get()));
            Ref file_name, content_type, charset, size;
            auto attr = [&](PyObject* attr_name) -> Ref {
                Ref v = Ref::steal(PyObject_GetAttr(part.get(), attr_name));
                return v ? Ref::steal(encode_name(v.get())) : Ref();
            };
            if (name) file_name = attr(state.str_file_name);
            if (file_name) content_type = attr(state.str_content_type);
            if (content_type) size = Ref::steal(PyLong_FromSsize_t(total));
            if (size) charset = attr(state.str_charset);
            if (charset) {
                PyObject* part_args[] = {name.get(), spooled.get(), file_name.get(),
                                         content_type.get(), size.get(), charset.get()};
                item = Ref::steal(PyObject_Vectorcall(state.FormPart, part_args, 0, state.part_kwnames));
            }
            if (!item) failed = true;
        }
        if (!failed) {
            PyObject* bucket = nullptr;
            if (PyDict_GetItemRef(data.get(), key.get(), &bucket) < 0) failed = true;
            Ref held = Ref::steal(bucket);
            if (!failed && !bucket) {
                held = Ref::steal(PyList_New(0));
                if (!held || PyDict_SetItem(data.get(), key.get(), held.get()) < 0) failed = true;
            }
            if (!failed && PyList_Append(held.get(), item.get()) < 0) failed = true;
        }
        if (failed) {
            close_spooled(data.get(), item ? nullptr : spooled.get());
            co_return nullptr;
        }
    }
    co_return data.release();
}

AsyncGen multipart_stream_body(Root self_root) {
    MessageObject* self = as_message(self_root.get());
    Ref ct = Ref::steal(self->vtab->content_type(self, 0));
    if (!ct) co_return;
    if (!is_multipart(ct.get())) co_return;
    Ref boundary = Ref::steal(PyObject_CallOneArg(state.get_boundary_from_header, ct.get()));
    if (!boundary) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError))
            raise_unusable_boundary();
        co_return;
    }
    Ref stream = Ref::steal(PyObject_CallMethodNoArgs(self_root.get(), state.str_stream));
    if (!stream) co_return;
    PyObject* parse_args[] = {stream.get(), boundary.get()};
    Ref parsed = Ref::steal(PyObject_Vectorcall(state.parse_multipart_async, parse_args, 2, nullptr));
    if (!parsed) co_return;
    Ref parts = Ref::steal(coro::aiter(parsed.get()));
    if (!parts) co_return;
    for (;;) {
        Ref part = co_await coro::anext(parts.get());
        if (!part) {
            coro::end_of_iteration();
            co_return;
        }
        Ref sent = co_yield std::move(part);
        if (!sent) co_return;
    }
}

PyObject* simplify(PyObject* data) { return PyObject_CallOneArg(state.simplify_multipart_data, data); }

Task form_body(Root self_root, bool simplify_fields) {
    MessageObject* self = as_message(self_root.get());
    Ref ct = Ref::steal(self->vtab->content_type(self, 0));
    if (!ct) co_return nullptr;
    if (empty(ct.get())) co_return Py_NewRef(Py_None);
    if (self->_form_data != Py_None) {
        Ref cached = Ref::borrow(self->_form_data);  // simplify is Python code that may reset the field
        if (is_multipart(ct.get()) && simplify_fields) co_return simplify(cached.get());
        co_return cached;
    }
    if (is_urlencoded(ct.get())) {
        Ref text = co_await coro::await_method(self_root.get(), state.str_text);
        if (!text) co_return nullptr;
        if (!PyUnicode_CheckExact(text.get()) && text.get() != Py_None) {
            args::raise_expected("str", text.get());
            co_return nullptr;
        }
        co_return state.parse_www_form_urlencoded(text.get());
    }
    if (is_multipart(ct.get())) {
        Ref stream = Ref::steal(PyObject_CallMethodNoArgs(self_root.get(), state.str_multipart_stream));
        if (!stream) co_return nullptr;
        Ref parsed = Ref::steal(coro::make_coroutine(
            multipart_to_dict(Root(std::move(stream)), Root::borrow(state.spool_max_size), body_limit(self)),
            "_multipart_to_dict_streaming"));
        Ref data = co_await coro::await_on(std::move(parsed));
        if (!data) co_return nullptr;
        assign_field(self->_form_data, data.get());
        if (simplify_fields) co_return simplify(data.get());
        co_return data;
    }
    co_return Py_NewRef(Py_None);
}

// Whether form(False) gave the fields of a URL-encoded body (not multipart
// data): it did unless it answered with the message's cached multipart
// dictionary, when the content type declares a URL-encoded form.
int is_urlencoded_form(MessageObject* self, PyObject* data) {
    if (data == self->_form_data) return 0;
    Ref ct = Ref::steal(self->vtab->content_type(self, 0));
    if (!ct) return -1;
    return is_urlencoded(ct.get());
}

Task multipart_body(Root self_root) {
    Ref items = Ref::steal(PyList_New(0));
    if (!items) co_return nullptr;
    Ref data = co_await coro::await_method(self_root.get(), state.str_form, Py_False);
    if (!data) co_return nullptr;
    int truthy = PyObject_IsTrue(data.get());
    if (truthy < 0) co_return nullptr;
    if (!truthy) co_return items;
    // A URL-encoded body has no multipart parts: its fields are strings,
    // whose characters are not parts.
    int urlencoded = is_urlencoded_form(as_message(self_root.get()), data.get());
    if (urlencoded < 0) co_return nullptr;
    if (urlencoded) co_return items;
    Ref pairs = Ref::steal(PyObject_CallMethodNoArgs(data.get(), state.str_items));
    if (!pairs) co_return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(pairs.get()));
    if (!it) co_return nullptr;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref values = Ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!values) co_return nullptr;
        Ref vit = Ref::steal(PyObject_GetIter(values.get()));
        if (!vit) co_return nullptr;
        while (Ref value = Ref::steal(PyIter_Next(vit.get())))
            if (PyList_Append(items.get(), value.get()) < 0) co_return nullptr;
        if (PyErr_Occurred()) co_return nullptr;
    }
    if (PyErr_Occurred()) co_return nullptr;
    co_return items;
}

Task files_body(Root self_root, Root name) {
    if (PyUnicode_Check(name.get())) {
        name = Root::steal(PyObject_CallMethodOneArg(name.get(), state.str_encode, state.str_utf8));
        if (!name) co_return nullptr;
    }
    Ref data = co_await coro::await_method(self_root.get(), state.str_multipart);
    if (!data) co_return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    if (!result || data.get() == Py_None) co_return result;
    int by_name = PyObject_IsTrue(name.get());
    if (by_name < 0) co_return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(data.get()));
    if (!it) co_return nullptr;
    while (Ref part = Ref::steal(PyIter_Next(it.get()))) {
        Ref file_name = Ref::steal(PyObject_GetAttr(part.get(), state.str_file_name));
        if (!file_name) co_return nullptr;
        int has_file = PyObject_IsTrue(file_name.get());
        if (has_file < 0) co_return nullptr;
        if (!has_file) continue;
        if (by_name) {
            Ref part_name = Ref::steal(PyObject_GetAttr(part.get(), state.str_name));
            if (!part_name) co_return nullptr;
            int same = PyObject_RichCompareBool(part_name.get(), name.get(), Py_EQ);
            if (same < 0) co_return nullptr;
            if (!same) continue;
        }
        if (PyList_Append(result.get(), part.get()) < 0) co_return nullptr;
    }
    if (PyErr_Occurred()) co_return nullptr;
    co_return result;
}

// ---- Python-visible entry points ----------------------------------------------------

PyObject* py_form(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"simplify_fields"};
    static args::Signature sig{"form", names, 1, 0};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    int simplify_fields = a[0] ? PyObject_IsTrue(a[0]) : 1;
    if (simplify_fields < 0) return nullptr;
    return coro::make_coroutine(form_body(Root::borrow(self), simplify_fields), "Message.form");
}

PyObject* py_multipart(PyObject* self, PyObject*) {
    return coro::make_coroutine(multipart_body(Root::borrow(self)), "Message.multipart");
}

PyObject* py_multipart_stream(PyObject* self, PyObject*) {
    return coro::make_async_gen(multipart_stream_body(Root::borrow(self)), "Message.multipart_stream");
}

PyObject* py_files(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"name"};
    static args::Signature sig{"files", names, 1, 0};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return coro::make_coroutine(files_body(Root::borrow(self), Root::borrow(a[0] ? a[0] : Py_None)),
                                "Message.files");
}

PyObject* py_multipart_to_dict_streaming(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"stream_iter", "spool_max_size"};
    static args::Signature sig{"_multipart_to_dict_streaming", names, 2, 1};
    PyObject* a[2];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return coro::make_coroutine(
        multipart_to_dict(Root::borrow(a[0]), Root::borrow(a[1] ? a[1] : state.spool_max_size), -1),
        "_multipart_to_dict_streaming");
}

}  // namespace

PyMethodDef form_methods[] = {
    {"form", BW_METH_FASTCALL_KW(py_form),
     "form(simplify_fields=True) (coroutine): the form data of the body, or None.\n\n"
     "File uploads come back as buffered file objects and plain fields as strings; for large text fields use "
     "multipart() or multipart_stream()."},
    {"multipart", py_multipart, METH_NOARGS,
     "multipart() (coroutine): every multipart part as a FormPart; small part data stays in memory, large data "
     "is spooled to temporary files on disk."},
    {"multipart_stream", py_multipart_stream, METH_NOARGS,
     "multipart_stream() -> AsyncIterator: multipart/form-data parsed lazily from the request stream, without "
     "loading the body into memory, for large uploads."},
    {"files", BW_METH_FASTCALL_KW(py_files), "files(name=None) (coroutine): the file parts, optionally by name."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef form_functions[] = {
    {"_multipart_to_dict_streaming", BW_METH_FASTCALL_KW(py_multipart_to_dict_streaming),
     "_multipart_to_dict_streaming(stream_iter, spool_max_size=1048576) (coroutine): streamed parts to a dict of "
     "FormPart lists, each part wrapped in a spooled temporary file (1 MB threshold by default)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::messages
