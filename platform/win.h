/*
 * The one seam between nosaver and the platform.
 *
 * On Windows this is <windows.h> and <psapi.h>. Everywhere else the same
 * names are declared here and provided by the simulated Windows in
 * platform/simwin.cpp, so that the portable code compiles unchanged on a
 * host and its unit tests can steer every platform operation.
 *
 * Only what nosaver calls is declared; the declarations follow the Win32
 * prototypes, with WCHAR being a 16-bit unit on both sides.
 */
#ifndef NOSAVER_PLATFORM_WIN_H
#define NOSAVER_PLATFORM_WIN_H

#include <stdarg.h>
#include <stddef.h>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <psapi.h>
#include <stdio.h>

/* A wide string literal. */
#define WTEXT(s) L##s
/* printf-style checking of the trace formats, as msvcrt formats them. */
#define NS_PRINTF(fmt, first) __attribute__((format(ms_printf, fmt, first)))

#else /* the simulated Windows */

#include <stdint.h>

#define WTEXT(s) u##s
#define NS_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

#define WINAPI
#define FALSE 0
#define TRUE 1

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef char16_t WCHAR;
typedef char *LPSTR;
typedef void *HANDLE;
typedef struct SimModule *HMODULE;
typedef HMODULE HINSTANCE;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

#define ERROR_SUCCESS 0
#define ERROR_ACCESS_DENIED 5
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_PARTIAL_COPY 299

#define CP_ACP 0
#define CP_THREAD_ACP 3
#define WC_NO_BEST_FIT_CHARS 0x00000400

#define MOUSEEVENTF_ABSOLUTE 0x8000

#define PROCESS_TERMINATE 0x0001
#define PROCESS_CREATE_THREAD 0x0002
#define PROCESS_VM_OPERATION 0x0008
#define PROCESS_VM_READ 0x0010
#define PROCESS_VM_WRITE 0x0020
#define PROCESS_QUERY_INFORMATION 0x0400
#define SYNCHRONIZE 0x00100000

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFF

/* kernel32 */
HANDLE CreateMutexW(void *attributes, BOOL initialOwner, const WCHAR *name);
DWORD GetLastError(void);
void SetLastError(DWORD error);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
DWORD GetModuleFileNameW(HMODULE module, WCHAR *buffer, DWORD size);
DWORD GetCurrentProcessId(void);
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD processId);
DWORD GetProcessId(HANDLE process);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char *text, int bytes, WCHAR *out,
                        int units);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *text, int units, char *out,
                        int bytes, const char *defaultChar, BOOL *usedDefault);
void OutputDebugStringW(const WCHAR *text);
BOOL IsDBCSLeadByte(BYTE byte);
HANDLE GetProcessHeap(void);
void *HeapAlloc(HANDLE heap, DWORD flags, size_t bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, void *block);

/* user32 */
BOOL GetCursorPos(POINT *point);
void mouse_event(DWORD flags, DWORD dx, DWORD dy, DWORD data, ULONG_PTR extraInfo);

/* psapi */
BOOL EnumProcesses(DWORD *ids, DWORD bytes, DWORD *bytesReturned);
BOOL EnumProcessModules(HANDLE process, HMODULE *modules, DWORD bytes, DWORD *bytesNeeded);
DWORD GetModuleFileNameExW(HANDLE process, HMODULE module, WCHAR *buffer, DWORD size);

/* msvcrt: writes at most count bytes, adds no terminator when the output
   fills them, and returns -1 when it did not fit or could not be made. */
int _vsnprintf(char *buffer, size_t count, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));

#endif /* _WIN32 */

#endif /* NOSAVER_PLATFORM_WIN_H */
