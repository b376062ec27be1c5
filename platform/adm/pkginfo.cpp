// pkginfo() and pkgparam() over the host's package database. No exception
// may cross into the C caller: running out of memory is ENOMEM.
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
    try {
        return adm::next_package(host_roots(), info);
    } catch (const std::exception &) {
        errno = ENOMEM;
        return -1;
    }
}

extern "C" char *pkgparam(char *pkginst, char *param)
{
    if (pkginst == nullptr && param == nullptr) {
        adm::end_lookups();
        return nullptr;
    }
    try {
        return adm::find_param(host_roots(), pkginst, param);
    } catch (const std::exception &) {
        errno = ENOMEM;
        return nullptr;
    }
}
