// A switch for the multi-process tests: while on, renameat2 refuses
// RENAME_NOREPLACE with EINVAL, as GlusterFS does, so that every move of
// the library takes its link fallback. The library's calls reach the
// definition in noreplace_switch.cpp (the test binary's own renameat2);
// off, it is the system call. Forked children inherit the setting.
#pragma once

void vr_refuse_noreplace(bool on);
bool vr_refusing_noreplace(void);
// Whether the file system under dir itself refuses RENAME_NOREPLACE, so
// that every move takes the fallback whatever the switch says (GlusterFS).
bool vr_fs_refuses_noreplace(const char *dir);
