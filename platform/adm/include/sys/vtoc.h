// The disk label reader of the administration library.
#ifndef PROBES_ADM_SYS_VTOC_H
#define PROBES_ADM_SYS_VTOC_H

#ifdef __cplusplus
extern "C" {
#endif

struct vtoc {
    char v_asciilabel[128];
};

int read_vtoc(int fd, struct vtoc *vtoc);

#ifdef __cplusplus
}
#endif

#endif
