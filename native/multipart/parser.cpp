// The incremental multipart/form-data parser.
//
// The body is seen as if it began with CRLF, so that every boundary line,
// the first one included, is found as the delimiter "\r\n--" + boundary.
// While a part's data (or the preamble) is scanned, a chunk that ends with
// the first bytes of a delimiter keeps those bytes back as a carry-over; the
// next chunk either completes the delimiter or turns the carry-over back
// into data.  A boundary never contains CR or LF, so a delimiter can only
// start at the first byte of the carry-over and the carry-over is always
// shorter than the delimiter.
#include <Python.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>
#include <string_view>

#include "brindlewick/buffer.hpp"
#include "brindlewick/pyref.hpp"
#include "parser.hpp"

namespace bw::multipart {

ModuleState state = {};

namespace {

constexpr Py_ssize_t kMaxBoundary = 256;
constexpr Py_ssize_t kDefaultHeaderSize = 16384;
constexpr Py_ssize_t kDefaultHeaderLines = 32;

enum class State : uint8_t {
    Preamble,  // before the first boundary line: skipped
    Tail,      // right after a delimiter: "--", or padding and the line break
    Headers,   // reading a part's header block
    Body,      // reading a part's data
    Epilogue,  // after the closing delimiter: ignored
    Failed,    // a malformed body was reported; every later call repeats it
};

// Outcome of one step over the input.
enum class Step { Data, Need, End, Error };

// A header line of the current part: a slice of Impl::header_text.
struct LineSpan {
    size_t offset;
    size_t length;
};

constexpr size_t kMaxDelimiter = 4 + kMaxBoundary;

// Parser state.  Nothing in here allocates through a throwing container:
// the delimiter and the carry-over have fixed room (a boundary is at most
// kMaxBoundary bytes), header text grows in bw::Buffer (PyMem-backed, so
// the memory a body costs shows in tracemalloc) and reports failure.
struct Impl {
    char delim[kMaxDelimiter];  // "\r\n--" + boundary
    size_t delim_len = 0;
    char carry[kMaxDelimiter];  // proper prefix of `delim` held back from the last chunk
    size_t carry_len = 0;
    bw::Buffer line;                        // header line being read
    bw::Buffer header_text;                 // complete header lines of the current part, end to end
    SmallArray<LineSpan, 8> lines;          // where each of them is in header_text
    char failure[256] = {};                 // message of the first error; empty after MemoryError
    Py_buffer input{};
    bool has_input = false;
    bool finished = false;
    State state = State::Preamble;
    uint8_t tail_step = 0;  // in Tail: 0 start, 1 one '-' seen, 2 padding, 3 CR seen
    Py_ssize_t pos = 0;     // read offset into `input`
    Py_ssize_t max_header_size = kDefaultHeaderSize;
    Py_ssize_t max_header_lines = kDefaultHeaderLines;
    Py_ssize_t header_bytes = 0;  // bytes of the current boundary line padding and header block
    Py_ssize_t part_index = 0;    // number of parts whose headers were read

    std::string_view delimiter() const { return {delim, delim_len}; }
    void clear_headers() {
        line.clear();
        header_text.clear();
        lines.clear();
    }
};

struct ParserObject {
    PyObject_HEAD
    Impl impl;
};

inline Impl& impl_of(PyObject* op) { return reinterpret_cast<ParserObject*>(op)->impl; }

void release_input(Impl& s) {
    if (s.has_input) {
        s.has_input = false;
        PyBuffer_Release(&s.input);
    }
    s.pos = 0;
}

inline void drop_if_consumed(Impl& s) {
    if (s.has_input && s.pos >= s.input.len) release_input(s);
}

// Records the first error of a malformed body (a printf format and its
// arguments) and raises it as BadRequest.
[[gnu::format(printf, 2, 3)]] void fail(Impl& s, const char* format, ...) {
    release_input(s);
    s.state = State::Failed;
    va_list ap;
    va_start(ap, format);
    vsnprintf(s.failure, sizeof s.failure, format, ap);
    va_end(ap);
    s.carry_len = 0;
    s.clear_headers();
    PyErr_SetString(state.bad_request, s.failure);
}

void raise_failure(const Impl& s) {
    if (!s.failure[0]) PyErr_NoMemory();
    else PyErr_SetString(state.bad_request, s.failure);
}

// A failed allocation (MemoryError already set) leaves the parser unusable;
// later calls repeat the error.
void out_of_memory(Impl& s) {
    release_input(s);
    s.state = State::Failed;
    s.failure[0] = '\0';
    s.clear_headers();
}

// Same as `fail`, chaining the exception that is being handled as the cause.
void fail_from_current(Impl& s, const char* message) {
    PyObject* cause = PyErr_GetRaisedException();
    fail(s, "%s", message);
    PyObject* exc = PyErr_GetRaisedException();
    if (exc && cause) PyException_SetCause(exc, cause);
    else Py_XDECREF(cause);
    PyErr_SetRaisedException(exc);
}

// First occurrence of the delimiter in p[0..n).  On x86-64 sixteen candidate
// positions are tested at once by comparing both the delimiter's first byte
// (CR) and its last byte; only positions where both match are compared in
// full, which keeps text with many line breaks as fast as binary data.
const char* find_delimiter(const char* p, size_t n, std::string_view d) {
    const size_t m = d.size();
    if (n < m) return nullptr;
#if defined(__SSE2__)
    const __m128i first = _mm_set1_epi8(d[0]);
    const __m128i last = _mm_set1_epi8(d[m - 1]);
    const size_t limit = n - m + 1;  // candidate start positions
    size_t i = 0;
    for (; i + 16 <= limit; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + m - 1));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
        while (mask) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (memcmp(p + i + bit + 1, d.data() + 1, m - 2) == 0) return p + i + bit;
            mask &= mask - 1;
        }
    }
    if (i >= limit) return nullptr;
    return static_cast<const char*>(memmem(p + i, n - i, d.data(), m));
#else
    return static_cast<const char*>(memmem(p, n, d.data(), m));
#endif
}

// Length of the longest suffix of p[0..n) that is a proper prefix of the
// delimiter (the caller already knows that no whole delimiter is in there).
size_t held_tail(const char* p, size_t n, std::string_view d) {
    size_t j = n > d.size() - 1 ? n - (d.size() - 1) : 0;
    while (j < n) {
        const void* cr = memchr(p + j, '\r', n - j);
        if (!cr) return 0;
        j = static_cast<size_t>(static_cast<const char*>(cr) - p);
        if (memcmp(p + j, d.data(), n - j) == 0) return n - j;
        j++;
    }
    return 0;
}

// Scans part data (or the preamble) up to the next delimiter.  With `emit`,
// the data found is handed out in `*out` (one object per call: the carry-over
// that turned out to be data, then the chunk's bytes up to the delimiter or
// up to a held-back tail); without it the data is skipped.
Step body_step(Impl& s, bool emit, PyObject** out) {
    *out = nullptr;
    if (!s.has_input) return Step::Need;
    const char* p = static_cast<const char*>(s.input.buf) + s.pos;
    size_t n = static_cast<size_t>(s.input.len - s.pos);
    std::string_view d = s.delimiter();
    size_t prefix = 0;  // carry-over bytes that are data after all
    if (size_t k = s.carry_len) {
        size_t need = d.size() - k;
        size_t m = n < need ? n : need;
        if (memcmp(p, d.data() + k, m) == 0) {
            if (m == need) {
                s.pos += static_cast<Py_ssize_t>(m);
                s.carry_len = 0;
                s.state = State::Tail;
                s.tail_step = 0;
                s.header_bytes = 0;
                drop_if_consumed(s);
                return Step::End;
            }
            memcpy(s.carry + k, p, m);  // still a proper prefix: it fits
            s.carry_len = k + m;
            release_input(s);
            return Step::Need;
        }
        prefix = k;
    }
    const char* hit = find_delimiter(p, n, d);
    size_t data_len = hit ? static_cast<size_t>(hit - p) : n - held_tail(p, n, d);
    if (emit && prefix + data_len > 0) {
        if (prefix == 0 && s.pos == 0 && data_len == n && PyBytes_CheckExact(s.input.obj)) {
            *out = Py_NewRef(s.input.obj);  // the whole chunk is data: hand it out as it is
        } else {
            *out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(prefix + data_len));
            if (!*out) return Step::Error;
            char* dst = PyBytes_AS_STRING(*out);
            if (prefix) memcpy(dst, s.carry, prefix);
            memcpy(dst + prefix, p, data_len);
        }
    }
    if (hit) {
        s.carry_len = 0;
        s.pos += static_cast<Py_ssize_t>(data_len + d.size());
        s.state = State::Tail;
        s.tail_step = 0;
        s.header_bytes = 0;
        drop_if_consumed(s);
        return *out ? Step::Data : Step::End;
    }
    memcpy(s.carry, p + data_len, n - data_len);  // a held tail is shorter than the delimiter
    s.carry_len = n - data_len;
    release_input(s);
    return *out ? Step::Data : Step::Need;
}

// After a delimiter: "--" closes the body; otherwise optional blanks and a
// line break lead to the next part's headers.
Step tail_step(Impl& s) {
    while (s.has_input) {
        const char* p = static_cast<const char*>(s.input.buf);
        char c = p[s.pos];
        switch (s.tail_step) {
            case 0:
                if (c == '-') {
                    s.tail_step = 1;
                    s.pos++;
                    break;
                }
                s.tail_step = 2;
                continue;
            case 1:
                if (c != '-') {
                    fail(s, "Malformed multipart body: unexpected data after a boundary");
                    return Step::Error;
                }
                s.state = State::Epilogue;
                release_input(s);
                return Step::End;
            case 2:
                if (c == ' ' || c == '\t') {
                    s.pos++;
                    if (++s.header_bytes > s.max_header_size) {
                        fail(s, "Malformed multipart body: boundary line too long");
                        return Step::Error;
                    }
                } else if (c == '\r') {
                    s.tail_step = 3;
                    s.pos++;
                } else if (c == '\n') {
                    s.pos++;
                    s.state = State::Headers;
                } else {
                    fail(s, "Malformed multipart body: unexpected data after a boundary");
                    return Step::Error;
                }
                break;
            default:
                if (c != '\n') {
                    fail(s, "Malformed multipart body: unexpected data after a boundary");
                    return Step::Error;
                }
                s.pos++;
                s.state = State::Headers;
                break;
        }
        drop_if_consumed(s);
        if (s.state == State::Headers) {
            s.clear_headers();
            return Step::End;
        }
    }
    return Step::Need;
}

// ---- header values ----------------------------------------------------------

inline bool is_ows(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view v) {
    while (!v.empty() && is_ows(v.front())) v.remove_prefix(1);
    while (!v.empty() && is_ows(v.back())) v.remove_suffix(1);
    return v;
}

bool iequals(std::string_view a, std::string_view lower) {
    if (a.size() != lower.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        if (c != lower[i]) return false;
    }
    return true;
}

bool is_token_char(unsigned char c) {
    if (c <= 32 || c >= 127) return false;
    return !strchr("()<>@,;:\\\"/[]?={}", c);
}

// One parameter of a header value.  The key views the header line (its
// letter case as sent); the value sits in the caller's scratch buffer.
struct Param {
    std::string_view key;
    size_t value_offset;
    size_t value_length;
};

// Splits "type; key=value; key="quoted value"" into its leading value and
// parameters, whose values are written to `scratch` (reserved here for the
// whole of `v`, which no value outgrows).  Returns an error text, or nullptr
// on success; MemoryError is reported as kOutOfMemory.  In a quoted value a
// backslash escapes only '"' and '\\'; any other backslash is kept, since
// browsers send file names such as "C:\dir\name" unescaped.
const char kOutOfMemory[] = "";

const char* parse_params(std::string_view v, std::string_view& head, SmallArray<Param, 8>& out, bw::Buffer& scratch) {
    size_t i = v.find(';');
    head = trim(v.substr(0, i));
    out.clear();
    scratch.clear();
    if (i == std::string_view::npos) return nullptr;
    if (!scratch.reserve(v.size())) return kOutOfMemory;
    char* w = scratch.data();
    i++;
    size_t n = v.size();
    while (i < n) {
        while (i < n && (is_ows(v[i]) || v[i] == ';')) i++;
        if (i >= n) break;
        size_t key_start = i;
        while (i < n && v[i] != '=' && v[i] != ';') i++;
        std::string_view key = trim(v.substr(key_start, i - key_start));
        if (key.empty()) return "a parameter without a name";
        for (char c : key)
            if (!is_token_char(static_cast<unsigned char>(c))) return "a malformed parameter name";
        Param param{key, static_cast<size_t>(w - scratch.data()), 0};
        if (i < n && v[i] == '=') {
            i++;
            while (i < n && is_ows(v[i])) i++;
            if (i < n && v[i] == '"') {
                i++;
                bool closed = false;
                while (i < n) {
                    char c = v[i];
                    if (c == '"') {
                        closed = true;
                        i++;
                        break;
                    }
                    if (c == '\\' && i + 1 < n && (v[i + 1] == '"' || v[i + 1] == '\\')) {
                        *w++ = v[i + 1];
                        i += 2;
                        continue;
                    }
                    *w++ = c;
                    i++;
                }
                if (!closed) return "an unterminated quoted string";
                while (i < n && is_ows(v[i])) i++;
                if (i < n && v[i] != ';') return "unexpected data after a quoted string";
            } else {
                size_t value_start = i;
                while (i < n && v[i] != ';') i++;
                std::string_view value = trim(v.substr(value_start, i - value_start));
                memcpy(w, value.data(), value.size());
                w += value.size();
            }
        }
        param.value_length = static_cast<size_t>(w - scratch.data()) - param.value_offset;
        if (!out.push_back(param)) return kOutOfMemory;
    }
    return nullptr;
}

// Header text as str: UTF-8 when it is valid, else Latin-1 (every byte maps).
PyObject* header_text(std::string_view v) {
    PyObject* text = PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), "strict");
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
    return PyUnicode_DecodeLatin1(v.data(), static_cast<Py_ssize_t>(v.size()), nullptr);
}

inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// RFC 5987 extended value: charset'language'percent-encoded-octets.
PyObject* decode_ext_value(Impl& s, std::string_view v) {
    size_t q1 = v.find('\'');
    size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
    if (q2 == std::string_view::npos) {
        fail(s, "Malformed multipart part headers: filename* is not of the form charset'language'value");
        return nullptr;
    }
    std::string_view charset = v.substr(0, q1);
    // Percent-decoding never lengthens the text: one reservation covers it.
    bw::Buffer octets;
    if (!octets.reserve(v.size())) {
        out_of_memory(s);
        return nullptr;
    }
    char* w = octets.data();
    for (size_t i = q2 + 1; i < v.size(); i++) {
        char c = v[i];
        if (c == '%') {
            int hi = i + 2 < v.size() ? hex_value(v[i + 1]) : -1;
            int lo = hi >= 0 ? hex_value(v[i + 2]) : -1;
            if (lo < 0) {
                fail(s, "Malformed multipart part headers: bad percent-encoding in filename*");
                return nullptr;
            }
            *w++ = static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            *w++ = c;
        }
    }
    const auto length = static_cast<Py_ssize_t>(w - octets.data());
    PyObject* text;
    if (iequals(charset, "utf-8")) {
        text = PyUnicode_DecodeUTF8(octets.data(), length, "strict");
    } else if (iequals(charset, "iso-8859-1")) {
        text = PyUnicode_DecodeLatin1(octets.data(), length, nullptr);
    } else {
        fail(s, "Malformed multipart part headers: filename* uses an unsupported charset (UTF-8 or ISO-8859-1 expected)");
        return nullptr;
    }
    if (!text) {
        fail_from_current(s, "Malformed multipart part headers: filename* is not valid in its charset");
        return nullptr;
    }
    // The decoded name gets the checks of the literal form, whose header
    // line may not hold CR or NUL (and cannot hold LF).
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_UCS4 c : {Py_UCS4('\r'), Py_UCS4('\n'), Py_UCS4(0)}) {
        if (PyUnicode_FindChar(text, c, 0, n, 1) >= 0) {
            Py_DECREF(text);
            fail(s, "Malformed multipart part headers: control character in filename*");
            return nullptr;
        }
    }
    return text;
}

// Builds (name, file_name, content_type, charset) from the header block.
PyObject* build_part(Impl& s) {
    Ref name, file_name, file_name_ext, content_type, charset;
    bool have_disposition = false, have_type = false;
    SmallArray<Param, 8> params;
    bw::Buffer values;
    for (const LineSpan& span : s.lines) {
        std::string_view lv(s.header_text.data() + span.offset, span.length);
        size_t colon = lv.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            fail(s, "Malformed multipart part headers: a header line without a field name");
            return nullptr;
        }
        std::string_view field = lv.substr(0, colon);
        for (char c : field) {
            if (!is_token_char(static_cast<unsigned char>(c))) {
                fail(s, "Malformed multipart part headers: invalid header field name");
                return nullptr;
            }
        }
        std::string_view value = trim(lv.substr(colon + 1));
        bool disposition = iequals(field, "content-disposition");
        if (!disposition && !iequals(field, "content-type")) continue;
        bool& seen = disposition ? have_disposition : have_type;
        if (seen) {
            fail(s, disposition ? "Malformed multipart part headers: more than one Content-Disposition"
                                : "Malformed multipart part headers: more than one Content-Type");
            return nullptr;
        }
        seen = true;
        std::string_view head;
        if (const char* problem = parse_params(value, head, params, values)) {
            if (problem == kOutOfMemory) {
                out_of_memory(s);
                return nullptr;
            }
            fail(s, "%s%s",
                 disposition ? "Malformed Content-Disposition of a multipart part: "
                             : "Malformed Content-Type of a multipart part: ",
                 problem);
            return nullptr;
        }
        auto value_of = [&values](const Param& param) {
            return std::string_view(values.data() + param.value_offset, param.value_length);
        };
        if (disposition) {
            for (const Param& param : params) {
                const char* key = iequals(param.key, "name")        ? "name"
                                  : iequals(param.key, "filename")  ? "filename"
                                  : iequals(param.key, "filename*") ? "filename*"
                                                                    : nullptr;
                if (!key) continue;
                Ref* slot = key[0] == 'n' ? &name : key[8] == '*' ? &file_name_ext : &file_name;
                if (*slot) {
                    fail(s, "Malformed Content-Disposition of a multipart part: repeated %s parameter", key);
                    return nullptr;
                }
                *slot = Ref::steal(slot == &file_name_ext ? decode_ext_value(s, value_of(param))
                                                          : header_text(value_of(param)));
                if (!*slot) return nullptr;
            }
        } else {
            if (!head.empty()) {
                content_type = Ref::steal(header_text(head));
                if (!content_type) return nullptr;
            }
            for (const Param& param : params) {
                if (!iequals(param.key, "charset") || charset) continue;
                charset = Ref::steal(header_text(value_of(param)));
                if (!charset) return nullptr;
            }
        }
    }
    if (!have_disposition) {
        fail(s, "Malformed multipart part headers: missing Content-Disposition");
        return nullptr;
    }
    if (!name) {
        fail(s, "Malformed multipart part headers: the Content-Disposition has no name");
        return nullptr;
    }
    // RFC 7578 (section 4.2): senders must not rely on filename* in
    // form-data, so filename is the one reported; filename* stands in only
    // when filename is absent.
    if (!file_name) file_name = std::move(file_name_ext);
    PyObject* result = PyTuple_New(4);
    if (!result) return nullptr;
    PyTuple_SET_ITEM(result, 0, name.release());
    PyTuple_SET_ITEM(result, 1, file_name ? file_name.release() : Py_NewRef(Py_None));
    PyTuple_SET_ITEM(result, 2, content_type ? content_type.release() : Py_NewRef(Py_None));
    PyTuple_SET_ITEM(result, 3, charset ? charset.release() : Py_NewRef(Py_None));
    return result;
}

// Reads header lines until the blank line; then hands out the part tuple.
Step headers_step(Impl& s, PyObject** out) {
    *out = nullptr;
    while (s.has_input) {
        const char* p = static_cast<const char*>(s.input.buf) + s.pos;
        size_t n = static_cast<size_t>(s.input.len - s.pos);
        const char* nl = static_cast<const char*>(memchr(p, '\n', n));
        size_t seg = nl ? static_cast<size_t>(nl - p) + 1 : n;
        s.header_bytes += static_cast<Py_ssize_t>(seg);
        if (s.header_bytes > s.max_header_size) {
            fail(s, "Malformed multipart body: part headers larger than %zd bytes", s.max_header_size);
            return Step::Error;
        }
        if (!s.line.append(p, nl ? seg - 1 : seg)) {
            out_of_memory(s);
            return Step::Error;
        }
        s.pos += static_cast<Py_ssize_t>(seg);
        drop_if_consumed(s);
        if (!nl) break;
        if (!s.line.empty() && s.line.back() == '\r') s.line.pop_back();
        const std::string_view text = s.line.view();
        if (text.find_first_of(std::string_view("\r\0", 2)) != std::string_view::npos) {
            fail(s, "Malformed multipart part headers: control character in a header line");
            return Step::Error;
        }
        if (text.empty()) {
            *out = build_part(s);
            if (!*out) return Step::Error;
            s.clear_headers();
            s.state = State::Body;
            s.part_index++;
            return Step::Data;
        }
        if (is_ows(text.front())) {
            // A folded line continues the header above it, which is the
            // last text in header_text.
            if (s.lines.empty()) {
                fail(s, "Malformed multipart part headers: a continuation line without a header");
                return Step::Error;
            }
            std::string_view rest = trim(text);
            if (!s.header_text.push_back(' ') || !s.header_text.append(rest)) {
                out_of_memory(s);
                return Step::Error;
            }
            s.lines.back().length += 1 + rest.size();
        } else {
            if (static_cast<Py_ssize_t>(s.lines.size()) >= s.max_header_lines) {
                fail(s, "Malformed multipart body: a part has more than %zd header lines", s.max_header_lines);
                return Step::Error;
            }
            LineSpan span{s.header_text.size(), text.size()};
            if (!s.header_text.append(text) || !s.lines.push_back(span)) {
                out_of_memory(s);
                return Step::Error;
            }
        }
        s.line.clear();
    }
    return Step::Need;
}

// ---- Python-visible type ------------------------------------------------------

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"boundary", "max_header_size", "max_header_lines", nullptr};
    Py_buffer boundary;
    Py_ssize_t max_size = kDefaultHeaderSize, max_lines = kDefaultHeaderLines;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|nn:Parser", const_cast<char**>(kw), &boundary, &max_size,
                                     &max_lines))
        return nullptr;
    std::string_view b(static_cast<const char*>(boundary.buf), static_cast<size_t>(boundary.len));
    const char* problem = nullptr;
    if (b.empty() || boundary.len > kMaxBoundary) problem = "the multipart boundary must be 1 to 256 bytes long";
    else if (b.find_first_of("\r\n") != std::string_view::npos) problem = "the multipart boundary contains a line break";
    else if (max_size < 1 || max_lines < 1) problem = "header limits must be positive";
    if (problem) {
        PyBuffer_Release(&boundary);
        PyErr_SetString(PyExc_ValueError, problem);
        return nullptr;
    }
    PyObject* op = type->tp_alloc(type, 0);
    if (!op) {
        PyBuffer_Release(&boundary);
        return nullptr;
    }
    Impl* s = new (&impl_of(op)) Impl();  // placement: allocates nothing, cannot throw
    memcpy(s->delim, "\r\n--", 4);
    memcpy(s->delim + 4, b.data(), b.size());
    s->delim_len = 4 + b.size();
    memcpy(s->carry, "\r\n", 2);  // the body is read as if it began with a line break
    s->carry_len = 2;
    PyBuffer_Release(&boundary);
    s->max_header_size = max_size;
    s->max_header_lines = max_lines;
    return op;
}

int parser_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(op));
    Impl& s = impl_of(op);
    if (s.has_input) Py_VISIT(s.input.obj);
    return 0;
}

int parser_clear(PyObject* op) {
    release_input(impl_of(op));
    return 0;
}

void parser_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    release_input(impl_of(op));
    impl_of(op).~Impl();
    type->tp_free(op);
    Py_DECREF(type);
}

// Whether the parser takes a chunk now; false with the error set.
bool can_feed(const Impl& s) {
    if (s.state == State::Failed) {
        raise_failure(s);
        return false;
    }
    if (s.finished) {
        PyErr_SetString(PyExc_ValueError, "feed() after finish()");
        return false;
    }
    if (s.has_input) {
        PyErr_SetString(PyExc_ValueError, "feed() before the previous chunk was consumed");
        return false;
    }
    return true;
}

PyObject* py_feed(PyObject* op, PyObject* data) {
    Impl& s = impl_of(op);
    if (!can_feed(s)) return nullptr;
    // Getting the buffer may run Python code (a __buffer__ method) that
    // uses this parser, even feeds it: the view is taken aside and the
    // parser checked again before it keeps the view.
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
    if (!can_feed(s)) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    s.input = view;
    s.has_input = true;
    s.pos = 0;
    if (s.input.len == 0 || s.state == State::Epilogue) release_input(s);
    Py_RETURN_NONE;
}

PyObject* py_finish(PyObject* op, PyObject*) {
    Impl& s = impl_of(op);
    if (s.state == State::Failed) {
        raise_failure(s);
        return nullptr;
    }
    if (s.has_input) {
        PyErr_SetString(PyExc_ValueError, "finish() before the last chunk was consumed");
        return nullptr;
    }
    s.finished = true;
    switch (s.state) {
        case State::Epilogue:
            Py_RETURN_NONE;
        case State::Preamble:
            fail(s, "Malformed multipart body: the boundary was not found");
            break;
        case State::Body:
            fail(s, "Malformed multipart body: truncated part (the body ended before the closing boundary)");
            break;
        case State::Headers:
            fail(s, "Malformed multipart body: truncated part headers");
            break;
        default:
            fail(s, "Malformed multipart body: missing final boundary");
            break;
    }
    return nullptr;
}

// Next part as (name, file_name, content_type, charset), skipping whatever is
// left of the current part; None after the closing boundary; b"" when more
// input is needed.
PyObject* next_part(Impl& s) {
    for (;;) {
        PyObject* out = nullptr;
        Step step;
        switch (s.state) {
            case State::Failed:
                raise_failure(s);
                return nullptr;
            case State::Epilogue:
                release_input(s);
                Py_RETURN_NONE;
            case State::Preamble:
            case State::Body:
                step = body_step(s, false, &out);
                break;
            case State::Tail:
                step = tail_step(s);
                break;
            default:
                step = headers_step(s, &out);
                if (step == Step::Data) return out;
                break;
        }
        if (step == Step::Error) return nullptr;
        if (step == Step::Need) return Py_NewRef(state.empty_bytes);
    }
}

PyObject* py_next_part(PyObject* op, PyObject*) { return next_part(impl_of(op)); }

// Next piece of the current part's data (bytes); None when the part has
// ended; b"" when more input is needed.  Part data needs no allocation but
// the bytes handed out: the carry-over has fixed room.
PyObject* py_read_data(PyObject* op, PyObject*) {
    Impl& s = impl_of(op);
    if (s.state == State::Failed) {
        raise_failure(s);
        return nullptr;
    }
    if (s.state != State::Body) Py_RETURN_NONE;
    PyObject* out;
    switch (body_step(s, true, &out)) {
        case Step::Data:
            return out;
        case Step::Need:
            return Py_NewRef(state.empty_bytes);
        case Step::End:
            Py_RETURN_NONE;
        default:
            return nullptr;
    }
}

PyObject* get_part_index(PyObject* op, void*) { return PyLong_FromSsize_t(impl_of(op).part_index); }
PyObject* get_done(PyObject* op, void*) { return bool_ref(impl_of(op).state == State::Epilogue); }
PyObject* get_needs_input(PyObject* op, void*) { return bool_ref(!impl_of(op).has_input); }

PyMethodDef parser_methods[] = {
    {"feed", py_feed, METH_O, "feed(data): hands the parser the next body chunk (bytes-like)."},
    {"finish", py_finish, METH_NOARGS, "finish(): the body has ended; raises BadRequest when it is incomplete."},
    {"next_part", py_next_part, METH_NOARGS,
     "next_part() -> tuple | None | b'': headers of the next part, None at the end, b'' to ask for input."},
    {"read_data", py_read_data, METH_NOARGS,
     "read_data() -> bytes | None: data of the current part, None at its end, b'' to ask for input."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef parser_getset[] = {
    {"part_index", get_part_index, nullptr, "Number of parts whose headers were read.", nullptr},
    {"done", get_done, nullptr, "True once the closing boundary was read.", nullptr},
    {"needs_input", get_needs_input, nullptr, "True when the last chunk was consumed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(parser_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(parser_clear)},
    {Py_tp_methods, parser_methods},
    {Py_tp_getset, parser_getset},
    {Py_tp_doc, const_cast<char*>("Parser(boundary, max_header_size=16384, max_header_lines=32): "
                                  "incremental multipart/form-data parser.")},
    {0, nullptr},
};

PyType_Spec parser_spec = {
    "brindlewick._multipart.Parser",
    sizeof(ParserObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    parser_slots,
};

}  // namespace

int init_parser_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &parser_spec, nullptr);
    if (!type) return -1;
    int rc = PyModule_AddObjectRef(module, "Parser", type);
    Py_DECREF(type);
    return rc;
}

}  // namespace bw::multipart
