#include "harness.hpp"

#ifndef BW_FUZZ_PKG_DIR
#error "BW_FUZZ_PKG_DIR must name the importable tree of the build"
#endif
#ifndef BW_FUZZ_PYTHON
#error "BW_FUZZ_PYTHON must name the interpreter whose environment is embedded"
#endif

// Defaults for runs by hand; the environment still overrides them.  The
// interpreter keeps caches for the life of the process, so leak detection
// would report them after every input.
extern "C" const char* __asan_default_options() { return "detect_leaks=0:abort_on_error=1"; }
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

namespace harness {

namespace {

[[noreturn]] void fatal_python(const char* what) {
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    if (PyErr_Occurred()) PyErr_Print();
    std::abort();
}

}  // namespace

void init() {
    static bool ready = false;
    if (ready) return;
    ready = true;

    PyPreConfig pre;
    PyPreConfig_InitPythonConfig(&pre);
    pre.allocator = PYMEM_ALLOCATOR_MALLOC;
    PyStatus status = Py_PreInitialize(&pre);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.faulthandler = 0;
    config.install_signal_handlers = 0;  // libFuzzer owns SIGINT, SIGALRM and the rest
    config.parse_argv = 0;
    // The virtual environment's interpreter: its pyvenv.cfg leads to the
    // standard library and to the installed requirements.
    status = PyConfig_SetBytesString(&config, &config.executable, BW_FUZZ_PYTHON);
    if (!PyStatus_Exception(status)) status = PyConfig_SetBytesString(&config, &config.program_name, BW_FUZZ_PYTHON);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    const char* pkg = std::getenv("BW_FUZZ_PKG");
    Ref path = Ref::steal(PyUnicode_DecodeFSDefault(pkg && *pkg ? pkg : BW_FUZZ_PKG_DIR));
    PyObject* sys_path = PySys_GetObject("path");  // borrowed
    if (!path || !sys_path || PyList_Insert(sys_path, 0, path.get()) < 0) fatal_python("cannot set sys.path");
}

PyObject* import_attr(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    if (!mod) fatal_python("cannot import the module under test");
    PyObject* attr = PyObject_GetAttrString(mod.get(), name);
    if (!attr) fatal_python("the module under test lacks an attribute");
    return attr;
}

void fail(const char* what, const char* detail) {
    std::fprintf(stderr, "\n== property broken: %s\n", what);
    if (detail) std::fprintf(stderr, "%s\n", detail);
    if (PyErr_Occurred()) PyErr_Print();
    std::fflush(stderr);
    std::abort();
}

std::string repr(PyObject* obj) {
    if (!obj) return "<NULL>";
    PyObject* saved = PyErr_GetRaisedException();
    std::string out = "<unrepresentable>";
    Ref text = Ref::steal(PyObject_Repr(obj));
    if (text) {
        Py_ssize_t n;
        const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
        if (s) out.assign(s, static_cast<size_t>(n));
    }
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
    return out;
}

bool equal(PyObject* a, PyObject* b) {
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) fail("comparing two results raised");
    return r == 1;
}

void expect_error(PyObject* const* allowed, const char* where) {
    PyObject* exc = PyErr_Occurred();
    if (!exc) fail(where, "a call returned NULL without an exception");
    for (PyObject* const* p = allowed; *p; p++)
        if (PyErr_ExceptionMatches(*p)) {
            PyErr_Clear();
            return;
        }
    fail(where, "an unexpected exception type");
}

}  // namespace harness
