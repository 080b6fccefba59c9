// URLs and join.
//
// Input: a base and a reference separated by the first LF (a byte no URL
// may hold).  Properties:
// - the byte splitter: what splits (as a target or as a reference)
//   recomposes to text that splits again to the same components;
// - URL(value): a URL parsed from its own value, or from str(url), has the
//   same fields;
// - join: the resolved components recompose to text that parses (as a
//   target) to the same components, dot segments aside (the guards against
//   a path read back as an authority or a scheme add "/." or "./"), and
//   URL.join answers exactly that text.
#include "harness.hpp"
#include "parse.hpp"

#include <string>

namespace {

using harness::Ref;
using namespace bw::url;

PyObject* url_type;
PyObject* invalid_url;

struct Split {
    bool ok;
    Parts parts;
    Components c;
};

Split split_as(std::string_view s, Mode mode) {
    Split r;
    Error error;
    r.ok = split(s, mode, r.parts, error);
    if (r.ok) r.c = components_of(s, r.parts);
    return r;
}

std::string without_dots(std::string_view path) {
    bw::Buffer out;
    if (!remove_dot_segments(path, out)) harness::fail("remove_dot_segments ran out of memory");
    return std::string(out.view());
}

bool same(const Components& a, const Components& b, bool dots_aside) {
    auto path_eq = [&] { return dots_aside ? without_dots(a.path) == without_dots(b.path) : a.path == b.path; };
    return a.has_scheme == b.has_scheme && a.scheme == b.scheme && a.has_authority == b.has_authority &&
           a.authority == b.authority && path_eq() && a.has_query == b.has_query && a.query == b.query &&
           a.has_fragment == b.has_fragment && a.fragment == b.fragment;
}

std::string text(const Components& c) {
    bw::Buffer out;
    if (!recompose(c, out)) harness::fail("recompose ran out of memory");
    return std::string(out.view());
}

void splitter_round_trip(std::string_view s, Mode mode) {
    Split first = split_as(s, mode);
    if (!first.ok) return;
    std::string again = text(first.c);
    Split second = split_as(again, mode);
    if (!second.ok || !same(first.c, second.c, false))
        harness::fail("split, recompose, split changes the components", (std::string(s) + " -> " + again).c_str());
}

Ref fields(PyObject* url) {
    return Ref::steal(PyObject_CallFunction(
        reinterpret_cast<PyObject*>(&PyTuple_Type), "((NNNNNNNN))", PyObject_GetAttrString(url, "value"),
        PyObject_GetAttrString(url, "scheme"), PyObject_GetAttrString(url, "host"), PyObject_GetAttrString(url, "port"),
        PyObject_GetAttrString(url, "path"), PyObject_GetAttrString(url, "query"),
        PyObject_GetAttrString(url, "fragment"), PyObject_GetAttrString(url, "userinfo")));
}

// The fields of `url` and of a URL parsed again from `source`.
void same_url(PyObject* url, PyObject* source, const char* what) {
    Ref again = Ref::steal(PyObject_CallOneArg(url_type, source));
    if (!again) harness::fail(what, harness::repr(source).c_str());
    Ref a = fields(url), b = fields(again.get());
    if (!a || !b) harness::fail("reading URL fields raised");
    if (!harness::equal(a.get(), b.get()))
        harness::fail(what, (harness::repr(a.get()) + " vs " + harness::repr(b.get())).c_str());
}

Ref parse_url(std::string_view s) {
    Ref raw = Ref::steal(harness::bytes(s));
    Ref url = Ref::steal(PyObject_CallOneArg(url_type, raw.get()));
    if (!url) {
        PyObject* allowed[] = {invalid_url, nullptr};
        harness::expect_error(allowed, "URL()");
    }
    return url;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness::init();
    url_type = harness::import_attr("brindlewick.url", "URL");
    invalid_url = harness::import_attr("brindlewick.url", "InvalidURL");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    size_t lf = in.find('\n');
    std::string_view base = in.substr(0, lf);
    std::string_view ref = lf == std::string_view::npos ? std::string_view{} : in.substr(lf + 1);

    splitter_round_trip(base, Mode::Target);
    splitter_round_trip(base, Mode::Reference);
    splitter_round_trip(ref, Mode::Reference);

    Ref url = parse_url(base);
    Split b = split_as(base, Mode::Target);
    harness::check(b.ok == static_cast<bool>(url), "URL() and the splitter disagree about a value");
    if (!url) return 0;
    Ref value = Ref::steal(PyObject_GetAttrString(url.get(), "value"));
    same_url(url.get(), value.get(), "URL(url.value) has other fields");
    Ref str = Ref::steal(PyObject_Str(url.get()));
    if (!str) harness::fail("str(URL) raised");
    same_url(url.get(), str.get(), "URL(str(url)) has other fields");

    if (lf == std::string_view::npos) return 0;
    Split r = split_as(ref, Mode::Reference);
    Ref ref_bytes = Ref::steal(harness::bytes(ref));
    Ref joined = Ref::steal(PyObject_CallMethod(url.get(), "join", "O", ref_bytes.get()));
    if (!r.ok) {
        harness::check(!joined, "join accepted a reference the splitter refuses");
        PyObject* allowed[] = {invalid_url, nullptr};
        harness::expect_error(allowed, "join");
        return 0;
    }
    bw::Buffer storage;
    Components target;
    if (!resolve(b.c, r.c, storage, target)) harness::fail("resolve ran out of memory");
    if (target.has_authority && !target.has_scheme) {
        // A network-path reference against a relative URL: refused.
        harness::check(!joined, "join resolved a network-path reference against a relative URL");
        PyObject* allowed[] = {invalid_url, nullptr};
        harness::expect_error(allowed, "join");
        return 0;
    }
    std::string recomposed = text(target);
    Split back = split_as(recomposed, Mode::Target);
    std::string story = std::string(base) + " + " + std::string(ref) + " -> " + recomposed;
    if (!back.ok) harness::fail("a resolved reference does not parse", story.c_str());
    if (!same(target, back.c, true)) harness::fail("a resolved reference parses to other components", story.c_str());
    if (!joined) harness::fail("join raised", story.c_str());
    Ref joined_value = Ref::steal(PyObject_GetAttrString(joined.get(), "value"));
    harness::check(harness::view_of(joined_value.get()) == recomposed, "join answers other text", story.c_str());
    same_url(joined.get(), joined_value.get(), "URL(joined.value) has other fields");
    return 0;
}
