#include "swprobe.h"

#include "collector.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char not_specified[] = "<not specified>";

// The status code the package database gives a package installed before
// the current package format, which has no parameters file.
static const signed char pre_svr4_package = 2;

// The further parameters written after the status line, in this order.
static const char *const paramlist[] = {
    "DESC",    "PSTAMP", "INSTDATE",     "VSTOCK",    "SERIALNUM",
    "HOTLINE", "EMAIL",  "ORLO_PATCHID", "PATCHLIST", nullptr,
};

static const char *status_word(char status)
{
    // The code is a signed 8-bit value whatever the signedness of char.
    switch (static_cast<signed char>(status)) {
    case 0:
        return "installed";
    case 1:
        return "partially installed";
    case pre_svr4_package:
        return "pre-SVR4";
    case 3:
        return "unknown";
    case 4:
        return "spooled";
    default:
        return not_specified;
    }
}

static const char *or_not_specified(const char *field)
{
    return field != nullptr ? field : not_specified;
}

void display_node(const struct pkginfo *info)
{
    // Values come from files that others may write: put_field keeps each to
    // its own line, so a line feed in one cannot start a forged record.
    put_field("*PKGINST", or_not_specified(info->pkginst), SIZE_MAX, false);
    put_field("NAME", or_not_specified(info->name), SIZE_MAX, false);
    put_field("CATEGORY", or_not_specified(info->catg), SIZE_MAX, false);
    put_field("ARCH", or_not_specified(info->arch), SIZE_MAX, false);
    put_field("VERSION", or_not_specified(info->version), SIZE_MAX, false);
    put_field("VENDOR", or_not_specified(info->vendor), SIZE_MAX, false);
    put_field("BASEDIR", or_not_specified(info->basedir), SIZE_MAX, false);
    put_field("STATUS", status_word(info->status), SIZE_MAX, false);

    // A pre-SVR4 package has no parameters to ask for.
    if (static_cast<signed char>(info->status) == pre_svr4_package)
        return;
    for (int i = 0; paramlist[i] != nullptr; i++) {
        const char *value = pkgparam(info->pkginst, const_cast<char *>(paramlist[i]));
        if (value != nullptr && value[0] != '\0')
            put_field(paramlist[i], value, SIZE_MAX, false);
    }
    (void)pkgparam(nullptr, nullptr);
}

static bool is_filled(const char *field)
{
    return field != nullptr && field[0] != '\0';
}

int list_packages()
{
    struct pkginfo info;
    int result;
    do {
        // The database keeps its own place; the record starts empty every
        // time so nothing of one package shows up in the next.
        info.pkginst = info.name = info.arch = info.version = nullptr;
        info.vendor = info.basedir = info.catg = nullptr;
        info.status = 0;
        result = pkginfo(&info, const_cast<char *>("all"), nullptr, nullptr);
        if (result == 0) {
            if (!is_filled(info.name) || !is_filled(info.arch) || !is_filled(info.version) ||
                !is_filled(info.catg)) {
                display_error("Incomplete information from pkginfo.", 5061, 0);
                exit(finish_output(swprobe_failure_status));
            }
            display_node(&info);
        } else {
            int error = errno;
            if (error != ESRCH)
                display_errno_error(error, "Error from pkginfo: %s", strerror(error));
        }
    } while (result == 0);
    (void)pkginfo(&info, nullptr);
    return status_completed;
}
