// extract_rsgi_headers: the scope's headers, given as a list, a tuple, a
// mapping (through items()) or a plain iterable of pairs of str or bytes,
// come out as a list of (bytes, bytes) in order, each str its Latin-1
// encoding (through the shared objects of KNOWN_HEADERS and
// HEADER_VAL_BYTES when listed there).  Text beyond Latin-1 is refused with
// UnicodeEncodeError.
//
// Input: one byte of shape, then NUL-separated names and values, read as
// UTF-8 (with surrogateescape) so that text beyond Latin-1 occurs.
#include "harness.hpp"

#include <vector>

namespace {

using harness::Ref;

PyObject* extract;
PyObject* known_headers;

Ref text_of(std::string_view s) {
    Ref t = Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
    if (!t) harness::fail("decoding the input");
    return t;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::init();
    extract = harness::import_attr("brindlewick.scribe", "extract_rsgi_headers");
    known_headers = harness::import_attr("brindlewick.scribe", "KNOWN_HEADERS");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    unsigned shape = data[0];
    if ((shape & 3) == 3) shape &= ~0x30u;  // a mapping of str to str
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::vector<std::string_view> fields;
    while (true) {
        size_t nul = rest.find('\0');
        fields.push_back(rest.substr(0, nul));
        if (nul == std::string_view::npos) break;
        rest.remove_prefix(nul + 1);
    }
    if (fields.size() % 2) fields.pop_back();

    Ref pairs = Ref::steal(PyList_New(0));
    Ref expected = Ref::steal(PyList_New(0));
    bool encodable = true;
    for (size_t i = 0; i < fields.size(); i += 2) {
        // Bits 4 and 5 of the shape byte: names (every other one) and values
        // as bytes rather than str; bit 6: pairs as lists.
        bool name_bytes = (shape >> 4) & 1 && i % 4 == 0, value_bytes = (shape >> 5) & 1;
        Ref name = name_bytes ? Ref::steal(harness::bytes(fields[i])) : text_of(fields[i]);
        Ref value = value_bytes ? Ref::steal(harness::bytes(fields[i + 1])) : text_of(fields[i + 1]);
        Ref pair = (shape >> 6) & 1 ? Ref::steal(Py_BuildValue("[OO]", name.get(), value.get()))
                                    : Ref::steal(PyTuple_Pack(2, name.get(), value.get()));
        PyList_Append(pairs.get(), pair.get());
        Ref n = name_bytes ? Ref::borrow(name.get()) : Ref::steal(PyUnicode_AsLatin1String(name.get()));
        Ref v = value_bytes ? Ref::borrow(value.get()) : Ref::steal(PyUnicode_AsLatin1String(value.get()));
        if (!n || !v) {
            PyErr_Clear();
            encodable = false;
            continue;
        }
        Ref entry = Ref::steal(PyTuple_Pack(2, n.get(), v.get()));
        PyList_Append(expected.get(), entry.get());
    }

    Ref source;
    switch (shape & 3) {
        case 0: source = Ref::borrow(pairs.get()); break;
        case 1: source = Ref::steal(PyList_AsTuple(pairs.get())); break;
        case 2: source = Ref::steal(PyObject_GetIter(pairs.get())); break;
        default: {
            // A mapping: later names replace earlier ones, as in the dict.
            Ref dict = Ref::steal(PyDict_New());
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); i++) {
                PyObject* p = PyList_GET_ITEM(pairs.get(), i);
                PyDict_SetItem(dict.get(), PySequence_Fast_GET_ITEM(p, 0), PySequence_Fast_GET_ITEM(p, 1));
            }
            Ref items = Ref::steal(PyObject_CallMethod(dict.get(), "items", nullptr));
            Ref listed = Ref::steal(PySequence_List(items.get()));
            pairs = std::move(listed);
            expected = Ref::steal(PyList_New(0));
            encodable = true;
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); i++) {
                PyObject* p = PyList_GET_ITEM(pairs.get(), i);
                Ref n = Ref::steal(PyUnicode_AsLatin1String(PyTuple_GET_ITEM(p, 0)));
                Ref v = Ref::steal(PyUnicode_AsLatin1String(PyTuple_GET_ITEM(p, 1)));
                if (!n || !v) {
                    PyErr_Clear();
                    encodable = false;
                    continue;
                }
                Ref entry = Ref::steal(PyTuple_Pack(2, n.get(), v.get()));
                PyList_Append(expected.get(), entry.get());
            }
            source = std::move(dict);
            break;
        }
    }
    harness::check(!PyErr_Occurred(), "building the input raised");

    Ref got = Ref::steal(PyObject_CallOneArg(extract, source.get()));
    if (!encodable) {
        harness::check(!got, "text beyond Latin-1 was accepted");
        PyObject* allowed[] = {PyExc_UnicodeEncodeError, nullptr};
        harness::expect_error(allowed, "extract_rsgi_headers");
        return 0;
    }
    if (!got) harness::fail("extract_rsgi_headers raised", harness::repr(source.get()).c_str());
    if (!harness::equal(got.get(), expected.get()))
        harness::fail("extract_rsgi_headers gives other pairs",
                      (harness::repr(source.get()) + " -> " + harness::repr(got.get())).c_str());
    // Known names come as the shared objects.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(got.get()); i++) {
        PyObject* entry = PyList_GET_ITEM(got.get(), i);
        harness::check(PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2, "an entry is not a pair");
        PyObject* name_in = PySequence_Fast_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 0);
        if (!PyUnicode_Check(name_in)) continue;
        PyObject* shared = PyDict_GetItemWithError(known_headers, name_in);
        if (shared) harness::check(PyTuple_GET_ITEM(entry, 0) == shared, "a known name is not the shared object");
        PyErr_Clear();
    }
    return 0;
}
