// Body intake of Message: whole-body reads (as delivered, as a zero-copy
// view, as an independent copy), streaming, text and JSON decoding, and the
// coroutines of the disconnection probe.  Every coroutine and async
// generator here is native, built on bw::coro.
//
// A request without a body by its method gets its body source lazily: the
// first reader that finds no usable content wraps the server channel
// (scope_protocol) in an ASGIContent or RSGIContent.
#include <Python.h>

#include "brindlewick/args.hpp"
#include "brindlewick/coro.hpp"
#include "brindlewick/pyref.hpp"
#include "message_core.hpp"

namespace bw::messages {

using coro::AsyncGen;
using coro::Handling;
using coro::Root;
using coro::Task;
using siblings::ContentObject;

namespace {

enum class Source { None, Present, Created };

// The body source over the server channel kept in scope_protocol (a new
// reference): an ASGIContent over `receive` for a request that an ASGI
// adapter made, else an RSGIContent over the protocol.
PyObject* new_server_content(MessageObject* self) {
    Ref held = Ref::borrow(self->scope_protocol);  // the field may change while the content is built
    bool asgi = PyObject_TypeCheck(as_object(self), state.RequestType) &&
                static_cast<RequestObject*>(self)->_scope_kind == kScopeASGI;
    PyTypeObject* type = asgi ? state.ASGIContent : state.RSGIContent;
    return PyObject_CallOneArg(reinterpret_cast<PyObject*>(type), held.get());
}

// The content to read from: the present one when it is true (the object
// that was tested, even if its __bool__ changed the field), else a new
// content over the server channel (stored in `content`), else none.
Source usable_content(MessageObject* self, Ref& out) {
    int present = held_content(self, out);
    if (present < 0) return out.reset(), Source::None;
    if (present) return Source::Present;
    out.reset();
    if (self->scope_protocol == Py_None) return Source::None;
    out = Ref::steal(new_server_content(self));
    if (!out) return Source::None;
    assign_field(self->content, out.get());
    return Source::Created;
}

PyObject* empty_view() { return PyMemoryView_FromObject(state.empty_bytes); }

// memoryview(data) for bytes-like data, else a view of bytes(data).
PyObject* view_of(PyObject* data) {
    if (data == Py_None) return empty_view();
    if (PyBytes_Check(data) || PyByteArray_Check(data) || Py_IS_TYPE(data, &PyMemoryView_Type))
        return PyMemoryView_FromObject(data);
    Ref copy = Ref::steal(PyObject_Bytes(data));  // bytes(data), honouring __bytes__
    if (!copy) return nullptr;
    return PyMemoryView_FromObject(copy.get());
}

// A new bytes object with its own copy of `data`'s memory.
PyObject* copy_of(PyObject* data) {
    if (PyBytes_CheckExact(data))
        return PyBytes_FromStringAndSize(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data));
    return PyObject_Bytes(data);
}

}  // namespace

PyObject* open_stream(PyObject* obj) {
    Ref stream = Ref::steal(PyObject_CallMethodNoArgs(obj, state.str_stream));
    return stream ? coro::aiter(stream.get()) : nullptr;
}

namespace {

// ---- whole-body reads -----------------------------------------------------------

// What read() and read_raw() await: content.read() of the usable content;
// with no content, a null awaitable and `*none` set (no error pending).
coro::Await content_read(MessageObject* self, bool* none) {
    Ref content;
    *none = usable_content(self, content) == Source::None && !PyErr_Occurred();
    if (!content || limit_read(self, content.get(), body_limit(self)) < 0) return coro::Await(Ref());
    return coro::await_method(content.get(), state.str_read);
}

// read() and read_raw(): the body as delivered; `empty` when there is none.
Task read_body(Root self_root, PyObject* empty) {
    bool none;
    Ref body = co_await content_read(as_message(self_root.get()), &none);
    if (none) co_return Py_NewRef(empty);
    co_return body;
}

// self.read() or self.read_raw() as other readers reach them: by attribute
// lookup when a subclass overrides the method, else straight to the content.
coro::Await self_read(PyObject* self, int slot, bool* none) {
    *none = false;
    if (message_overrides.overridden(self, slot))
        return coro::await_method(self, slot == kRead ? state.str_read : state.str_read_raw);
    return content_read(as_message(self), none);
}

Task read_buffer_body(Root self_root) {
    MessageObject* self = as_message(self_root.get());
    Ref content;
    Source source = usable_content(self, content);
    if (source == Source::None) {
        if (PyErr_Occurred()) co_return nullptr;
        co_return empty_view();
    }
    if (limit_read(self, content.get(), body_limit(self)) < 0) co_return nullptr;
    if (source == Source::Created)
        co_return co_await coro::await_method(content.get(), state.str_read_buffer);
    int has = PyObject_HasAttrWithError(content.get(), state.str_read_buffer);
    if (has < 0) co_return nullptr;
    if (has) co_return co_await coro::await_method(content.get(), state.str_read_buffer);
    Ref data = co_await coro::await_method(content.get(), state.str_read);
    if (!data) co_return nullptr;
    co_return view_of(data.get());
}

Task read_detached_body(Root self_root) {
    bool none;
    Ref data = co_await self_read(self_root.get(), kReadRaw, &none);
    if (none) co_return Py_NewRef(state.empty_bytes);
    if (!data) co_return nullptr;
    if (data.get() == Py_None) co_return Py_NewRef(state.empty_bytes);
    co_return copy_of(data.get());
}

// ---- streaming ----------------------------------------------------------------------

AsyncGen stream_body(Root self_root) {
    MessageObject* self = as_message(self_root.get());
    if (self->content == Py_None && self->scope_protocol != Py_None) {
        PyObject* created = new_server_content(self);
        if (!created) co_return;
        assign_field_steal(self->content, created);
    }
    Ref content;
    int present = held_content(self, content);
    if (present < 0) co_return;
    if (!present) {
        co_yield Py_None;
        co_return;
    }
    if (limit_read(self, content.get(), stream_limit(self)) < 0) co_return;
    Ref chunks = Ref::steal(open_stream(content.get()));
    if (!chunks) co_return;
    for (;;) {
        Ref chunk = co_await coro::anext(chunks.get());
        if (!chunk) {
            coro::end_of_iteration();  // the end, or an error that stays pending
            co_return;
        }
        Ref sent = co_yield std::move(chunk);
        if (!sent) co_return;
    }
}

// ---- text ------------------------------------------------------------------------------

// body.decode(codec) for the codec of the message charset: only a text
// encoding that the charset label names (BadRequest for any other name;
// a client must not pick utf-7 or a codec that is no text encoding).
PyObject* decode_body(PyObject* body, PyObject* charset) {
    Ref codec = Ref::steal(state.charset_codec(charset));
    if (!codec) return nullptr;
    if (PyBytes_Check(body)) {
        const char* encoding = PyUnicode_AsUTF8(codec.get());
        if (!encoding) return nullptr;
        return PyUnicode_Decode(PyBytes_AS_STRING(body), PyBytes_GET_SIZE(body), encoding, nullptr);
    }
    return PyObject_CallMethodOneArg(body, state.str_decode, codec.get());
}

Task text_body(Root self_root) {
    PyObject* self = self_root.get();
    bool none;
    Ref body = co_await self_read(self, kRead, &none);
    if (none) co_return Py_NewRef(state.empty_str);
    if (!body) co_return nullptr;
    if (body.get() == Py_None) co_return Py_NewRef(state.empty_str);
    Ref charset = Ref::steal(PyObject_GetAttr(self, state.str_charset));
    if (!charset) co_return nullptr;
    Ref text = Ref::steal(decode_body(body.get(), charset.get()));
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) co_return text;
    Handling error;
    co_return PyObject_CallMethodObjArgs(state.encodings_settings, state.str_decode, body.get(),
                                         error.exception(), nullptr);
}

// ---- JSON -----------------------------------------------------------------------------

// The BadRequestFormat of a body that is not JSON; raised while `error` is
// being handled, so that it becomes the context.
PyObject* raise_not_json(MessageObject* self, Handling& error) {
    Ref ct = Ref::steal(self->vtab->content_type(self, 0));
    if (!ct) return nullptr;
    Ref message;
    if (ct.get() != Py_None && PyBytes_GET_SIZE(ct.get()) > 0) {
        if (bytes_contain(ct.get(), state.b_json)) {
            Ref declared = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(ct.get()), PyBytes_GET_SIZE(ct.get()),
                                                           nullptr));
            if (!declared) return nullptr;
            message = Ref::steal(PyUnicode_FromFormat(
                "Declared Content-Type is %U but the content cannot be parsed as JSON.", declared.get()));
        }
    }
    if (!message) message = Ref::steal(PyUnicode_FromString("Cannot parse content as JSON"));
    if (!message) return nullptr;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(state.BadRequestFormat, message.get(), error.exception(), nullptr));
    if (!exc) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

Task json_body(Root self_root, Root loads) {
    MessageObject* self = as_message(self_root.get());
    int declared = self->vtab->declares_json(self, 0);
    if (declared < 0) co_return nullptr;
    if (!declared) co_return Py_NewRef(Py_None);
    bool none;
    Ref body = co_await self_read(self_root.get(), kReadRaw, &none);
    if (none) co_return Py_NewRef(Py_None);  // read_raw() would give b"": no body either way
    if (!body) co_return nullptr;
    if (body.get() == Py_None) co_return Py_NewRef(Py_None);
    Py_ssize_t size = PyObject_Size(body.get());
    if (size < 0) co_return nullptr;
    if (size == 0) co_return Py_NewRef(Py_None);

    if (loads.get() == Py_None) {
        Ref custom = Ref::steal(PyObject_GetAttr(state.json_settings, state.str_has_custom_loads));
        if (!custom) co_return nullptr;
        int truthy = PyObject_IsTrue(custom.get());
        if (truthy < 0) co_return nullptr;
        if (truthy) {
            loads = Root::steal(PyObject_GetAttr(state.json_settings, state.str_loads));
            if (!loads) co_return nullptr;
        }
    }

    if (loads.get() == Py_None) {
        Ref value = Ref::steal(PyObject_CallOneArg(state.msgspec_json_decode, body.get()));
        // Nesting deeper than the decoder goes is a malformed body too.
        if (value || (!PyErr_ExceptionMatches(state.msgspec_DecodeError) &&
                      !PyErr_ExceptionMatches(PyExc_RecursionError)))
            co_return value;
        Handling error;
        co_return raise_not_json(self, error);
    }

    Ref input = std::move(body);
    if (PyBytes_Check(input.get()) || PyByteArray_Check(input.get()) || Py_IS_TYPE(input.get(), &PyMemoryView_Type)) {
        Ref charset = Ref::steal(PyObject_GetAttr(self_root.get(), state.str_charset));
        if (!charset) co_return nullptr;
        if (Py_IS_TYPE(input.get(), &PyMemoryView_Type)) {  // a view has no decode(): read it as bytes
            input = Ref::steal(PyBytes_FromObject(input.get()));
            if (!input) co_return nullptr;
        }
        input = Ref::steal(decode_body(input.get(), charset.get()));
    }
    Ref value = input ? Ref::steal(PyObject_CallOneArg(loads.get(), input.get())) : Ref();
    if (value) co_return value;
    if (!PyErr_ExceptionMatches(state.JSONDecodeError) && !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError) &&
        !PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_RecursionError))
        co_return nullptr;
    Handling error;
    co_return raise_not_json(self, error);
}

// ---- disconnection probe -------------------------------------------------------------

Task read_stream_body(Root request) {
    Ref content = Ref::steal(PyObject_GetAttr(request.get(), state.str_content));
    if (!content) co_return nullptr;
    Ref chunks = Ref::steal(open_stream(content.get()));
    if (!chunks) co_return nullptr;
    for (;;) {
        Ref chunk = co_await coro::anext(chunks.get());
        if (!chunk) {
            if (coro::end_of_iteration()) co_return Py_NewRef(Py_None);
            co_return nullptr;
        }
    }
}

Task call_soon_body(Root coroutine) {
    Root task = Root::steal(PyObject_CallOneArg(state.asyncio_create_task, coroutine.get()));
    if (!task) co_return nullptr;
    coro::TaskCancellation caller;  // the task awaiting us
    if (caller.record() < 0) co_return nullptr;
    {
        Ref loop = Ref::steal(PyObject_CallNoArgs(state.asyncio_get_event_loop));
        if (!loop) co_return nullptr;
        Ref cancel = Ref::steal(PyObject_GetAttr(task.get(), state.str_cancel));
        if (!cancel) co_return nullptr;
        Ref handle = Ref::steal(PyObject_CallMethodOneArg(loop.get(), state.str_call_soon, cancel.get()));
        if (!handle) co_return nullptr;
    }
    Ref result = co_await coro::await_on(task.get());
    if (result || !PyErr_ExceptionMatches(state.CancelledError)) co_return result;
    // Only the cancellation scheduled above becomes None; when the caller's
    // own task is being cancelled (the cancel was forwarded to our task and
    // came back), it propagates.
    int outer = caller.task_cancelled();
    if (outer != 0) co_return nullptr;
    PyErr_Clear();
    co_return Py_NewRef(Py_None);
}

// ---- Python-visible entry points ----------------------------------------------------------

PyObject* py_read(PyObject* self, PyObject*) {
    return coro::make_coroutine(read_body(Root::borrow(self), Py_None), "Message.read");
}
PyObject* py_read_raw(PyObject* self, PyObject*) {
    return coro::make_coroutine(read_body(Root::borrow(self), state.empty_bytes), "Message.read_raw");
}
PyObject* py_read_buffer(PyObject* self, PyObject*) {
    return coro::make_coroutine(read_buffer_body(Root::borrow(self)), "Message.read_buffer");
}
PyObject* py_read_detached(PyObject* self, PyObject*) {
    return coro::make_coroutine(read_detached_body(Root::borrow(self)), "Message.read_detached");
}
PyObject* py_stream(PyObject* self, PyObject*) {
    return coro::make_async_gen(stream_body(Root::borrow(self)), "Message.stream");
}
PyObject* py_text(PyObject* self, PyObject*) {
    return coro::make_coroutine(text_body(Root::borrow(self)), "Message.text");
}

PyObject* py_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"loads"};
    static args::Signature sig{"json", names, 1, 0};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return coro::make_coroutine(json_body(Root::borrow(self), Root::borrow(a[0] ? a[0] : Py_None)), "Message.json");
}

// detach_raw(): a bytes copy of a body that an earlier read pulled in.
PyObject* py_detach_raw(PyObject* op, PyObject*) {
    Ref content;  // held: its __bool__ and attribute lookups may drop the field's reference
    int present = held_content(as_message(op), content);
    if (present < 0) return nullptr;
    if (!present) return Py_NewRef(state.empty_bytes);
    for (PyObject* name : {state.str__data, state.str_body}) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttr(content.get(), name, &value) < 0) return nullptr;
        Ref held = Ref::steal(value);
        if (value && value != Py_None) return copy_of(value);
    }
    return Py_NewRef(state.empty_bytes);
}

PyObject* py_read_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"request"};
    static args::Signature sig{"_read_stream", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return coro::make_coroutine(read_stream_body(Root::borrow(a[0])), "_read_stream");
}

PyObject* py_call_soon(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"coro"};
    static args::Signature sig{"_call_soon", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return coro::make_coroutine(call_soon_body(Root::borrow(a[0])), "_call_soon");
}

}  // namespace

PyMethodDef body_methods[] = {
    {"read", py_read, METH_NOARGS, "read() -> bytes | None (coroutine): the body as the server delivered it."},
    {"read_raw", py_read_raw, METH_NOARGS,
     "read_raw() -> bytes (coroutine): the raw body bytes without string conversion, usable through the buffer "
     "protocol; empty bytes when there is no body."},
    {"read_buffer", py_read_buffer, METH_NOARGS,
     "read_buffer() -> memoryview (coroutine): a memoryview of the body for zero-copy hand-over, e.g. to numeric "
     "libraries."},
    {"read_detached", py_read_detached, METH_NOARGS,
     "read_detached() -> bytes (coroutine): an independent copy of the body that stays valid across background "
     "tasks and after the server recycles its socket buffers."},
    {"detach_raw", py_detach_raw, METH_NOARGS,
     "detach_raw() -> bytes: an independent copy of a body that was already read; never reads from the network."},
    {"stream", py_stream, METH_NOARGS, "stream() -> AsyncIterator[bytes]: body chunks as the server delivers them."},
    {"text", py_text, METH_NOARGS, "text() -> str (coroutine): the body decoded with the message charset."},
    {"json", BW_METH_FASTCALL_KW(py_json), "json(loads=None) (coroutine): the body decoded as JSON, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef body_functions[] = {
    {"_read_stream", BW_METH_FASTCALL_KW(py_read_stream), "_read_stream(request) (coroutine): drains request.content.stream()."},
    {"_call_soon", BW_METH_FASTCALL_KW(py_call_soon),
     "_call_soon(coro) (coroutine): the output of a coroutine if its result is immediately available, otherwise "
     "None."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace bw::messages
