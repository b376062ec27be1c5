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

int pkginfo(struct pkginfo *info, char *pkginst, ...);
char *pkgparam(char *pkginst, char *param);

#ifdef __cplusplus
}
#endif

#endif
