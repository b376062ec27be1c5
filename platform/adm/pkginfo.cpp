// pkginfo() and pkgparam() over the host's package database. Strings handed
// out belong to the library: a record's until the next pkginfo() call, a
// parameter's until pkgparam(NULL, NULL) or lookups in another instance.
#include "pkgdb.h"

#include <pkginfo.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <exception>

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
        return adm::next_package(adm::package_root, info);
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
        return adm::find_param(adm::package_root, pkginst, param);
    } catch (const std::exception &) {
        errno = ENOMEM;
        return nullptr;
    }
}
