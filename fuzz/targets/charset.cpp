// parse_charset(value) against the regular expression it stands for: the
// native search must find exactly what `_charset_rx.search(value)` finds
// (the first "charset=" in any letter case followed by word characters or
// hyphens), and the charset of a Message with that content-type is that
// name, or "utf8" when there is none.
#include "harness.hpp"

namespace {

using harness::Ref;

PyObject* parse_charset;
PyObject* charset_rx;
PyObject* message_type;

// What the pattern finds, as parse_charset would answer it.
Ref regex_answer(PyObject* value) {
    Ref match = Ref::steal(PyObject_CallMethod(charset_rx, "search", "O", value));
    if (!match) harness::fail("_charset_rx.search raised");
    if (match.get() == Py_None) return Ref::borrow(Py_None);
    Ref group = Ref::steal(PyObject_CallMethod(match.get(), "group", "i", 1));
    if (!group) harness::fail("group(1) raised");
    Ref text = Ref::steal(PyUnicode_DecodeASCII(PyBytes_AS_STRING(group.get()), PyBytes_GET_SIZE(group.get()), nullptr));
    if (!text) harness::fail("the pattern matched non-ASCII bytes");
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::init();
    parse_charset = harness::import_attr("brindlewick.messages", "parse_charset");
    charset_rx = harness::import_attr("brindlewick.messages", "_charset_rx");
    message_type = harness::import_attr("brindlewick.messages", "Message");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Ref value = Ref::steal(harness::bytes({reinterpret_cast<const char*>(data), size}));
    Ref got = Ref::steal(PyObject_CallOneArg(parse_charset, value.get()));
    if (!got) harness::fail("parse_charset raised on bytes");
    Ref want = regex_answer(value.get());
    if (!harness::equal(got.get(), want.get()))
        harness::fail("parse_charset disagrees with _charset_rx",
                      (harness::repr(value.get()) + " -> " + harness::repr(got.get()) + ", the pattern says " +
                       harness::repr(want.get()))
                          .c_str());

    // Through a message: the content-type header's charset, "utf8" when it
    // names none.
    Ref headers = Ref::steal(Py_BuildValue("[(yO)]", "Content-Type", value.get()));
    Ref message = Ref::steal(PyObject_CallOneArg(message_type, headers.get()));
    if (!message) harness::fail("Message() raised");
    Ref charset = Ref::steal(PyObject_GetAttrString(message.get(), "charset"));
    if (!charset) harness::fail("Message.charset raised");
    Ref expected = want.get() == Py_None ? Ref::steal(PyUnicode_FromString("utf8")) : Ref::borrow(want.get());
    if (!harness::equal(charset.get(), expected.get()))
        harness::fail("Message.charset disagrees with parse_charset",
                      (harness::repr(value.get()) + " -> " + harness::repr(charset.get())).c_str());
    return 0;
}
