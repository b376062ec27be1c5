// pkginfo() and pkgparam() over the host's package database.
#include "pkgdb.h"

#include <pkginfo.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <exception>

// The databases of this host, in the order they are looked for. Built once,
// by the first enumeration as a rule, so that a lookup in the instance just
// delivered allocates nothing and cannot fail for want of memory.
static const adm::Roots &host_roots()
{
    static const adm::Roots roots = {
        adm::package_root, adm::dpkg_root, {std::begin(adm::rpm_roots), std::end(adm::rpm_roots)}};
    return roots;
}

// No exception may cross into the C caller: running out of memory is ENOMEM.
template <typename Result, typename Call> static Result guarded(Result failure, Call call)
{
    try {
        return call();
    } catch (const std::exception &) {
        errno = ENOMEM;
        return failure;
    }
}

extern "C" int pkginfo(struct pkginfo *info, char *pkginst, ...)
{
    if (pkginst == nullptr) {
        adm::end_enumeration(info);
        return 0;
    }
    va_list selectors;
    va_start(selectors, pkginst);
    const char *arch = va_arg(selectors, const char *);
    const char *version = va_arg(selectors, const char *);
    va_end(selectors);
    // Only the enumeration of every instance is offered; a selection by
    // name, architecture or version is refused rather than ignored.
    if (info == nullptr || strcmp(pkginst, "all") != 0 || arch != nullptr || version != nullptr) {
        errno = EINVAL;
        return -1;
    }
    return guarded(-1, [&] { return adm::next_package(host_roots(), info); });
}

extern "C" char *pkgparam(char *pkginst, char *param)
{
    if (pkginst == nullptr && param == nullptr) {
        adm::end_lookups();
        return nullptr;
    }
    return guarded<char *>(nullptr, [&] { return adm::find_param(host_roots(), pkginst, param); });
}
