// The package database functions of the administration library.
#ifndef PROBES_ADM_PKGINFO_H
#define PROBES_ADM_PKGINFO_H

#ifdef __cplusplus
extern "C" {
#endif

struct pkginfo {
    char *pkginst;
    char *name;
    char *arch;
    char *version;
    char *vendor;
    char *basedir;
    char *catg;
    char status;
};

// pkginfo(info, "all", NULL, NULL) fills info with the next package instance
// and returns 0; at the end it returns -1 with errno ESRCH, and on a failed
// read -1 with that read's errno. Both further arguments must be given, and
// null: a selection by name, architecture or version is refused (EINVAL).
// pkginfo(info, NULL) ends the enumeration. The record's strings stay valid
// until the next call.
int pkginfo(struct pkginfo *info, char *pkginst, ...);

// The value of one parameter of one instance, or NULL: no such parameter or
// instance, or (errno ENOMEM) no memory to read it. A lookup in the instance
// that pkginfo delivered last needs none: its parameters were read then. The
// value stays valid until pkgparam(NULL, NULL), which ends the lookups, or
// lookups in another instance.
char *pkgparam(char *pkginst, char *param);

#ifdef __cplusplus
}
#endif

#endif
