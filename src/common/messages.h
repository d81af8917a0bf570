/*
 * Every message nosaver and its installer's steps send to the debugger
 * output stream, and the steps also to the installation's log.
 *
 * The texts are narrow printf formats. Three of them hold Chinese
 * characters or a full-width colon; those are written here as their
 * code-page-936 (GBK) bytes, so that a viewer whose ANSI code page is 936
 * shows them as Chinese. Literals are split where a hex escape would
 * otherwise swallow the character after it. The compilers check the
 * arguments of a LogDebugString call against these arrays as they would
 * against the literals themselves.
 */
#ifndef NOSAVER_COMMON_MESSAGES_H
#define NOSAVER_COMMON_MESSAGES_H

/* entry */
inline constexpr char kMsgCommandLine[] = "lpCmdLine:[%s]\n";
inline constexpr char kMsgCommandIsTest[] = "lpCmdLine is test.\n";
inline constexpr char kMsgExitApp[] = "exit app!\n";

/* keep-awake loop */
inline constexpr char kMsgMoveMouse[] = "move mouse, src x[%d], y[%d]!\n";

/* close flow */
/* "Find and close the program that is already running." */
inline constexpr char kMsgFindAndClose[] =
    "\xb2\xe9\xd5\xd2\xb2\xa2\xb9\xd8\xb1\xd5\xd2\xd1\xbe\xad\xd4\xcb\xd0\xd0\xb5\xc4\xb3\xcc"
    "\xd0\xf2"
    ".\n";
inline constexpr char kMsgProcessExeName[] = "processExeName:[%s]\n";
/* "Ignoring current process ID[%d]%s;" */
inline constexpr char kMsgIgnoreCurrentProcess[] =
    "\xba\xf6\xc2\xd4\xb5\xb1\xc7\xb0\xbd\xf8\xb3\xcc"
    "ID[%d]%s;";
/* the colon is the full-width one, U+FF1A */
inline constexpr char kMsgProcessFullName[] = "Process full name\xa3\xba"
                                              "\n%s;";
inline constexpr char kMsgOpenProcessFailed[] = "OpenProcess failed,error code:%ld";
inline constexpr char kMsgTerminateFailed[] = "TerminateProcess failed,error code:%ld";

/* the installer's steps; their %s are UTF-8 */
inline constexpr char kMsgEnded[] = "ended process[%d] of session %d: %s\n";
inline constexpr char kMsgEndFailed[] = "could not end process[%d] %s,error code:%ld\n";
inline constexpr char kMsgEndSnapshotFailed[] = "EnumProcesses failed,error code:%ld\n";
inline constexpr char kMsgEndPathUnusable[] = "no path to compare:[%s]\n";
inline constexpr char kMsgPathUnreadable[] =
    "passed over process[%d]: its path cannot be read,error code:%ld\n";
inline constexpr char kMsgFileUnopened[] =
    "cannot open %s,error code:%ld; comparing full paths instead\n";
inline constexpr char kMsgRecordFailed[] =
    "cannot keep the sessions to start nosaver in again,error code:%ld\n";
inline constexpr char kMsgRecordUnread[] =
    "cannot read the sessions to start nosaver in again,error code:%ld\n";
inline constexpr char kMsgRecordNotRemoved[] =
    "cannot remove the sessions recorded,error code:%ld\n";
inline constexpr char kMsgKeyKept[] = "nosaver's key stays,error code:%ld\n";
inline constexpr char kMsgPropertyUnread[] = "cannot read %s,error code:%ld\n";
inline constexpr char kMsgNoEnvironment[] =
    "no environment of the user of session %d,error code:%ld; nosaver gets the installer's\n";
inline constexpr char kMsgStaleRecord[] =
    "forgot the sessions of an installation that did not finish\n";
inline constexpr char kMsgNothingToStart[] =
    "no file to start at %s,error code:%ld; the sessions are kept for the step whose file "
    "is back\n";
inline constexpr char kMsgStarted[] = "started process[%d] in session %d: %s\n";
inline constexpr char kMsgNoSessionUser[] =
    "no user token for session %d,error code:%ld; nosaver not started there\n";
inline constexpr char kMsgStartFailed[] = "could not start %s in session %d,error code:%ld\n";
inline constexpr char kMsgClosed[] = "%d running nosaver.exe ended (%s)\n";
inline constexpr char kMsgCloseFailed[] =
    "%d running nosaver.exe could not be ended, %d were (%s); close them and try again\n";
inline constexpr char kMsgCloseFailedOnRemoval[] =
    "%d running nosaver.exe could not be ended, %d were (%s); the removal goes on, and "
    "Windows removes a file still in use when the computer restarts\n";
inline constexpr char kMsgPropertyNotSet[] = "cannot set %s,error code:%ld\n";
inline constexpr char kMsgProductDir[] = "Windows Installer has nosaver %s in %s\n";
inline constexpr char kMsgNoProductDir[] =
    "no folder of nosaver %s in Windows Installer's record,error code:%ld\n";
inline constexpr char kMsgInstallDirNotFull[] =
    "INSTALLDIR must be a full path on a drive of this computer, such as "
    "C:\\Tools\\nosaver, not: %s\n";
inline constexpr char kMsgInstallDirNetwork[] =
    "INSTALLDIR must be on a drive of this computer, not a network path: %s\n";
inline constexpr char kMsgInstallDirRoot[] =
    "INSTALLDIR must be a folder, not the root of a drive: %s\n";
inline constexpr char kMsgInstallDirTooLong[] =
    "INSTALLDIR is too long: nosaver.exe's path there would have %d characters, and Windows "
    "starts programs only from paths of fewer than 260: %s\n";
inline constexpr char kMsgInstallDirNotFolder[] = "INSTALLDIR must be a folder, not a file: %s\n";
inline constexpr char kMsgInstallDirUnreadable[] =
    "INSTALLDIR cannot be checked: %s cannot be read,error code:%ld\n";
inline constexpr char kMsgInstallDirNotEmpty[] =
    "INSTALLDIR must be a folder of nosaver's own, new or holding only nosaver.exe, README.txt "
    "and LICENSE.txt: %s holds %s\n";
inline constexpr char kMsgInstallDirNoExe[] =
    "INSTALLDIR must be a folder of nosaver's own, new or holding only nosaver.exe, README.txt "
    "and LICENSE.txt: %s holds %s and no nosaver.exe\n";
inline constexpr char kMsgInstallDirNotOwned[] =
    "INSTALLDIR must be owned by Administrators, SYSTEM or TrustedInstaller, as whoever owns it "
    "may change who can replace nosaver.exe: %s\n";
inline constexpr char kMsgInstallDirMoved[] =
    "nosaver is installed in %s; a repair cannot move it to %s: remove nosaver, then install it "
    "there\n";

#endif /* NOSAVER_COMMON_MESSAGES_H */
