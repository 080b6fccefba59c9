// Writing and reading set-cookie values, and splitting cookie fragments.
//
// Names and values are percent-encoded on the way out wherever a byte is not
// allowed raw by RFC 6265 (and '%' itself), so no CR, LF, ';', ',', space or
// quote of a name or value ever reaches the header.  Domain and path are
// checked when they are assigned instead, because they are matched by the
// client as written.  Reading percent-decodes name and value, so a written
// cookie parses back to the same name, value and attributes.
#include <Python.h>

#include <array>
#include <cstring>
#include <string_view>

#include "brindlewick/args.hpp"
#include "brindlewick/buffer.hpp"
#include "brindlewick/capi.hpp"
#include "brindlewick/pyref.hpp"
#include "cookies.hpp"
#include "dates.hpp"

namespace bw::cookies {

namespace {

using ByteSet = std::array<bool, 256>;

// Token characters of a cookie name, without '%'.
constexpr ByteSet make_name_set() {
    ByteSet set{};
    for (int c = 0x21; c < 0x7F; c++) set[c] = true;
    for (char c : std::string_view("()<>@,;:\\\"/[]?={}%")) set[static_cast<unsigned char>(c)] = false;
    return set;
}

// Octets of a cookie value, without '%'.
constexpr ByteSet make_value_set() {
    ByteSet set{};
    for (int c = 0x21; c < 0x7F; c++) set[c] = true;
    for (char c : std::string_view("\",;\\%")) set[static_cast<unsigned char>(c)] = false;
    return set;
}

constexpr ByteSet kNameSafe = make_name_set();
constexpr ByteSet kValueSafe = make_value_set();
constexpr char kHex[] = "0123456789ABCDEF";

size_t encoded_length(const char* data, Py_ssize_t length, const ByteSet& safe) {
    size_t n = static_cast<size_t>(length);
    for (Py_ssize_t i = 0; i < length; i++)
        if (!safe[static_cast<unsigned char>(data[i])]) n += 2;
    return n;
}

char* encode_into(char* out, const char* data, Py_ssize_t length, const ByteSet& safe) {
    for (Py_ssize_t i = 0; i < length; i++) {
        auto c = static_cast<unsigned char>(data[i]);
        if (safe[c]) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = '%';
            *out++ = kHex[c >> 4];
            *out++ = kHex[c & 15];
        }
    }
    return out;
}

char* append(char* out, const char* text, size_t length) {
    memcpy(out, text, length);
    return out + length;
}

template <size_t N>
char* append(char* out, const char (&literal)[N]) {
    return append(out, literal, N - 1);
}

inline int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline bool is_wsp(char c) { return c == ' ' || c == '\t'; }

void trim(const char*& begin, const char*& end) {
    while (begin < end && is_wsp(*begin)) begin++;
    while (end > begin && is_wsp(end[-1])) end--;
}

bool equals_ci(const char* begin, const char* end, const char* lower) {
    size_t n = strlen(lower);
    if (static_cast<size_t>(end - begin) != n) return false;
    for (size_t i = 0; i < n; i++)
        if ((static_cast<unsigned char>(begin[i]) | 0x20) != static_cast<unsigned char>(lower[i])) return false;
    return true;
}

// ValueError "malformed cookie: <what> <text>" with the offending text.
void raise_malformed(const char* what, const char* begin, const char* end) {
    Ref text = Ref::steal(PyBytes_FromStringAndSize(begin, end - begin));
    if (!text) return;
    PyErr_Format(PyExc_ValueError, "malformed cookie: %s %.200R", what, text.get());
}

// Percent-decodes `[begin, end)` and reads it as UTF-8.  A '%' that does
// not start a valid escape stays as it is.
PyObject* decode_text(const char* begin, const char* end, const char* what, Buffer& scratch) {
    const char* pct = static_cast<const char*>(memchr(begin, '%', static_cast<size_t>(end - begin)));
    const char* data = begin;
    size_t length = static_cast<size_t>(end - begin);
    if (pct) {
        // Decoding only ever shrinks the text: one reservation covers it.
        scratch.clear();
        if (!scratch.reserve(length) || !scratch.append(begin, pct - begin)) return nullptr;
        char* out = scratch.data() + scratch.size();
        for (const char* p = pct; p < end; p++) {
            int hi, lo;
            if (*p == '%' && end - p >= 3 && (hi = hex_value(static_cast<unsigned char>(p[1]))) >= 0 &&
                (lo = hex_value(static_cast<unsigned char>(p[2]))) >= 0) {
                *out++ = static_cast<char>(hi * 16 + lo);
                p += 2;
            } else {
                *out++ = *p;
            }
        }
        data = scratch.data();
        length = static_cast<size_t>(out - scratch.data());
    }
    PyObject* text = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(length), nullptr);
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_ValueError, "malformed cookie: the %s is not UTF-8 text once percent-decoded", what);
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetCause(exc, cause);  // steals cause
        PyErr_SetRaisedException(exc);
    }
    return text;
}

// Domain and path are written as they are, so they are read as they are;
// the same checks as on assignment keep them safe.
PyObject* plain_text(const char* begin, const char* end) {
    return PyUnicode_DecodeUTF8(begin, end - begin, "surrogateescape");
}

bool parse_max_age(const char* begin, const char* end, int64_t& out) {
    const char* p = begin;
    bool negative = p < end && *p == '-';
    if (negative) p++;
    if (p == end) return false;
    int64_t value = 0;
    for (; p < end; p++) {
        if (*p < '0' || *p > '9') return false;
        int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    // A Max-Age of zero or less means "expire now".
    out = negative ? 0 : value;
    return true;
}

bool find_bad_char(PyObject* text, bool domain, Py_ssize_t& index, Py_UCS4& ch) {
    int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; i++) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        bool bad = c < 0x20 || c >= 0x7F || c == ';' || (domain && (c == ' ' || c == ','));
        if (bad) {
            index = i;
            ch = c;
            return true;
        }
    }
    return false;
}

bool check_attribute(PyObject* text, const char* what, bool domain) {
    if (text == Py_None) return true;
    Py_ssize_t index;
    Py_UCS4 ch;
    if (find_bad_char(text, domain, index, ch)) {
        Ref one = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(ch)));
        if (!one) return false;
        PyErr_Format(PyExc_ValueError,
                     domain ? "cookie %s must be ASCII without spaces, control characters, ';' or ',' "
                              "(found %R at index %zd)"
                            : "cookie %s must be ASCII without control characters or ';' (found %R at index %zd)",
                     what, one.get(), index);
        return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n > 0 && (PyUnicode_READ_CHAR(text, 0) == ' ' || PyUnicode_READ_CHAR(text, n - 1) == ' ')) {
        PyErr_Format(PyExc_ValueError, "cookie %s must not begin or end with a space", what);
        return false;
    }
    return true;
}

const char* const kSameSiteText[kSameSiteCount] = {"", "Lax", "Strict", "None"};

}  // namespace

bool check_name(PyObject* name) {
    if (PyUnicode_GET_LENGTH(name) == 0) {
        PyErr_SetString(PyExc_ValueError, "cookie name must not be empty");
        return false;
    }
    return true;
}

bool check_domain(PyObject* domain) { return check_attribute(domain, "domain", true); }
bool check_path(PyObject* path) { return check_attribute(path, "path", false); }

// ---- writing -------------------------------------------------------------------

PyObject* write_cookie_for_response(PyObject* obj) {
    if (!PyObject_TypeCheck(obj, state.cookie_type)) {
        args::raise_arg_type("cookie", "Cookie", obj);
        return nullptr;
    }
    auto* cookie = reinterpret_cast<CookieObject*>(obj);
    // The date is formatted first: the expiry's tzinfo (utcoffset) is the one
    // step that may run Python code, and that code may reassign any field.
    // Everything else is read once it has run, with no Python code after,
    // so the UTF-8 pointers into the text fields stay valid while used.
    char date[kCookieDateLength];
    const bool has_expires = cookie->expires != Py_None;
    if (has_expires) {
        Ref expires = Ref::borrow(cookie->expires);
        if (!format_cookie_date(expires.get(), date)) return nullptr;
    }
    if (!check_name(cookie->name)) return nullptr;
    Py_ssize_t name_len, value_len, domain_len = 0, path_len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(cookie->name, &name_len);
    if (!name) return nullptr;
    const char* value = PyUnicode_AsUTF8AndSize(cookie->value, &value_len);
    if (!value) return nullptr;
    const char* domain = nullptr;
    const char* path = nullptr;
    if (cookie->domain != Py_None && !(domain = PyUnicode_AsUTF8AndSize(cookie->domain, &domain_len))) return nullptr;
    if (cookie->path != Py_None && !(path = PyUnicode_AsUTF8AndSize(cookie->path, &path_len))) return nullptr;
    const int64_t max_age_value = cookie->max_age;
    const int same_site = cookie->same_site;
    const bool secure = cookie->secure, http_only = cookie->http_only;

    char max_age[24];
    int max_age_len = 0;
    if (max_age_value >= 0)
        max_age_len = snprintf(max_age, sizeof max_age, "%lld", static_cast<long long>(max_age_value));

    // Size everything first, then write straight into the bytes object.
    size_t size = encoded_length(name, name_len, kNameSafe) + 1 + encoded_length(value, value_len, kValueSafe);
    if (has_expires) size += sizeof("; Expires=") - 1 + kCookieDateLength;
    if (max_age_len) size += sizeof("; Max-Age=") - 1 + static_cast<size_t>(max_age_len);
    if (domain) size += sizeof("; Domain=") - 1 + static_cast<size_t>(domain_len);
    if (path) size += sizeof("; Path=") - 1 + static_cast<size_t>(path_len);
    if (secure) size += sizeof("; Secure") - 1;
    if (http_only) size += sizeof("; HttpOnly") - 1;
    if (same_site != kSameSiteUndefined) size += sizeof("; SameSite=") - 1 + strlen(kSameSiteText[same_site]);

    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!result) return nullptr;
    char* out = PyBytes_AS_STRING(result);
    out = encode_into(out, name, name_len, kNameSafe);
    *out++ = '=';
    out = encode_into(out, value, value_len, kValueSafe);
    if (has_expires) out = append(append(out, "; Expires="), date, kCookieDateLength);
    if (max_age_len) out = append(append(out, "; Max-Age="), max_age, static_cast<size_t>(max_age_len));
    if (domain) out = append(append(out, "; Domain="), domain, static_cast<size_t>(domain_len));
    if (path) out = append(append(out, "; Path="), path, static_cast<size_t>(path_len));
    if (secure) out = append(out, "; Secure");
    if (http_only) out = append(out, "; HttpOnly");
    if (same_site != kSameSiteUndefined) {
        const char* mode = kSameSiteText[same_site];
        out = append(append(out, "; SameSite="), mode, strlen(mode));
    }
    return result;
}

// ---- reading -------------------------------------------------------------------

PyObject* parse_cookie(PyObject* value) {
    if (!PyBytes_Check(value)) {
        args::raise_arg_type("value", "bytes", value);
        return nullptr;
    }
    const char* begin = PyBytes_AS_STRING(value);
    const char* end = begin + PyBytes_GET_SIZE(value);
    const char* semi = static_cast<const char*>(memchr(begin, ';', static_cast<size_t>(end - begin)));
    const char* pair_end = semi ? semi : end;
    const char* eq = static_cast<const char*>(memchr(begin, '=', static_cast<size_t>(pair_end - begin)));
    if (!eq) {
        raise_malformed("no '=' between name and value in", begin, end);
        return nullptr;
    }
    const char *name_begin = begin, *name_end = eq, *value_begin = eq + 1, *value_end = pair_end;
    trim(name_begin, name_end);
    trim(value_begin, value_end);
    if (name_begin == name_end) {
        raise_malformed("empty name in", begin, end);
        return nullptr;
    }
    // A value may be wrapped in double quotes, which are not part of it.
    if (value_end - value_begin >= 2 && *value_begin == '"' && value_end[-1] == '"') {
        value_begin++;
        value_end--;
    }
    Buffer scratch;
    Ref name = Ref::steal(decode_text(name_begin, name_end, "name", scratch));
    if (!name) return nullptr;
    Ref text = Ref::steal(decode_text(value_begin, value_end, "value", scratch));
    if (!text) return nullptr;
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(new_cookie(name.get(), text.get())));
    if (!result) return nullptr;
    auto* cookie = reinterpret_cast<CookieObject*>(result.get());

    // Attributes: known names in any letter case; unknown ones (Partitioned,
    // Priority, ...) are left out, since the cookie has no place for them.
    const char* p = semi;
    while (p && p < end) {
        const char* av_begin = p + 1;
        const char* next = static_cast<const char*>(memchr(av_begin, ';', static_cast<size_t>(end - av_begin)));
        const char* av_end = next ? next : end;
        p = next;
        const char* key_end = static_cast<const char*>(memchr(av_begin, '=', static_cast<size_t>(av_end - av_begin)));
        const char *key_begin = av_begin, *val_begin = key_end ? key_end + 1 : av_end, *val_end = av_end;
        if (!key_end) key_end = av_end;
        trim(key_begin, key_end);
        trim(val_begin, val_end);
        if (key_begin == key_end) continue;
        switch (static_cast<unsigned char>(*key_begin) | 0x20) {
            case 'e':
                if (equals_ci(key_begin, key_end, "expires")) {
                    Ref date = Ref::steal(parse_cookie_date(val_begin, static_cast<size_t>(val_end - val_begin)));
                    if (!date) return nullptr;
                    if (date.get() == Py_None) {
                        raise_malformed("invalid Expires date", val_begin, val_end);
                        return nullptr;
                    }
                    assign_field_steal(cookie->expires, date.release());
                }
                break;
            case 'm':
                if (equals_ci(key_begin, key_end, "max-age") && !parse_max_age(val_begin, val_end, cookie->max_age)) {
                    raise_malformed("invalid Max-Age", val_begin, val_end);
                    return nullptr;
                }
                break;
            case 'd':
                if (equals_ci(key_begin, key_end, "domain")) {
                    Ref domain = Ref::steal(plain_text(val_begin, val_end));
                    if (!domain || !check_domain(domain.get())) return nullptr;
                    assign_field_steal(cookie->domain, domain.release());
                }
                break;
            case 'p':
                if (equals_ci(key_begin, key_end, "path")) {
                    Ref path = Ref::steal(plain_text(val_begin, val_end));
                    if (!path || !check_path(path.get())) return nullptr;
                    assign_field_steal(cookie->path, path.release());
                }
                break;
            case 's':
                if (equals_ci(key_begin, key_end, "secure")) {
                    cookie->secure = true;
                } else if (equals_ci(key_begin, key_end, "samesite")) {
                    if (equals_ci(val_begin, val_end, "lax")) cookie->same_site = kSameSiteLax;
                    else if (equals_ci(val_begin, val_end, "strict")) cookie->same_site = kSameSiteStrict;
                    else if (equals_ci(val_begin, val_end, "none")) cookie->same_site = kSameSiteNone;
                    else {
                        raise_malformed("invalid SameSite", val_begin, val_end);
                        return nullptr;
                    }
                }
                break;
            case 'h':
                if (equals_ci(key_begin, key_end, "httponly")) cookie->http_only = true;
                break;
            default:
                break;
        }
    }
    return result.release();
}

PyObject* split_value(PyObject* fragment, PyObject* separator) {
    if (!PyBytes_Check(fragment)) {
        args::raise_arg_type("fragment", "bytes", fragment);
        return nullptr;
    }
    if (!PyBytes_Check(separator)) {
        args::raise_arg_type("separator", "bytes", separator);
        return nullptr;
    }
    Py_ssize_t sep_len = PyBytes_GET_SIZE(separator);
    if (sep_len == 0) {
        PyErr_SetString(PyExc_ValueError, "empty separator");
        return nullptr;
    }
    const char* begin = PyBytes_AS_STRING(fragment);
    const char* end = begin + PyBytes_GET_SIZE(fragment);
    const char* sep = PyBytes_AS_STRING(separator);
    const char* at = nullptr;
    if (sep_len == 1) {
        at = static_cast<const char*>(memchr(begin, *sep, static_cast<size_t>(end - begin)));
    } else {
        at = static_cast<const char*>(memmem(begin, static_cast<size_t>(end - begin), sep, static_cast<size_t>(sep_len)));
    }
    if (!at) {
        PyErr_Format(PyExc_ValueError, "separator %R not found", separator);
        return nullptr;
    }
    const char *left_begin = begin, *left_end = at, *right_begin = at + sep_len, *right_end = end;
    trim(left_begin, left_end);
    trim(right_begin, right_end);
    Ref left = Ref::steal(PyBytes_FromStringAndSize(left_begin, left_end - left_begin));
    if (!left) return nullptr;
    Ref right = Ref::steal(PyBytes_FromStringAndSize(right_begin, right_end - right_begin));
    if (!right) return nullptr;
    PyObject* pair = PyTuple_New(2);
    if (!pair) return nullptr;
    PyTuple_SET_ITEM(pair, 0, left.release());
    PyTuple_SET_ITEM(pair, 1, right.release());
    return pair;
}

// ---- Python-visible functions ----------------------------------------------------

namespace {

const char* const kValueNames[] = {"value"};
const char* const kCookieNames[] = {"cookie"};
const char* const kDtNames[] = {"dt"};
const char* const kSplitNames[] = {"fragment", "separator"};
args::Signature parse_sig{"parse_cookie", kValueNames, 1, 1};
args::Signature write_sig{"write_cookie_for_response", kCookieNames, 1, 1};
args::Signature dt_sig{"datetime_to_cookie_format", kDtNames, 1, 1};
args::Signature split_sig{"split_value", kSplitNames, 2, 2};

PyObject* py_parse_cookie(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* in[1];
    if (!args::parse(parse_sig, args, nargs, kwnames, in)) return nullptr;
    return parse_cookie(in[0]);
}

PyObject* py_write_cookie(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* in[1];
    if (!args::parse(write_sig, args, nargs, kwnames, in)) return nullptr;
    return write_cookie_for_response(in[0]);
}

PyObject* py_datetime_to_cookie_format(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* in[1];
    if (!args::parse(dt_sig, args, nargs, kwnames, in)) return nullptr;
    return datetime_to_cookie_format(in[0]);
}

PyObject* py_split_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* in[2];
    if (!args::parse(split_sig, args, nargs, kwnames, in)) return nullptr;
    return split_value(in[0], in[1]);
}

#define BW_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

PyMethodDef functions[] = {
    {"parse_cookie", BW_FASTCALL(py_parse_cookie), METH_FASTCALL | METH_KEYWORDS,
     "parse_cookie(value: bytes) -> Cookie\n\nReads one set-cookie header value."},
    {"write_cookie_for_response", BW_FASTCALL(py_write_cookie), METH_FASTCALL | METH_KEYWORDS,
     "write_cookie_for_response(cookie: Cookie) -> bytes\n\nThe set-cookie header value of a cookie."},
    {"datetime_to_cookie_format", BW_FASTCALL(py_datetime_to_cookie_format), METH_FASTCALL | METH_KEYWORDS,
     "datetime_to_cookie_format(dt: datetime) -> bytes\n\nThe date in IMF-fixdate form, in UTC "
     "(a naive datetime is taken as UTC)."},
    {"split_value", BW_FASTCALL(py_split_value), METH_FASTCALL | METH_KEYWORDS,
     "split_value(fragment: bytes, separator: bytes) -> tuple[bytes, bytes]\n\nSplits at the first "
     "separator and strips spaces and tabs around both parts; ValueError when there is no separator."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int init_functions(PyObject* module) {
    if (PyModule_AddFunctions(module, functions) < 0) return -1;
    using namespace bw::siblings;
    // The exported pointers must have exactly the types the signatures name.
    ParseCookieFn parse = &parse_cookie;
    WriteCookieFn write = &write_cookie_for_response;
    DatetimeToCookieFormatFn date = &datetime_to_cookie_format;
    SplitValueFn split = &split_value;
    if (capi::export_function(module, "parse_cookie", parse, kParseCookieSig) < 0) return -1;
    if (capi::export_function(module, "write_cookie_for_response", write, kWriteCookieSig) < 0) return -1;
    if (capi::export_function(module, "datetime_to_cookie_format", date, kDatetimeToCookieFormatSig) < 0) return -1;
    if (capi::export_function(module, "split_value", split, kSplitValueSig) < 0) return -1;
    return 0;
}

}  // namespace bw::cookies
