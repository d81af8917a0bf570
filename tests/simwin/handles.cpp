/*
 * The simulated Windows: kernel32's handles of every kind and CloseHandle,
 * the thread's last error, and the process heap, whose blocks are counted
 * so that a test sees any left behind.
 */
#include "simwin/machine.h"

#include <stdlib.h>
#include <string.h>

using simwin::Handle;
using simwin::Kind;
using simwin::M;
using simwin::Record;

namespace simwin {

HANDLE NewHandle(const Handle &h)
{
    Machine &m = M();
    const uintptr_t value = m.nextHandle;
    m.nextHandle += 4;
    m.handles[value] = h;
    return reinterpret_cast<HANDLE>(value);
}

Handle *FindHandle(HANDLE h)
{
    auto it = M().handles.find(reinterpret_cast<uintptr_t>(h));
    return it == M().handles.end() ? nullptr : &it->second;
}

Handle *HandleOf(HANDLE h, Kind kind)
{
    Handle *handle = FindHandle(h);
    if (handle == nullptr || handle->kind != kind) {
        M().lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return handle;
}

} // namespace simwin

SimHeapStats SimHeap(void)
{
    return {M().heapAllocations, static_cast<int>(M().heapBlocks.size())};
}

int SimOpenHandles(void)
{
    return static_cast<int>(M().handles.size() + M().records.size());
}

DWORD GetLastError(void)
{
    Record("GetLastError()=%u", M().lastError);
    return M().lastError;
}

void SetLastError(DWORD error)
{
    M().lastError = error;
}

BOOL CloseHandle(HANDLE handle)
{
    Handle *h = simwin::FindHandle(handle);
    /* Environment blocks, registry keys and listings have closing calls of
       their own. */
    if (h == nullptr || h->kind == Kind::Environment || h->kind == Kind::Key ||
        h->kind == Kind::Find) {
        Record("CloseHandle(invalid)");
        M().lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    static const char *const kKinds[] = {"process", "mutex", "file", "token", "thread",
                                         "environment", "key", "folder"};
    if (h->kind == Kind::Mutex) {
        Record("CloseHandle(mutex)");
        if (--M().mutexHolders[h->mutex] == 0)
            M().mutexHolders.erase(h->mutex);
    } else if (h->kind == Kind::Process) {
        Record("CloseHandle(process %u)", h->processId);
    } else {
        Record("CloseHandle(%s)", kKinds[static_cast<int>(h->kind)]);
    }
    const DWORD id = h->kind == Kind::Process ? h->processId : 0;
    M().handles.erase(reinterpret_cast<uintptr_t>(handle));
    if (id != 0)
        simwin::ProcessReleased(id);
    return TRUE;
}

HANDLE GetProcessHeap(void)
{
    return reinterpret_cast<HANDLE>(simwin::kProcessHeap);
}

void *HeapAlloc(HANDLE heap, DWORD flags, size_t bytes)
{
    (void)heap;
    (void)flags;
    Record("HeapAlloc(%zu)", bytes);
    if (simwin::Faulted("HeapAlloc"))
        return nullptr;
    void *block = malloc(bytes == 0 ? 1 : bytes);
    memset(block, 0xCD, bytes);
    M().heapBlocks.insert(block);
    M().heapAllocations++;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, void *block)
{
    (void)heap;
    (void)flags;
    Record("HeapFree");
    if (M().heapBlocks.erase(block) != 1)
        abort(); /* a double free or a block that was never allocated */
    free(block);
    return TRUE;
}
