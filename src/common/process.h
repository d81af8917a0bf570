/*
 * What nosaver.exe and the installer's steps share of how they look at
 * other processes.
 */
#ifndef NOSAVER_COMMON_PROCESS_H
#define NOSAVER_COMMON_PROCESS_H

#include "common/win.h"

/* One snapshot of process identifiers holds at most this many: far more
   processes than a Windows runs at once, so that one snapshot is the whole
   table. 65,535, not 65,536, as "close" has always taken it (262,140
   bytes); nosaver.exe's search keeps it on its stack. */
inline constexpr DWORD kMaxProcessIds = 65535;
/* What a process is opened with to read the path of its executable. */
inline constexpr DWORD kAccessReadPath = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;

#endif /* NOSAVER_COMMON_PROCESS_H */
