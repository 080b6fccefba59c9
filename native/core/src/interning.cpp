// Interning tables: fixed sets of header names, methods and content types,
// each a shared Python object found by an allocation-free hash lookup.
#define BRINDLEWICK_CORE_BUILD
#include <cstdint>
#include <cstring>

#include "brindlewick/fast_parse.h"

namespace {

// Lower-case names first; the capitalised spellings let names added by
// applications in their usual form share an object too.
const char* const kHeaderNames[] = {
    "accept", "accept-charset", "accept-encoding", "accept-language", "accept-ranges",
    "access-control-allow-credentials", "access-control-allow-headers", "access-control-allow-methods",
    "access-control-allow-origin", "access-control-expose-headers", "access-control-max-age",
    "access-control-request-headers", "access-control-request-method", "age", "allow", "authorization",
    "cache-control", "connection", "content-disposition", "content-encoding", "content-language",
    "content-length", "content-location", "content-range", "content-security-policy", "content-type", "cookie",
    "date", "dnt", "etag", "expect", "expires", "forwarded", "from", "host", "if-match", "if-modified-since",
    "if-none-match", "if-range", "if-unmodified-since", "keep-alive", "last-modified", "link", "location",
    "max-forwards", "origin", "pragma", "priority", "proxy-authenticate", "proxy-authorization", "range",
    "referer", "referrer-policy", "retry-after", "sec-ch-ua", "sec-ch-ua-mobile", "sec-ch-ua-platform",
    "sec-fetch-dest", "sec-fetch-mode", "sec-fetch-site", "sec-fetch-user", "sec-websocket-accept",
    "sec-websocket-extensions", "sec-websocket-key", "sec-websocket-protocol", "sec-websocket-version",
    "server", "set-cookie", "strict-transport-security", "te", "trailer", "transfer-encoding", "upgrade",
    "upgrade-insecure-requests", "user-agent", "vary", "via", "www-authenticate", "x-content-type-options",
    "x-forwarded-for", "x-forwarded-host", "x-forwarded-port", "x-forwarded-proto", "x-frame-options",
    "x-real-ip", "x-request-id", "x-requested-with", "x-xss-protection",
    // Usual capitalised spellings.
    "Accept", "Accept-Encoding", "Accept-Language", "Access-Control-Allow-Origin", "Authorization",
    "Cache-Control", "Connection", "Content-Disposition", "Content-Encoding", "Content-Length", "Content-Type",
    "Cookie", "Date", "ETag", "Expires", "Host", "Last-Modified", "Location", "Origin", "Referer", "Server",
    "Set-Cookie", "Transfer-Encoding", "User-Agent", "Vary", "X-Forwarded-For", "X-Forwarded-Host",
    "X-Forwarded-Proto", "X-Requested-With",
};

const char* const kMethods[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"};

const char* const kContentTypes[] = {
    "text/plain", "text/plain; charset=utf-8", "text/html", "text/html; charset=utf-8", "text/css",
    "text/css; charset=utf-8", "text/csv", "text/javascript", "text/event-stream", "text/xml",
    "application/json", "application/json; charset=utf-8", "application/problem+json",
    "application/javascript", "application/xml", "application/octet-stream",
    "application/x-www-form-urlencoded", "application/pdf", "application/zip", "multipart/form-data",
    "image/png", "image/jpeg", "image/gif", "image/svg+xml", "image/webp", "image/x-icon",
};

struct Slot {
    const char* data;
    uint32_t length;
    PyObject* object;
};

inline uint32_t hash_bytes(const char* data, size_t length) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (size_t i = 0; i < length; i++) {
        h ^= static_cast<unsigned char>(data[i]);
        h *= 16777619u;
    }
    return h;
}

// Open-addressed table with linear probing; capacity is a power of two at
// least twice the number of entries, so every probe sequence ends quickly.
template <size_t Capacity>
class Table {
public:
    bool insert(const char* text, PyObject* object) {
        size_t length = std::strlen(text);
        size_t i = hash_bytes(text, length) & (Capacity - 1);
        while (slots_[i].data) {
            if (slots_[i].length == length && std::memcmp(slots_[i].data, text, length) == 0) {
                Py_DECREF(object);
                return true;
            }
            i = (i + 1) & (Capacity - 1);
        }
        slots_[i] = Slot{text, static_cast<uint32_t>(length), object};
        if (length > max_length_) max_length_ = length;
        return true;
    }

    PyObject* find(const char* data, Py_ssize_t length) const {
        if (!data || length <= 0 || static_cast<size_t>(length) > max_length_) return nullptr;
        size_t i = hash_bytes(data, static_cast<size_t>(length)) & (Capacity - 1);
        while (slots_[i].data) {
            const Slot& s = slots_[i];
            if (s.length == static_cast<uint32_t>(length) && std::memcmp(s.data, data, s.length) == 0)
                return s.object;
            i = (i + 1) & (Capacity - 1);
        }
        return nullptr;
    }

private:
    Slot slots_[Capacity] = {};
    size_t max_length_ = 0;
};

Table<512> g_header_names;
Table<32> g_methods;
Table<64> g_content_types;
bool g_ready = false;

template <size_t N, size_t Capacity>
bool fill(Table<Capacity>& table, const char* const (&texts)[N], bool as_str) {
    static_assert(N * 2 <= Capacity, "interning table too small");
    for (const char* text : texts) {
        PyObject* object = as_str ? PyUnicode_InternFromString(text) : PyBytes_FromString(text);
        if (!object) return false;
        table.insert(text, object);
    }
    return true;
}

}  // namespace

extern "C" {

brindlewick_err brindlewick_core_init(void) {
    if (g_ready) return BRINDLEWICK_OK;
    if (!fill(g_header_names, kHeaderNames, false) || !fill(g_methods, kMethods, true) ||
        !fill(g_content_types, kContentTypes, false))
        return BRINDLEWICK_ERR_NOMEM;
    g_ready = true;
    return BRINDLEWICK_OK;
}

PyObject* get_interned_header_name_bytes(const char* data, Py_ssize_t length) {
    return g_header_names.find(data, length);
}

PyObject* get_interned_method_str(const char* data, Py_ssize_t length) { return g_methods.find(data, length); }

PyObject* get_interned_content_type_bytes(const char* data, Py_ssize_t length) {
    return g_content_types.find(data, length);
}

}  // extern "C"
