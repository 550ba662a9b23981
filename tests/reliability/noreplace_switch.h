// A switch for the multi-process tests: while on, renameat2 refuses
// RENAME_NOREPLACE with EINVAL, as GlusterFS does, so that every move of
// the library takes its link fallback. The library's calls reach the
// definition in noreplace_switch.cpp (the test binary's own renameat2);
// off, it is the system call. Forked children inherit the setting.
#pragma once

void vr_refuse_noreplace(bool on);
bool vr_refusing_noreplace(void);
