// The charsets a client may name for a body: the labels of the WHATWG
// Encoding Standard's text encodings, each mapped to the Python codec that
// decodes it.  Anything else (unknown names, utf-7, codecs that are not text
// encodings such as base64, rot13 or unicode_escape) is refused with
// BadRequest, so that no client can pick a decoder that turns bytes a filter
// checked into other characters.
//
// A label decodes with the Python codec of its own meaning where Python has
// one (iso-8859-1 as latin-1, us-ascii as ascii, iso-8859-9 as iso8859-9),
// otherwise with the codec of the encoding the standard maps it to
// (shift_jis as cp932, euc-kr as cp949, gb2312 as gb18030).  The replacement
// encoding's labels (iso-2022-kr, hz-gb-2312, ...) and x-user-defined have no
// text decoder and are refused too.
//
// The table becomes a dict (label -> interned codec name) when the module
// loads; a lookup first tries the label as given, then with ASCII whitespace
// stripped and ASCII letters lowered, as the standard's "get an encoding"
// does.
#include <Python.h>

#include <cstring>

#include "brindlewick/args.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/pyref.hpp"
#include "contents.hpp"

namespace bw::contents {

namespace {

struct Encoding {
    const char* codec;   // Python codec name
    const char* labels;  // the labels, separated by spaces
};

constexpr Encoding kEncodings[] = {
    {"utf-8", "unicode-1-1-utf-8 unicode11utf8 unicode20utf8 utf-8 utf8 x-unicode20utf8"},
    {"cp866", "866 cp866 csibm866 ibm866"},
    {"iso8859-2", "csisolatin2 iso-8859-2 iso-ir-101 iso8859-2 iso88592 iso_8859-2 iso_8859-2:1987 l2 latin2"},
    {"iso8859-3", "csisolatin3 iso-8859-3 iso-ir-109 iso8859-3 iso88593 iso_8859-3 iso_8859-3:1988 l3 latin3"},
    {"iso8859-4", "csisolatin4 iso-8859-4 iso-ir-110 iso8859-4 iso88594 iso_8859-4 iso_8859-4:1988 l4 latin4"},
    {"iso8859-5", "csisolatincyrillic cyrillic iso-8859-5 iso-ir-144 iso8859-5 iso88595 iso_8859-5 iso_8859-5:1988"},
    {"iso8859-6",
     "arabic asmo-708 csiso88596e csiso88596i csisolatinarabic ecma-114 iso-8859-6 iso-8859-6-e iso-8859-6-i "
     "iso-ir-127 iso8859-6 iso88596 iso_8859-6 iso_8859-6:1987"},
    {"iso8859-7",
     "csisolatingreek ecma-118 elot_928 greek greek8 iso-8859-7 iso-ir-126 iso8859-7 iso88597 iso_8859-7 "
     "iso_8859-7:1987 sun_eu_greek"},
    {"iso8859-8",
     "csiso88598e csisolatinhebrew hebrew iso-8859-8 iso-8859-8-e iso-ir-138 iso8859-8 iso88598 iso_8859-8 "
     "iso_8859-8:1988 visual csiso88598i iso-8859-8-i logical"},
    {"iso8859-10", "csisolatin6 iso-8859-10 iso-ir-157 iso8859-10 iso885910 l6 latin6"},
    {"iso8859-13", "iso-8859-13 iso8859-13 iso885913"},
    {"iso8859-14", "iso-8859-14 iso8859-14 iso885914"},
    {"iso8859-15", "csisolatin9 iso-8859-15 iso8859-15 iso885915 iso_8859-15 l9"},
    {"iso8859-16", "iso-8859-16"},
    {"koi8-r", "cskoi8r koi koi8 koi8-r koi8_r"},
    {"koi8-u", "koi8-ru koi8-u"},
    {"mac-roman", "csmacintosh mac macintosh x-mac-roman"},
    {"cp874", "dos-874 windows-874"},
    {"iso8859-11", "iso-8859-11 iso8859-11 iso885911"},
    {"tis-620", "tis-620"},
    {"cp1250", "cp1250 windows-1250 x-cp1250"},
    {"cp1251", "cp1251 windows-1251 x-cp1251"},
    {"cp1252", "cp1252 windows-1252 x-cp1252"},
    {"latin-1", "cp819 csisolatin1 ibm819 iso-8859-1 iso-ir-100 iso8859-1 iso88591 iso_8859-1 iso_8859-1:1987 l1 latin1"},
    {"ascii", "ansi_x3.4-1968 ascii us-ascii"},
    {"cp1253", "cp1253 windows-1253 x-cp1253"},
    {"cp1254", "cp1254 windows-1254 x-cp1254"},
    {"iso8859-9", "csisolatin5 iso-8859-9 iso-ir-148 iso8859-9 iso88599 iso_8859-9 iso_8859-9:1989 l5 latin5"},
    {"cp1255", "cp1255 windows-1255 x-cp1255"},
    {"cp1256", "cp1256 windows-1256 x-cp1256"},
    {"cp1257", "cp1257 windows-1257 x-cp1257"},
    {"cp1258", "cp1258 windows-1258 x-cp1258"},
    {"mac-cyrillic", "x-mac-cyrillic x-mac-ukrainian"},
    {"gb18030", "chinese csgb2312 csiso58gb231280 gb2312 gb_2312 gb_2312-80 gbk iso-ir-58 x-gbk gb18030"},
    {"big5hkscs", "big5 big5-hkscs cn-big5 csbig5 x-x-big5"},
    {"euc_jp", "cseucpkdfmtjapanese euc-jp x-euc-jp"},
    {"iso2022_jp", "csiso2022jp iso-2022-jp"},
    {"cp932", "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j x-sjis"},
    {"cp949",
     "cseuckr csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987 ks_c_5601-1989 ksc5601 ksc_5601 windows-949"},
    {"utf-16-be", "unicodefffe utf-16be"},
    // "utf-16" keeps Python's reading: a byte order mark decides, else little-endian.
    {"utf-16-le", "csunicode iso-10646-ucs-2 ucs-2 unicode unicodefeff utf-16le"},
    {"utf-16", "utf-16"},
};

// The longest label is "cseucpkdfmtjapanese" (19 bytes); longer names are
// not labels whatever their letter case.
constexpr Py_ssize_t kMaxLabel = 40;

inline bool is_ascii_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

PyObject* refuse(PyObject* label) {
    PyErr_Format(state.BadRequest, "Unsupported charset %.80R", label);
    return nullptr;
}

// The label with ASCII whitespace stripped and ASCII letters lowered, looked
// up in the table; a new reference to the codec name, or null (error set).
PyObject* lookup_normalized(PyObject* label, const char* data, Py_ssize_t length) {
    while (length > 0 && is_ascii_space(data[0])) data++, length--;
    while (length > 0 && is_ascii_space(data[length - 1])) length--;
    if (length == 0 || length > kMaxLabel) return refuse(label);
    char lowered[kMaxLabel];
    for (Py_ssize_t i = 0; i < length; i++) {
        auto c = static_cast<unsigned char>(data[i]);
        if (c >= 0x80) return refuse(label);
        lowered[i] = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    Ref key = Ref::steal(PyUnicode_DecodeASCII(lowered, length, nullptr));
    if (!key) return nullptr;
    PyObject* codec;
    if (PyDict_GetItemRef(state.charset_codecs, key.get(), &codec) < 0) return nullptr;
    return codec ? codec : refuse(label);
}

PyObject* py_charset_codec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"label"};
    static args::Signature sig{"charset_codec", names, 1, 1};
    PyObject* a[1];
    if (!args::parse(sig, args, nargs, kwnames, a)) return nullptr;
    return charset_codec(a[0]);
}

PyMethodDef functions[] = {
    {"charset_codec", BW_METH_FASTCALL_KW(py_charset_codec),
     "charset_codec(label: str | bytes) -> str\n\nThe Python codec that decodes a body whose declared charset is "
     "`label`, one of the WHATWG Encoding Standard's labels of a text encoding (letter case and surrounding "
     "whitespace ignored); BadRequest for any other name."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* charset_codec(PyObject* label) {
    if (PyUnicode_CheckExact(label)) {
        PyObject* codec;
        if (PyDict_GetItemRef(state.charset_codecs, label, &codec) < 0) return nullptr;
        if (codec) return codec;
        Py_ssize_t length;
        const char* data = PyUnicode_AsUTF8AndSize(label, &length);
        if (!data) return nullptr;
        return lookup_normalized(label, data, length);
    }
    if (PyBytes_Check(label)) return lookup_normalized(label, PyBytes_AS_STRING(label), PyBytes_GET_SIZE(label));
    if (PyUnicode_Check(label)) {
        Py_ssize_t length;
        const char* data = PyUnicode_AsUTF8AndSize(label, &length);
        if (!data) return nullptr;
        return lookup_normalized(label, data, length);
    }
    return args::raise_arg_type("label", "str or bytes", label), nullptr;
}

int init_charsets(PyObject* module) {
    Ref table = Ref::steal(PyDict_New());
    if (!table) return -1;
    for (const Encoding& e : kEncodings) {
        Ref codec = Ref::steal(PyUnicode_InternFromString(e.codec));
        if (!codec) return -1;
        for (const char* p = e.labels; *p;) {
            const char* end = strchr(p, ' ');
            if (!end) end = p + strlen(p);
            PyObject* text = PyUnicode_DecodeASCII(p, end - p, nullptr);
            if (!text) return -1;
            PyUnicode_InternInPlace(&text);
            Ref key = Ref::steal(text);
            if (PyDict_SetItem(table.get(), key.get(), codec.get()) < 0) return -1;
            p = *end ? end + 1 : end;
        }
    }
    Py_XSETREF(state.charset_codecs, table.release());
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    return capi::export_function(module, "charset_codec", &charset_codec, siblings::kCharsetCodecSig);
}

}  // namespace bw::contents
