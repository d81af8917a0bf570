/*
 * Every message nosaver sends to the debugger output stream.
 *
 * The texts are narrow printf formats. Three of them hold Chinese
 * characters or a full-width colon; those are written here as their
 * code-page-936 (GBK) bytes, so that a viewer whose ANSI code page is 936
 * shows them as Chinese. Literals are split where a hex escape would
 * otherwise swallow the character after it.
 */
#ifndef NOSAVER_TRACE_MESSAGES_H
#define NOSAVER_TRACE_MESSAGES_H

/* entry */
#define MSG_COMMAND_LINE "lpCmdLine:[%s]\n"
#define MSG_COMMAND_IS_TEST "lpCmdLine is test.\n"
#define MSG_EXIT_APP "exit app!\n"

/* keep-awake loop */
#define MSG_MOVE_MOUSE "move mouse, src x[%d], y[%d]!\n"

/* close flow */
/* "Find and close the program that is already running." */
#define MSG_FIND_AND_CLOSE                                                                     \
    "\xb2\xe9\xd5\xd2\xb2\xa2\xb9\xd8\xb1\xd5\xd2\xd1\xbe\xad\xd4\xcb\xd0\xd0\xb5\xc4\xb3\xcc" \
    "\xd0\xf2"                                                                                 \
    ".\n"
#define MSG_PROCESS_EXE_NAME "processExeName:[%s]\n"
/* "Ignoring current process ID[%d]%s;" */
#define MSG_IGNORE_CURRENT_PROCESS "\xba\xf6\xc2\xd4\xb5\xb1\xc7\xb0\xbd\xf8\xb3\xcc" "ID[%d]%s;"
/* the colon is the full-width one, U+FF1A */
#define MSG_PROCESS_FULL_NAME "Process full name\xa3\xba" "\n%s;"
#define MSG_OPEN_PROCESS_FAILED "OpenProcess failed,error code:%ld"
#define MSG_TERMINATE_FAILED "TerminateProcess failed,error code:%ld"

#endif /* NOSAVER_TRACE_MESSAGES_H */
