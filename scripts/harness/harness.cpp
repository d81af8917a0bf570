/*
 * The Windows side of the Wine scenarios.
 *
 *   harness listen OUT     reads the debugger output stream as a viewer
 *                          does (DBWIN_BUFFER and its events) and appends
 *                          one line per message to OUT: the milliseconds
 *                          since it began to listen, a blank, the sender's
 *                          process id, a blank, the message bytes in hex.
 *                          OUT.ready appears once it listens; it stops
 *                          when OUT.stop appears.
 *   harness spawn APP HEX RESULT
 *                          starts APP with the exact command line whose
 *                          bytes HEX gives, writes "pid N" to RESULT, waits
 *                          for the process and appends "exit N".
 *   harness spawnw APP HEX RESULT
 *                          the same, with HEX giving the command line in
 *                          UTF-8, as CreateProcessW takes it whatever the
 *                          ANSI code page (for programs started with paths).
 *   harness sleep          sleeps until it is terminated (a decoy).
 *   harness kill PID       terminates a process with exit code 1.
 *   harness wait PID MS    waits up to MS milliseconds for a process to end
 *                          and prints "exit N", "running", or "gone" when
 *                          it has ended and is known no more.
 *   harness cursor         prints the cursor position as "x y".
 *   harness cursor X Y     puts the cursor at X,Y with SetCursorPos.
 *   harness nudge          sends a mouse event that moves nothing, as
 *                          nosaver does, and prints the cursor position
 *                          right after it as "x y".
 *   harness short PATH     prints the short (8.3) form of PATH in UTF-8.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static HANDLE OpenOutput(const wchar_t *path, DWORD disposition)
{
    return CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

static void WriteText(HANDLE file, const char *text)
{
    DWORD written;
    WriteFile(file, text, (DWORD)strlen(text), &written, NULL);
}

static bool Exists(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

static int Listen(const wchar_t *outPath)
{
    HANDLE bufferReady = CreateEventW(NULL, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    HANDLE dataReady = CreateEventW(NULL, FALSE, FALSE, L"DBWIN_DATA_READY");
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, 4096,
                                       L"DBWIN_BUFFER");
    if (bufferReady == NULL || dataReady == NULL || mapping == NULL ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
        fprintf(stderr, "harness: another debug-output listener runs, or none can be made\n");
        return 2;
    }
    const unsigned char *view = (const unsigned char *)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4096);
    HANDLE out = OpenOutput(outPath, CREATE_ALWAYS);
    if (view == NULL || out == INVALID_HANDLE_VALUE)
        return 2;

    /* Reading the cursor attaches this process to Wine's desktop for as
       long as it listens. Under emulation the desktop process ends whenever
       no program uses the display, and each new one puts the pointer in the
       middle of the screen. Bringing the desktop up can take seconds, so it
       comes before the buffer is offered and OUT.ready says so: a writer
       waits for the buffer only so long before it drops its message. */
    POINT point;
    GetCursorPos(&point);

    static char line[4096 * 2 + 64];
    DWORD start = GetTickCount();
    SetEvent(bufferReady);
    wchar_t marker[MAX_PATH + 8];
    swprintf(marker, MAX_PATH + 8, L"%ls.ready", outPath);
    CloseHandle(OpenOutput(marker, CREATE_ALWAYS));
    swprintf(marker, MAX_PATH + 8, L"%ls.stop", outPath);
    for (;;) {
        if (WaitForSingleObject(dataReady, 100) != WAIT_OBJECT_0) {
            if (Exists(marker))
                return 0;
            continue;
        }
        DWORD pid;
        memcpy(&pid, view, sizeof pid);
        int n = sprintf(line, "%lu %lu ", (unsigned long)(GetTickCount() - start),
                        (unsigned long)pid);
        for (size_t i = sizeof pid; i < 4096 && view[i] != 0; i++)
            n += sprintf(line + n, "%02x", view[i]);
        line[n++] = '\n';
        line[n] = 0;
        WriteText(out, line);
        SetEvent(bufferReady);
    }
}

static int Spawn(const wchar_t *app, const wchar_t *hex, const wchar_t *resultPath, UINT codePage)
{
    char command[8192];
    size_t length = wcslen(hex) / 2;
    if (length >= sizeof command)
        return 2;
    for (size_t i = 0; i < length; i++) {
        wchar_t pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        command[i] = (char)wcstoul(pair, NULL, 16);
    }
    command[length] = 0;

    /* With CP_ACP, exactly what CreateProcessA would do with these bytes. */
    wchar_t wide[8192];
    if (MultiByteToWideChar(codePage, 0, command, -1, wide, 8192) == 0)
        return 2;

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    HANDLE result = OpenOutput(resultPath, CREATE_ALWAYS);
    if (result == INVALID_HANDLE_VALUE)
        return 2;
    if (!CreateProcessW(app, wide, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
        char text[64];
        sprintf(text, "error %lu\n", (unsigned long)GetLastError());
        WriteText(result, text);
        return 1;
    }
    char text[64];
    sprintf(text, "pid %lu\n", (unsigned long)info.dwProcessId);
    WriteText(result, text);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    sprintf(text, "exit %lu\n", (unsigned long)code);
    WriteText(result, text);
    return 0;
}

static int Kill(const wchar_t *pidText)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, (DWORD)wcstoul(pidText, NULL, 10));
    if (process == NULL)
        return 1;
    return TerminateProcess(process, 1) ? 0 : 1;
}

static int Wait(const wchar_t *pidText, const wchar_t *msText)
{
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                 (DWORD)wcstoul(pidText, NULL, 10));
    if (process == NULL) {
        printf("gone\n");
        return 0;
    }
    DWORD code = 0;
    if (WaitForSingleObject(process, (DWORD)wcstoul(msText, NULL, 10)) != WAIT_OBJECT_0)
        printf("running\n");
    else if (GetExitCodeProcess(process, &code))
        printf("exit %lu\n", (unsigned long)code);
    else
        return 1;
    return 0;
}

static int Short(const wchar_t *path)
{
    wchar_t shortPath[32768];
    char text[3 * 32768];
    if (GetShortPathNameW(path, shortPath, 32768) == 0)
        return 1;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, shortPath, -1, text, sizeof text, NULL, NULL);
    if (bytes == 0)
        return 1;
    fwrite(text, 1, (size_t)bytes - 1, stdout);
    return 0;
}

static int PrintCursor()
{
    POINT point = {};
    if (!GetCursorPos(&point))
        return 1;
    printf("%ld %ld\n", (long)point.x, (long)point.y);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 3 && wcscmp(argv[1], L"listen") == 0)
        return Listen(argv[2]);
    if (argc == 5 && wcscmp(argv[1], L"spawn") == 0)
        return Spawn(argv[2], argv[3], argv[4], CP_ACP);
    if (argc == 5 && wcscmp(argv[1], L"spawnw") == 0)
        return Spawn(argv[2], argv[3], argv[4], CP_UTF8);
    if (argc == 2 && wcscmp(argv[1], L"sleep") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"kill") == 0)
        return Kill(argv[2]);
    if (argc == 4 && wcscmp(argv[1], L"wait") == 0)
        return Wait(argv[2], argv[3]);
    if (argc == 3 && wcscmp(argv[1], L"short") == 0)
        return Short(argv[2]);
    if (argc == 2 && wcscmp(argv[1], L"cursor") == 0)
        return PrintCursor();
    if (argc == 4 && wcscmp(argv[1], L"cursor") == 0)
        return SetCursorPos((int)wcstol(argv[2], NULL, 10), (int)wcstol(argv[3], NULL, 10)) ? 0 : 1;
    if (argc == 2 && wcscmp(argv[1], L"nudge") == 0) {
        POINT point = {};
        if (!GetCursorPos(&point))
            return 1;
        mouse_event(MOUSEEVENTF_ABSOLUTE, (DWORD)point.x, (DWORD)point.y, 0, 0);
        return PrintCursor();
    }
    fprintf(stderr, "usage: harness listen OUT | spawn APP HEX RESULT | spawnw APP HEX RESULT | sleep | kill PID | wait PID MS"
                    " | cursor [X Y] | nudge | short PATH\n");
    return 2;
}
