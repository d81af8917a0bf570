/*
 * The frame of the installer's tests on a simulated machine: the installed
 * file and the record, the installer's own process as LocalSystem in
 * session 0, the users logged on, and the DLL's entries as Windows
 * Installer calls them, with their data and their log.
 */
#ifndef NOSAVER_TESTS_UNIT_INSTALLER_TEST_H
#define NOSAVER_TESTS_UNIT_INSTALLER_TEST_H

#include "installer/installer.h"
#include "sim_test.h"

#include <cstdio>
#include <string>
#include <vector>

/* The installed file and its identity, and the registry value the steps
   keep between them. */
inline const std::u16string kInstalled = u"C:\\Outils \u00e9t\u00e9\\nosaver\\nosaver.exe";
inline const DWORD kVolume = 0x5EED;
inline const DWORD kInstalledIndex = 77;
inline const std::string kRecordPath = "Software\\nosaver";
inline const std::string kRecord = kRecordPath + "\\RestartSessions=";
inline const MSIHANDLE kInstall = 42;

/* The session ids of a record as SimRegistry shows it, in hex. */
inline std::string Sessions(const std::vector<uint32_t> &ids)
{
    std::string hex;
    char unit[3];
    for (char byte : RecordBytes(ids)) {
        snprintf(unit, sizeof unit, "%02x", static_cast<unsigned char>(byte));
        hex += unit;
    }
    return hex;
}

class InstallerTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        SimSetCodePage(1252);
        SimClearProcesses();
    }

    /* The installer's process, as LocalSystem in session 0, then the others;
       the installed file in place. */
    static void Machine(const std::vector<SimProcess> &others)
    {
        std::vector<SimProcess> table = {
            As(Process(kSelf, u"C:\\Windows\\System32\\msiexec.exe"), "SYSTEM", 0)};
        table.insert(table.end(), others.begin(), others.end());
        Table(table);
        SimSetSession(0);
        SimAddFile(kInstalled, kVolume, kInstalledIndex);
    }

    /* Users logged on: alice (1), bob (2), carol (3), dave (4). */
    static void LogOnUsers()
    {
        for (const auto &user : {std::make_pair(1, "alice"), std::make_pair(2, "bob"),
                                 std::make_pair(3, "carol"), std::make_pair(4, "dave")})
            SimLogOn(user.first, user.second);
    }

    /* CloseInstances' work: returns how many could not be ended. */
    static DWORD Close(const std::u16string &path, DWORD expectEnded)
    {
        DWORD sessions[kMaxSessions];
        DWORD count = 99;
        DWORD ended = 99;
        const DWORD left = EndInstancesOfFile(path.c_str(), &ended, sessions, &count);
        EXPECT_EQ(ended, expectEnded);
        WriteRecord(sessions, count);
        return left;
    }

    /* A DLL entry as Windows Installer calls it, with this action data. */
    static UINT Step(UINT(WINAPI *entry)(MSIHANDLE), const std::u16string &data)
    {
        SimSetInstallProperty(u"CustomActionData", data);
        return entry(kInstall);
    }

    /* What the steps wrote into the installation's log, as UTF-8. */
    static std::vector<std::string> InstallLog()
    {
        std::vector<std::string> lines;
        for (const auto &message : SimInstallLog())
            lines.push_back(SimUtf8(message.second));
        return lines;
    }

    static void ExpectNothingLeftOpen()
    {
        EXPECT_EQ(SimOpenHandles(), 0);
        EXPECT_EQ(SimHeap().live, 0);
    }
};


#endif /* NOSAVER_TESTS_UNIT_INSTALLER_TEST_H */
