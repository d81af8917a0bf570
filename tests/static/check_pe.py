#!/usr/bin/env python3
"""Static checks of the shipped 32-bit executable: what Windows XP and
today's Windows need of it, read from the file itself with pefile."""
import os
import sys
import xml.etree.ElementTree as ET

import pefile

from report import check, finish

MAX_SIZE = 8 * 1024

# Every function the executable may import, each present in the DLLs of a
# clean Windows XP SP3 (GetProcessId since SP1). The runtime's start-up code
# brings most of them. A name not listed here fails the check until someone
# has made sure that Windows XP exports it.
XP_EXPORTS = {
    "KERNEL32.dll": {
        "CloseHandle", "CreateMutexW", "DeleteCriticalSection", "EnterCriticalSection",
        "FreeLibrary", "GetCurrentProcessId", "GetLastError", "GetModuleFileNameW",
        "GetModuleHandleA", "GetProcAddress", "GetProcessHeap", "GetProcessId",
        "GetStartupInfoA", "HeapAlloc", "HeapFree", "InitializeCriticalSection",
        "LeaveCriticalSection", "LoadLibraryA", "MultiByteToWideChar", "OpenProcess",
        "OutputDebugStringW", "SetUnhandledExceptionFilter", "Sleep", "TerminateProcess",
        "ExitProcess", "GetCommandLineA", "IsDBCSLeadByte",
        "TlsGetValue", "VirtualProtect", "VirtualQuery", "WideCharToMultiByte",
        "WaitForSingleObject",
        # the installer's steps
        "CreateFileW", "GetFileInformationByHandle", "GetModuleHandleW", "LCMapStringW",
        "ProcessIdToSessionId", "SetLastError", "FindClose", "FindFirstFileW", "FindNextFileW",
        "GetFileAttributesW", "LocalFree",
    },
    "ADVAPI32.dll": {"CreateProcessAsUserW", "RegCloseKey", "RegCreateKeyExW", "RegDeleteKeyW",
                     "RegDeleteValueW", "RegOpenKeyExW", "RegQueryInfoKeyW", "RegQueryValueExW",
                     "RegSetValueExW", "EqualSid", "GetSecurityInfo"},
    "USERENV.dll": {"CreateEnvironmentBlock", "DestroyEnvironmentBlock"},
    "WTSAPI32.dll": {"WTSQueryUserToken"},
    "USER32.dll": {"GetCursorPos", "mouse_event"},
    "PSAPI.DLL": {"EnumProcesses", "EnumProcessModules", "GetModuleFileNameExW"},
    # Windows Installer 2.0, which Windows XP has; the installer's steps.
    "msi.dll": {"MsiCloseHandle", "MsiCreateRecord", "MsiGetProductInfoW", "MsiGetPropertyW",
                "MsiProcessMessage", "MsiRecordSetStringW", "MsiSetPropertyW"},
    "msvcrt.dll": {
        "__getmainargs", "__initenv", "__p__acmdln", "__p__commode", "__p__fmode",
        "__set_app_type", "__setusermatherr", "_amsg_exit", "_cexit", "_initterm", "_iob",
        "_onexit", "_vsnprintf", "abort", "calloc", "exit", "fprintf", "free", "fwrite",
        "malloc", "memcpy", "memset", "signal", "strcmp", "strlen", "strncmp", "vfprintf",
    },
}
# What nosaver itself calls; each must come from the DLL Windows XP has it in.
OWN_IMPORTS = {
    "KERNEL32.dll": {"CreateMutexW", "GetLastError", "CloseHandle", "Sleep",
                     "MultiByteToWideChar", "OutputDebugStringW"},
    "USER32.dll": {"GetCursorPos", "mouse_event"},
}

# The operating systems an application declares it was made for, so that
# Windows applies none of its compatibility shims to it.
SUPPORTED_OS = {
    "Vista": "{e2011457-1546-43c5-a5fe-008deee3d3f0}",
    "7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}


def numbers(most, least):
    """The four parts of a version stored as two 32-bit halves."""
    return most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF


def check_imports(pe, dlls):
    """Checks that every import is by name, from one of dlls, and known to
    exist on Windows XP; returns {dll: [functions]}."""
    imports = {entry.dll.decode(): ["#%d" % i.ordinal if i.import_by_ordinal else i.name.decode()
                                    for i in entry.imports]
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    names = {dll.upper(): dll for dll in imports}
    check(set(names) <= {dll.upper() for dll in dlls},
          "imports only from %s" % ", ".join(sorted(dlls)), sorted(imports))
    for dll, functions in imports.items():
        allowed = next((v for k, v in XP_EXPORTS.items() if k.upper() == dll.upper()), set())
        unknown = sorted(f for f in functions if f not in allowed)
        check(not unknown, "%s: only functions Windows XP exports" % dll, unknown)
        check(not [f for f in functions if f.startswith("K32")], "%s: no K32 functions" % dll)
        by_ordinal = [f for f in functions if f.startswith("#")]
        check(not by_ordinal, "%s: every function imported by name, none by ordinal only" % dll,
              by_ordinal)
    return imports


def main(path, version, signed=False):
    pe = pefile.PE(path)
    # A signature's certificate table follows the image, at the end of the
    # file; the size limit is the image's.
    length = os.path.getsize(path)
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    size = table.VirtualAddress or length
    if signed:
        check(table.Size and table.VirtualAddress + table.Size == length,
              "a certificate table ends the file", (table.VirtualAddress, table.Size, length))
    else:
        check(not table.Size, "no certificate table", table.Size)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    check(header.Machine == 0x14C and optional.Magic == 0x10B, "PE32 for x86", hex(header.Machine))
    check(optional.Subsystem == 2, "Windows GUI subsystem", optional.Subsystem)
    subsystem_version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
    check(subsystem_version == (5, 1), "subsystem version 5.01", subsystem_version)
    flags = hex(optional.DllCharacteristics)
    check(optional.IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE, "terminal-server aware", flags)
    check(optional.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE
          and optional.IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "dynamic base and NX compatible", flags)
    stack, stamp = optional.SizeOfStackReserve, header.TimeDateStamp
    check(stack == 1024 * 1024, "1 MiB stack reserve", stack)
    check(stamp == 0, "no time stamp in the header (reproducible)", stamp)
    check(size <= MAX_SIZE, "an image of at most %d bytes" % MAX_SIZE, size)

    imports = check_imports(pe, ["KERNEL32.dll", "USER32.dll", "PSAPI.DLL", "msvcrt.dll"])
    names = {dll.upper(): dll for dll in imports}
    for dll, functions in OWN_IMPORTS.items():
        have = set(imports.get(names.get(dll.upper(), ""), []))
        check(functions <= have, "%s provides %s" % (dll, ", ".join(sorted(functions))),
              sorted(functions - have))

    # (type, name) and the data of each language of each resource
    tree = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    resources = [((kind.id, name.id), pe.get_data(lang.data.struct.OffsetToData,
                                                  lang.data.struct.Size))
                 for kind in (tree.entries if tree else []) for name in kind.directory.entries
                 for lang in name.directory.entries]
    manifests = [data for key, data in resources if key == (pefile.RESOURCE_TYPE["RT_MANIFEST"], 1)]
    check(len(manifests) == 1, "one application manifest (RT_MANIFEST 1)", len(manifests))
    if manifests:
        root = ET.fromstring(manifests[0])
        levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        attrs = levels[0].attrib if levels else {}
        check(attrs.get("level") == "asInvoker" and attrs.get("uiAccess") == "false",
              'requestedExecutionLevel level="asInvoker" uiAccess="false"', attrs)
        supported = [e.get("Id") for e in root.iter()
                     if e.tag == "{urn:schemas-microsoft-com:compatibility.v1}supportedOS"]
        check(supported == list(SUPPORTED_OS.values()),
              "compatibility with %s declared" % ", ".join(SUPPORTED_OS), supported)

    versions = [data for key, data in resources if key == (pefile.RESOURCE_TYPE["RT_VERSION"], 1)]
    check(len(versions) == 1, "one version resource (RT_VERSION 1)", len(versions))
    if versions:
        fixed = pe.VS_FIXEDFILEINFO[0]
        found = (hex(fixed.Signature), numbers(fixed.FileVersionMS, fixed.FileVersionLS),
                 numbers(fixed.ProductVersionMS, fixed.ProductVersionLS), fixed.FileType)
        release = tuple(int(n) for n in version.split(".")) + (0,)
        check(found == (hex(0xFEEF04BD), release, release, 1),
              "fixed version %s of an application" % version, found)
        strings = {key.decode(): value.decode() for info in pe.FileInfo[0]
                   if info.Key == b"StringFileInfo"
                   for table in info.StringTable for key, value in table.entries.items()}
        expected = {"FileVersion": version, "ProductVersion": version, "ProductName": "nosaver",
                    "InternalName": "nosaver", "OriginalFilename": "nosaver.exe"}
        check(all(strings.get(k) == v for k, v in expected.items()),
              "version strings name nosaver %s" % version, strings)
        described = {"CompanyName": "nosaver developers", "FileDescription": "screen saver",
                     "LegalCopyright": "MIT License"}
        check(all(w in strings.get(k, "") for k, w in described.items())
              and strings.get("LegalCopyright", "").startswith("Copyright (c) "),
              "a company, a file description and an MIT License copyright", strings)

    signature = ", of them %d the certificate table" % table.Size if table.Size else ""
    return finish("%s: %d bytes%s" % (path, length, signature))


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[3:] not in ([], ["signed"]):
        sys.exit("usage: check_pe.py EXE VERSION [signed]")
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:] == ["signed"]))
