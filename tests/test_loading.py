"""The loading contract: entry-point tables, their checks, one-time initialisation."""

import ctypes
import subprocess
import sys
import textwrap

import pytest

import brindlewick.contents
import brindlewick.cookies
import brindlewick.messages
import brindlewick.url

_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]


def capsule_signature(capsule):
    return _get_name(capsule).decode()


@pytest.mark.parametrize(
    "module, name, signature",
    [
        (brindlewick.contents, "parse_www_form_urlencoded", "PyObject *(PyObject *)"),
        (brindlewick.cookies, "parse_cookie", "PyObject *(PyObject *)"),
        (brindlewick.cookies, "write_cookie_for_response", "PyObject *(PyObject *)"),
        (brindlewick.cookies, "datetime_to_cookie_format", "PyObject *(PyObject *)"),
        (brindlewick.cookies, "split_value", "PyObject *(PyObject *, PyObject *)"),
        (brindlewick.url, "build_absolute_url", "PyObject *(PyObject *, PyObject *, PyObject *, PyObject *)"),
    ],
)
def test_sibling_entry_points_are_published(module, name, signature):
    assert capsule_signature(module.__pyx_capi__[name]) == signature


def run_isolated(code):
    """Runs code in a fresh interpreter; returns (returncode, stderr)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )
    return proc.returncode, proc.stdout + proc.stderr


FAKE_URL = """
import ctypes, sys, types, importlib
real = importlib.import_module("brindlewick.url")
new = ctypes.pythonapi.PyCapsule_New
new.restype = ctypes.py_object
new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
fake = types.ModuleType("brindlewick.url")
fake.URL = real.URL
fake.__pyx_capi__ = {CAPI}
sys.modules["brindlewick.url"] = fake
try:
    import brindlewick.messages
except Exception as e:
    print(type(e).__name__ + ": " + str(e))
else:
    print("imported")
"""


def test_wrong_signature_is_refused():
    code = FAKE_URL.replace("{CAPI}", '{"build_absolute_url": new(1, b"int (int)", None)}')
    rc, out = run_isolated(code)
    assert rc == 0
    assert out.strip() == (
        "TypeError: C function brindlewick.url.build_absolute_url has wrong signature "
        "(expected PyObject *(PyObject *, PyObject *, PyObject *, PyObject *), got int (int))"
    )


def test_missing_entry_point_is_refused():
    rc, out = run_isolated(FAKE_URL.replace("{CAPI}", "{}"))
    assert out.strip() == "ImportError: brindlewick.url does not export expected C function build_absolute_url"


def test_class_that_is_not_a_type_is_refused():
    rc, out = run_isolated(
        """
        import sys, types, importlib
        real = importlib.import_module("brindlewick.contents")
        fake = types.ModuleType("brindlewick.contents")
        fake.__pyx_capi__ = real.__pyx_capi__
        fake.Content = 5
        sys.modules["brindlewick.contents"] = fake
        try:
            import brindlewick.messages
        except TypeError as e:
            print(e)
        """
    )
    assert out.strip() == "brindlewick.contents.Content is not a type object"


@pytest.mark.parametrize("module", ["messages", "contents", "url", "cookies"])
def test_reinitialisation_is_refused(module):
    rc, out = run_isolated(
        f"""
        import importlib, sys
        importlib.import_module("brindlewick.{module}")
        importlib.reload(sys.modules["brindlewick.{module}"])  # same module object: a no-op
        del sys.modules["brindlewick.{module}"]
        try:
            importlib.import_module("brindlewick.{module}")
        except ImportError as e:
            print(e)
        """
    )
    assert out.strip() == (
        f"Module '{module}' has already been imported. Re-initialisation is not supported."
    )


INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.mark.parametrize("module", ["messages", "url"])
def test_isolated_subinterpreter_is_refused_by_the_interpreter(module):
    pytest.importorskip("concurrent.interpreters")
    rc, out = run_isolated(
        f"""
        import brindlewick.{module}
        from concurrent import interpreters
        interp = interpreters.create()
        try:
            interp.exec("import brindlewick.{module}")
        except interpreters.ExecutionFailed as e:
            print(e.excinfo.type.__name__, e.excinfo.msg)
        finally:
            interp.close()
        """
    )
    assert out.strip() == f"ImportError module brindlewick.{module} does not support loading in subinterpreters"


@pytest.mark.parametrize("module", ["messages", "url"])
def test_legacy_subinterpreter_gets_interpreter_change_error(module):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no legacy subinterpreters here")
    sub = f"try:\n import brindlewick.{module}\nexcept ImportError as e:\n print('sub:', e)\nelse:\n print('sub: ok')\n"
    # The main interpreter's modules keep working afterwards.
    rc, out = run_isolated(
        f"""
        import _testcapi, brindlewick.{module}
        _testcapi.run_in_subinterp({sub!r})
        import brindlewick.url
        print("main:", brindlewick.url.URL(b"/a").path)
        """
    )
    assert out.strip().splitlines() == [f"sub: {INTERPRETER_CHANGE}", "main: b'/a'"]
