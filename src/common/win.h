/*
 * The one seam between nosaver and the platform.
 *
 * On Windows this is <windows.h>, <psapi.h> and the headers of the few
 * other system DLLs that the installer's steps use. Everywhere else the same
 * names are declared here and provided by the simulated Windows of
 * tests/simwin, so that the portable code compiles unchanged on a host and
 * its unit tests can steer every platform operation.
 *
 * Only what nosaver and its installer's steps call is declared; the
 * declarations follow the Win32 prototypes, with WCHAR being a 16-bit unit
 * on both sides.
 */
#ifndef NOSAVER_COMMON_WIN_H
#define NOSAVER_COMMON_WIN_H

#include <stdarg.h>
#include <stddef.h>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <psapi.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <userenv.h>
#include <wtsapi32.h>

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
typedef uint64_t ULONGLONG;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef char16_t WCHAR;
typedef char *LPSTR;
typedef void *HANDLE;
typedef struct SimModule *HMODULE;
typedef HMODULE HINSTANCE;
typedef struct SimKey *HKEY;
typedef DWORD REGSAM;
typedef DWORD LCID;
typedef void (*FARPROC)(void);
typedef unsigned long MSIHANDLE;
typedef int INSTALLMESSAGE;
typedef void *HLOCAL;
typedef void *PSID;
typedef void *PSECURITY_DESCRIPTOR;
typedef struct _ACL *PACL;
typedef DWORD SECURITY_INFORMATION;
typedef enum _SE_OBJECT_TYPE { SE_FILE_OBJECT = 1 } SE_OBJECT_TYPE;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION;

typedef struct _FILE_ID_128 {
    BYTE Identifier[16];
} FILE_ID_128;

typedef struct _FILE_ID_INFO {
    ULONGLONG VolumeSerialNumber;
    FILE_ID_128 FileId;
} FILE_ID_INFO;

typedef enum _FILE_INFO_BY_HANDLE_CLASS { FileIdInfo = 18 } FILE_INFO_BY_HANDLE_CLASS;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[260];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW;

typedef struct _STARTUPINFOW {
    DWORD cb;
    WCHAR *lpReserved;
    WCHAR *lpDesktop;
    WCHAR *lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    uint16_t wShowWindow, cbReserved2;
    BYTE *lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOW;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT;

#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_NO_MORE_FILES 18
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_ALREADY_EXISTS 183
#define ERROR_MORE_DATA 234
#define ERROR_PARTIAL_COPY 299
#define ERROR_NO_TOKEN 1008
#define ERROR_PRIVILEGE_NOT_HELD 1314
#define ERROR_INSTALL_FAILURE 1603
#define ERROR_UNKNOWN_PRODUCT 1605
#define ERROR_UNKNOWN_PROPERTY 1608

#define FILE_SHARE_READ 0x1
#define FILE_SHARE_WRITE 0x2
#define FILE_SHARE_DELETE 0x4
#define OPEN_EXISTING 3
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_REPARSE_POINT 0x400
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define READ_CONTROL 0x00020000
#define OWNER_SECURITY_INFORMATION 0x1

#define LOCALE_INVARIANT 0x007F
#define LCMAP_UPPERCASE 0x00000200
#define CSTR_EQUAL 2

#define CREATE_UNICODE_ENVIRONMENT 0x00000400

#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002)
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_WOW64_32KEY 0x0200
#define REG_OPTION_NON_VOLATILE 0
#define REG_BINARY 3

#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define WC_NO_BEST_FIT_CHARS 0x00000400

#define MOUSEEVENTF_ABSOLUTE 0x8000

#define PROCESS_TERMINATE 0x0001
#define PROCESS_CREATE_THREAD 0x0002
#define PROCESS_VM_OPERATION 0x0008
#define PROCESS_VM_READ 0x0010
#define PROCESS_VM_WRITE 0x0020
#define PROCESS_QUERY_INFORMATION 0x0400
#define SYNCHRONIZE 0x00100000

#define INSTALLMESSAGE_ERROR 0x01000000
#define INSTALLMESSAGE_WARNING 0x02000000
#define INSTALLMESSAGE_INFO 0x04000000
#define MB_ICONERROR 0x00000010

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
HANDLE CreateFileW(const WCHAR *name, DWORD access, DWORD share, void *security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION *info);
BOOL ProcessIdToSessionId(DWORD processId, DWORD *sessionId);
HMODULE GetModuleHandleW(const WCHAR *name);
FARPROC GetProcAddress(HMODULE module, const char *name);
int LCMapStringW(LCID locale, DWORD flags, const WCHAR *source, int sourceUnits, WCHAR *out,
                 int units);
DWORD GetFileAttributesW(const WCHAR *name);
HANDLE FindFirstFileW(const WCHAR *pattern, WIN32_FIND_DATAW *found);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW *found);
BOOL FindClose(HANDLE find);
HLOCAL LocalFree(HLOCAL block);

/* advapi32 */
BOOL CreateProcessAsUserW(HANDLE token, const WCHAR *application, WCHAR *commandLine,
                          void *processAttributes, void *threadAttributes, BOOL inherit,
                          DWORD flags, void *environment, const WCHAR *directory,
                          STARTUPINFOW *startup, PROCESS_INFORMATION *information);
LONG RegCreateKeyExW(HKEY key, const WCHAR *subKey, DWORD reserved, WCHAR *className,
                     DWORD options, REGSAM access, void *security, HKEY *result,
                     DWORD *disposition);
LONG RegOpenKeyExW(HKEY key, const WCHAR *subKey, DWORD options, REGSAM access, HKEY *result);
LONG RegQueryValueExW(HKEY key, const WCHAR *name, DWORD *reserved, DWORD *type, BYTE *data,
                      DWORD *bytes);
LONG RegSetValueExW(HKEY key, const WCHAR *name, DWORD reserved, DWORD type, const BYTE *data,
                    DWORD bytes);
LONG RegDeleteValueW(HKEY key, const WCHAR *name);
LONG RegQueryInfoKeyW(HKEY key, WCHAR *className, DWORD *classUnits, DWORD *reserved,
                      DWORD *subKeys, DWORD *maxSubKeyUnits, DWORD *maxClassUnits,
                      DWORD *values, DWORD *maxValueNameUnits, DWORD *maxValueBytes,
                      DWORD *securityDescriptorBytes, FILETIME *lastWriteTime);
LONG RegDeleteKeyW(HKEY key, const WCHAR *subKey);
LONG RegCloseKey(HKEY key);
DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information,
                      PSID *owner, PSID *group, PACL *dacl, PACL *sacl,
                      PSECURITY_DESCRIPTOR *descriptor);
BOOL EqualSid(PSID a, PSID b);

/* wtsapi32 */
BOOL WTSQueryUserToken(DWORD sessionId, HANDLE *token);

/* userenv */
BOOL CreateEnvironmentBlock(void **environment, HANDLE token, BOOL inherit);
BOOL DestroyEnvironmentBlock(void *environment);

/* msi */
UINT MsiGetPropertyW(MSIHANDLE install, const WCHAR *name, WCHAR *value, DWORD *units);
UINT MsiSetPropertyW(MSIHANDLE install, const WCHAR *name, const WCHAR *value);
UINT MsiGetProductInfoW(const WCHAR *product, const WCHAR *attribute, WCHAR *value,
                        DWORD *units);
MSIHANDLE MsiCreateRecord(UINT fields);
UINT MsiRecordSetStringW(MSIHANDLE record, UINT field, const WCHAR *value);
int MsiProcessMessage(MSIHANDLE install, INSTALLMESSAGE kind, MSIHANDLE record);
UINT MsiCloseHandle(MSIHANDLE handle);

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

#endif /* NOSAVER_COMMON_WIN_H */
