// The rpm source over any headers: the fields the reader process sends, the
// stream that carries them, the naming of instances and the parameters made
// from them. librpm is stood in for by a table of headers read from the
// input (the build maps the reader's dlopen and dlsym to the two below).
// Calls adm::open_rpm_source and the Source interface only.
//
// Input: lines of a tag letter ('a' NAME to 'm' INSTALLTIME, in the
// reader's order), a type letter and the value; "--" ends a header. Types:
// 's' string, 'a' string array, 'n' translated string, 'i' 32-bit and 'l'
// 64-bit integer, 'z' a string without data, anything else a type the
// reader does not show. A backslash and "n" in a value stand for a line feed.
#include "pkgdb.h"
#include "source_check.h"

#include <rpm/header.h>
#include <rpm/rpmdb.h>
#include <rpm/rpmmacro.h>
#include <rpm/rpmtd.h>
#include <rpm/rpmts.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

constexpr rpmTagVal tags[] = {
    RPMTAG_NAME,     RPMTAG_EPOCH,       RPMTAG_VERSION,     RPMTAG_RELEASE,  RPMTAG_ARCH,
    RPMTAG_SUMMARY,  RPMTAG_GROUP,       RPMTAG_VENDOR,      RPMTAG_PACKAGER, RPMTAG_URL,
    RPMTAG_PREFIXES, RPMTAG_DESCRIPTION, RPMTAG_INSTALLTIME,
};
constexpr size_t tag_count = sizeof tags / sizeof tags[0];

struct Value {
    char type = 0; // 0: the header lacks the tag
    std::string text;
    const char *array[1] = {};
    uint32_t int32 = 0;
    uint64_t int64 = 0;
};

// The headers, read in the parent; the reader process is forked with them.
std::vector<std::vector<Value>> headers;
size_t next_header;

int push_macro(rpmMacroContext, const char *, const char *, const char *, int)
{
    return 0;
}
rpmts ts_create()
{
    return reinterpret_cast<rpmts>(&headers);
}
int set_root(rpmts, const char *)
{
    return 0;
}
rpmVSFlags set_vs_flags(rpmts, rpmVSFlags flags)
{
    return flags;
}
int open_db(rpmts, int)
{
    return 0;
}
rpmdbMatchIterator init_iterator(const rpmts, rpmDbiTagVal, const void *, size_t)
{
    next_header = 0;
    return reinterpret_cast<rpmdbMatchIterator>(&headers);
}
Header next(rpmdbMatchIterator)
{
    return next_header < headers.size() ? reinterpret_cast<Header>(&headers[next_header++])
                                        : nullptr;
}
int get(Header header, rpmTagVal tag, rpmtd td, headerGetFlags)
{
    auto &values = *reinterpret_cast<std::vector<Value> *>(header);
    size_t index = std::find(tags, tags + tag_count, tag) - tags;
    Value &value = values[index];
    *td = {};
    switch (value.type) {
    case 0:
        return 0;
    case 's':
    case 'z':
        td->type = RPM_STRING_TYPE;
        td->data = value.type == 'z' ? nullptr : value.text.data();
        break;
    case 'a':
    case 'n':
        td->type = value.type == 'a' ? RPM_STRING_ARRAY_TYPE : RPM_I18NSTRING_TYPE;
        value.array[0] = value.text.c_str();
        td->data = value.array;
        break;
    case 'i':
        td->type = RPM_INT32_TYPE;
        value.int32 = static_cast<uint32_t>(strtoull(value.text.c_str(), nullptr, 10));
        td->data = &value.int32;
        break;
    case 'l':
        td->type = RPM_INT64_TYPE;
        value.int64 = strtoull(value.text.c_str(), nullptr, 10);
        td->data = &value.int64;
        break;
    default:
        td->type = RPM_BIN_TYPE;
        td->data = value.text.data();
        break;
    }
    td->count = 1;
    return 1;
}
void free_data(rpmtd td)
{
    *td = {};
}

} // namespace

extern "C" void *fuzz_dlopen(const char *, int)
{
    return &headers;
}

extern "C" void *fuzz_dlsym(void *, const char *name)
{
    static const struct {
        const char *name;
        void *function;
    } functions[] = {
        {"rpmPushMacro", reinterpret_cast<void *>(push_macro)},
        {"rpmtsCreate", reinterpret_cast<void *>(ts_create)},
        {"rpmtsSetRootDir", reinterpret_cast<void *>(set_root)},
        {"rpmtsSetVSFlags", reinterpret_cast<void *>(set_vs_flags)},
        {"rpmtsOpenDB", reinterpret_cast<void *>(open_db)},
        {"rpmtsInitIterator", reinterpret_cast<void *>(init_iterator)},
        {"rpmdbNextIterator", reinterpret_cast<void *>(next)},
        {"headerGet", reinterpret_cast<void *>(get)},
        {"rpmtdFreeData", reinterpret_cast<void *>(free_data)},
    };
    for (const auto &function : functions)
        if (strcmp(function.name, name) == 0)
            return function.function;
    return nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    headers.assign(1, std::vector<Value>(tag_count));
    for (size_t start = 0; start < text.size() && headers.size() < 64;) {
        size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line == "--")
            headers.emplace_back(tag_count);
        else if (line.size() >= 2 && line[0] >= 'a' &&
                 static_cast<size_t>(line[0] - 'a') < tag_count) {
            Value &value = headers.back()[line[0] - 'a'];
            value = {line[1], std::string(line.substr(2))};
            for (size_t at; (at = value.text.find("\\n")) != value.text.npos;)
                value.text.replace(at, 2, "\n");
        }
    }

    std::unique_ptr<adm::Source> source = adm::open_rpm_source("/nonexistent/rpm", "sqlite");
    check_source(*source, {"NAME", "ARCH", "VERSION", "BASEDIR", "CATEGORY"}, {"DESC", "INSTDATE"});
    return 0;
}
