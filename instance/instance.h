/*
 * Instance shutdown: the "close" command.
 */
#ifndef NOSAVER_INSTANCE_INSTANCE_H
#define NOSAVER_INSTANCE_INSTANCE_H

#include "platform/win.h"

/* Finds the running instance among all processes and terminates it. */
void CloseRunningInstance(void);

#endif /* NOSAVER_INSTANCE_INSTANCE_H */
