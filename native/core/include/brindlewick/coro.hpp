// Native coroutines and async generators exposed to Python.
//
// A coroutine body is a C++20 coroutine function returning `bw::coro::Task`;
// an async generator body returns `bw::coro::AsyncGen`.  Both are handed to
// Python as objects that follow the protocols of Python's own coroutines and
// async generators, so asyncio (or any other event loop) drives them like an
// `async def`:
//
//     bw::coro::Task read_body(bw::coro::Root self) {
//         bw::Ref msg = co_await bw::coro::await_call(receive);  // await receive()
//         if (!msg) co_return nullptr;       // a Python error is pending: propagate it
//         ...
//         co_return result;                  // a bw::Ref, or a new PyObject*
//     }
//     PyObject* py_read(PyObject* self, PyObject*) {
//         return bw::coro::make_coroutine(read_body(bw::coro::Root::borrow(self)), "Message.read");
//     }
//
// Rules of the road (the CPython way, no C++ exceptions cross the bridge):
//  * Every `co_await` gives a `bw::Ref`; null means a Python error is set.
//    A thrown-in exception (asyncio's CancelledError, `throw()`, the
//    GeneratorExit of `close()`) arrives exactly like that, at the `co_await`
//    where the body is suspended.  Propagate with `co_return nullptr` (or
//    `co_return;` in an async generator) or handle it (PyErr_Clear, ...).
//  * `co_return nullptr` with no error set is a SystemError; a returned
//    value with an error set is a SystemError too.  StopIteration (and, in an
//    async generator, StopAsyncIteration) escaping a body becomes
//    RuntimeError with the original as cause, like Python does.
//  * Locals are ordinary C++ objects: when the frame is destroyed (end of the
//    body, `close()` of an unfinished coroutine, garbage collection) their
//    destructors run, so `bw::Ref` locals release what they hold.
//  * Objects that may take part in reference cycles through the coroutine
//    (typically `self`) go in a `bw::coro::Root` (as a parameter or a local):
//    the coroutine object reports them to the garbage collector.
//  * An exception the body is "handling" (Python's `except` block) is set up
//    with `bw::coro::Handling`: errors raised while it lives get it as
//    __context__, and it survives suspension, exactly as in an except block.
//  * The frame lives inside the Python object: creating a coroutine is one
//    allocation.  A body runs only while the object is being driven.
//  * Bodies are free functions taking their parameters BY VALUE (Ref, Root,
//    integers, static strings): the frame keeps copies, while references and
//    lambda captures would dangle once the entry point has returned.
//    Validate arguments in the entry point, before creating the coroutine.
#pragma once

#include <Python.h>

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "brindlewick/api.hpp"
#include "brindlewick/compat.hpp"
#include "brindlewick/pyref.hpp"

namespace bw::coro {

struct FrameObject;

// ---- objects the garbage collector must see ---------------------------------

// Intrusive list node linking a Root to the frame that owns it.
struct RootLink {
    RootLink* prev = nullptr;
    RootLink* next = nullptr;
};

// An owned reference that the enclosing native coroutine reports to the
// garbage collector while it is alive.  Outside a coroutine frame it is just
// an owned reference.  Use it (instead of bw::Ref) for objects that can point
// back to the coroutine, e.g. the message a body reads from.
class Root : public RootLink {
public:
    Root() noexcept { link(); }
    Root(std::nullptr_t) noexcept { link(); }
    explicit Root(Ref&& r) noexcept : obj_(r.release()) { link(); }
    Root(Root&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) { link(); }
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;
    Root& operator=(Root&& other) noexcept {
        if (this != &other) reset(std::exchange(other.obj_, nullptr));
        return *this;
    }
    Root& operator=(Ref&& r) noexcept {
        reset(r.release());
        return *this;
    }
    ~Root() {
        unlink();
        Py_XDECREF(obj_);
    }

    static Root steal(PyObject* p) noexcept { return Root(Ref::steal(p)); }
    static Root borrow(PyObject* p) noexcept { return Root(Ref::borrow(p)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    PyObject* newref() const noexcept {
        Py_XINCREF(obj_);
        return obj_;
    }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = obj_;
        obj_ = stolen;
        Py_XDECREF(old);
    }
    bool linked() const noexcept { return prev != nullptr; }

private:
    BW_CORE_API void link() noexcept;
    void unlink() noexcept {
        if (!prev) return;
        prev->next = next;
        if (next) next->prev = prev;
        prev = next = nullptr;
    }

    PyObject* obj_ = nullptr;
};

// ---- the exception being handled --------------------------------------------

// The body's equivalent of an `except` block.  Takes the pending error (or
// the given exception) and makes it the "exception being handled": errors
// raised while the Handling lives (by the body or by Python code it calls)
// get it as __context__, and sys.exception() returns it.  The state belongs
// to the coroutine, so a Handling may stay alive across `co_await`.
class Handling {
public:
    // Takes over the pending Python error; there must be one.
    BW_CORE_API Handling() noexcept;
    // Uses `exc` (borrowed), an exception instance.
    BW_CORE_API explicit Handling(PyObject* exc) noexcept;
    BW_CORE_API ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

    // The exception being handled (borrowed).
    PyObject* exception() const noexcept { return exc_; }
    bool matches(PyObject* type) const noexcept { return exc_ && PyErr_GivenExceptionMatches(exc_, type); }
    // Python's bare `raise`: sets the handled exception as the pending error.
    void reraise() const noexcept { PyErr_SetRaisedException(Py_NewRef(exc_)); }

private:
    PyObject* exc_ = nullptr;    // owned
    PyObject* saved_ = nullptr;  // owned: what was handled before
};

// `raise <pending> from cause`: sets __cause__ (and __suppress_context__) of
// the pending error to `cause` (borrowed).  Always returns nullptr.
BW_CORE_API std::nullptr_t raise_from(PyObject* cause) noexcept;

// Clears the pending error and returns true when it is StopAsyncIteration:
// the end of an async iteration.
inline bool end_of_iteration() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) return false;
    PyErr_Clear();
    return true;
}

// ---- the coroutine object ----------------------------------------------------

enum class Kind : uint8_t { Coroutine, AsyncGen };
enum class Status : uint8_t { Created, Suspended, Running, Done };

// Python object owning a native coroutine frame.  The frame itself is stored
// at the end of the object (`storage()`), allocated with it.
struct alignas(16) FrameObject {
    PyObject_VAR_HEAD
    PyObject* weakreflist;
    PyObject* inner;      // iterator of the awaitable the body is suspended on
    PyObject* value;      // what the next resume hands to the body (owned)
    PyObject* out;        // what the body hands out at its suspension (owned)
    PyObject* result;     // value of `co_return`
    PyObject* pyframe;    // frame object standing for it in introspection (lazy)
    PyObject* origin;     // cr_origin: where it was created, when tracked
    ExcStackItem exc_state;  // exception the body is handling
    RootLink roots;       // sentinel of the Root list
    FrameObject* prev_creating;  // frame being created around this one's creation
    FrameObject* deferred_next;  // link in the thread's list of deferred closes
    const char* qualname;
    void* frame;          // address of the C++ frame while it exists
    Kind kind;
    Status status;
    bool yielded;         // suspended at `co_yield` (not at `co_await`)
    bool hooks_done;      // async generators: first-iteration hook called
    bool running_async;   // async generators: an asend/athrow is in progress
    bool closed;          // async generators: aclose() started or body ended

    unsigned char* storage() noexcept {
        return reinterpret_cast<unsigned char*>(this) + sizeof(FrameObject);
    }
};
static_assert(sizeof(FrameObject) % 16 == 0);

// Allocates the object for a frame of `size` bytes (null with MemoryError).
BW_CORE_API void* allocate_frame(Kind kind, size_t size) noexcept;
// Called by the promise once the frame exists; returns the owning object.
BW_CORE_API FrameObject* attach_frame(void* frame_address) noexcept;
// Converts a C++ exception escaping a body into a Python error.
BW_CORE_API void set_error_from_cxx_exception() noexcept;

// Types of the Python objects (created by the core library's init step;
// null with SystemError before it ran).
BW_CORE_API PyTypeObject* coroutine_type() noexcept;
BW_CORE_API PyTypeObject* async_gen_type() noexcept;

// Whether `obj` is a native coroutine / async generator of this facility.
BW_CORE_API bool is_native_coroutine(PyObject* obj) noexcept;
BW_CORE_API bool is_native_async_gen(PyObject* obj) noexcept;

// ---- awaiting Python awaitables ----------------------------------------------

// Returns the iterator that drives `awaitable` (a new reference), or null
// with TypeError, like Python's `await`; a coroutine that something else is
// awaiting already is refused with RuntimeError, as `await` does.
BW_CORE_API PyObject* get_awaitable_iter(PyObject* awaitable) noexcept;
// First step of an await (sends None): 1 = completed with *out (new ref),
// 0 = suspended, the iterator yielded *out, -1 = error.
BW_CORE_API int start_await(PyObject* iter, PyObject** out) noexcept;

// Awaitable of one Python awaitable.  Keeps the awaitable alive during the
// await.  A null awaitable (a failed call) completes at once with null, the
// pending error intact.
class Await {
public:
    explicit Await(Ref&& awaitable) noexcept : target_(std::move(awaitable)) {}

    bool await_ready() noexcept {
        if (!target_) return true;  // error already pending
        PyObject* it = get_awaitable_iter(target_.get());
        target_.reset(it);          // null on error: result stays null
        return it == nullptr;
    }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> h) noexcept {
        frame_ = h.promise().frame;
        PyObject* out = nullptr;
        int r = start_await(target_.get(), &out);
        if (r == 0) {
            // Suspended: the driver owns the iterator and hands `out` on.
            frame_->inner = target_.release();
            frame_->out = out;
            return true;
        }
        result_ = Ref::steal(out);  // null on error
        frame_ = nullptr;
        return false;
    }
    Ref await_resume() noexcept {
        if (frame_) return Ref::steal(std::exchange(frame_->value, nullptr));
        return std::move(result_);
    }

private:
    Ref target_;
    Ref result_;
    FrameObject* frame_ = nullptr;
};

// `co_await await_on(x)`: awaits the awaitable `x`.
inline Await await_on(PyObject* awaitable) noexcept { return Await(Ref::borrow(awaitable)); }
inline Await await_on(Ref&& awaitable) noexcept { return Await(std::move(awaitable)); }

// `co_await await_call(f, args...)`: awaits `f(args...)` (PyObject* args).
template <class... A>
inline Await await_call(PyObject* callable, A... args) noexcept {
    if constexpr (sizeof...(A) == 0) {
        return Await(Ref::steal(PyObject_CallNoArgs(callable)));
    } else {
        PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
        return Await(Ref::steal(
            PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }
}

// `co_await await_method(obj, name, args...)`: awaits `obj.name(args...)`;
// `name` is a str, ideally interned at module initialisation.
template <class... A>
inline Await await_method(PyObject* obj, PyObject* name, A... args) noexcept {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return Await(Ref::steal(
        PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
}

// ---- cancellation of the current asyncio task ------------------------------------

// For a body that catches CancelledError: tells a cancellation of the task
// running the body (which must propagate) from one the body caused itself
// (e.g. by cancelling a task it awaits).  Declare it as a local of the body
// (it holds the task as a Root), `record()` before awaiting, and ask
// `task_cancelled()` when the await ended in CancelledError.
class TaskCancellation {
public:
    // Records the current task and its cancelling() count: 0, or -1 with an
    // error set.  Outside a task nothing is recorded.
    BW_CORE_API int record() noexcept;
    // 1 when the recorded task's cancelling() count grew since record(): its
    // own cancellation, which must not be swallowed; 0 otherwise.  The
    // pending error is kept; -1 replaces it by the failure of the check.
    BW_CORE_API int task_cancelled() noexcept;

private:
    Root task_;
    Py_ssize_t count_ = 0;
};

// `co_await anext(it)`: awaits `it.__anext__()`.  Null with StopAsyncIteration
// at the end of the iteration (see end_of_iteration()).
BW_CORE_API PyObject* call_anext(PyObject* async_iterator) noexcept;
inline Await anext(PyObject* async_iterator) noexcept { return Await(Ref::steal(call_anext(async_iterator))); }
// `aiter(obj)`: obj.__aiter__() as a new reference (null with TypeError).
BW_CORE_API PyObject* aiter(PyObject* async_iterable) noexcept;

// ---- promises ------------------------------------------------------------------

struct PromiseBase {
    FrameObject* frame;

    explicit PromiseBase(void* frame_address) noexcept : frame(attach_frame(frame_address)) {}

    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { set_error_from_cxx_exception(); }

    Await await_transform(Await&& a) noexcept { return std::move(a); }
    Await await_transform(PyObject* awaitable) noexcept { return await_on(awaitable); }
    Await await_transform(Ref&& awaitable) noexcept { return await_on(std::move(awaitable)); }
    Await await_transform(const Ref& awaitable) noexcept { return await_on(awaitable.get()); }
    Await await_transform(const Root& awaitable) noexcept { return await_on(awaitable.get()); }
};

template <class Promise, Kind K>
struct FrameAllocation {
    static void* operator new(size_t size) noexcept { return allocate_frame(K, size); }
    // The memory belongs to the Python object, freed with it.
    static void operator delete(void*) noexcept {}
};

class Task;
class AsyncGen;

// Owner of a freshly created coroutine object until make_coroutine() hands
// it to Python.  Dropping a Task drops the coroutine (without running it).
class [[nodiscard]] Task {
public:
    struct promise_type : PromiseBase, FrameAllocation<promise_type, Kind::Coroutine> {
        promise_type() noexcept
            : PromiseBase(std::coroutine_handle<promise_type>::from_promise(*this).address()) {}
        Task get_return_object() noexcept { return Task(frame); }
        static Task get_return_object_on_allocation_failure() noexcept { return Task(nullptr); }
        void return_value(Ref&& r) noexcept { frame->result = r.release(); }
        void return_value(Root&& r) noexcept { frame->result = r.release(); }
        void return_value(std::nullptr_t) noexcept {}
        // Takes over a new reference (or null: an error is pending).
        void return_value(PyObject* stolen) noexcept { frame->result = stolen; }
    };

    Task(Task&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() { Py_XDECREF(reinterpret_cast<PyObject*>(obj_)); }

    // Hands the coroutine object over (null when the frame could not be made).
    FrameObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Task(FrameObject* f) noexcept : obj_(f) {}
    FrameObject* obj_;
};

// Owner of a freshly created async generator object; see Task.
class [[nodiscard]] AsyncGen {
public:
    struct promise_type : PromiseBase, FrameAllocation<promise_type, Kind::AsyncGen> {
        promise_type() noexcept
            : PromiseBase(std::coroutine_handle<promise_type>::from_promise(*this).address()) {}
        AsyncGen get_return_object() noexcept { return AsyncGen(frame); }
        static AsyncGen get_return_object_on_allocation_failure() noexcept { return AsyncGen(nullptr); }
        // `co_return;` (or the end of the body) ends the iteration, or
        // propagates the pending error if there is one.
        void return_void() noexcept {}

        struct YieldAwaiter {
            FrameObject* frame;
            Ref value;
            bool suspended = false;
            bool await_ready() noexcept { return !value; }  // a failed value: error pending
            void await_suspend(std::coroutine_handle<>) noexcept {
                frame->out = value.release();
                frame->yielded = true;
                suspended = true;
            }
            Ref await_resume() noexcept {
                if (!suspended) return Ref();
                return Ref::steal(std::exchange(frame->value, nullptr));
            }
        };
        // `co_yield v` hands `v` to the consumer (a Ref is taken over, a raw
        // pointer is borrowed; a null value propagates the pending error).
        // It gives the value sent with asend() (None for __anext__), or null
        // with the error thrown in by athrow()/aclose(): then end the body.
        YieldAwaiter yield_value(Ref&& v) noexcept { return YieldAwaiter{frame, std::move(v)}; }
        YieldAwaiter yield_value(Root&& v) noexcept { return YieldAwaiter{frame, Ref::steal(v.release())}; }
        YieldAwaiter yield_value(PyObject* borrowed) noexcept { return YieldAwaiter{frame, Ref::borrow(borrowed)}; }
        YieldAwaiter yield_value(const Ref& v) noexcept { return YieldAwaiter{frame, Ref::borrow(v.get())}; }
        YieldAwaiter yield_value(const Root& v) noexcept { return YieldAwaiter{frame, Ref::borrow(v.get())}; }
    };

    AsyncGen(AsyncGen&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    AsyncGen(const AsyncGen&) = delete;
    AsyncGen& operator=(const AsyncGen&) = delete;
    ~AsyncGen() { Py_XDECREF(reinterpret_cast<PyObject*>(obj_)); }

    FrameObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit AsyncGen(FrameObject* f) noexcept : obj_(f) {}
    FrameObject* obj_;
};

// Hands a coroutine to Python: returns the coroutine object (new reference),
// or null with an error set.  `qualname` must be a string with static storage
// ("Message.read"); it names the object in reprs, warnings, its cr_code and
// the frame that tracebacks and asyncio's call graphs show for it.
BW_CORE_API PyObject* make_coroutine(Task&& task, const char* qualname) noexcept;
// Same for an async generator: returns an async iterator.
BW_CORE_API PyObject* make_async_gen(AsyncGen&& gen, const char* qualname) noexcept;

}  // namespace bw::coro
