/*
 * ForgetInstances: at the end of a removal, the record is forgotten.
 */
#include "installer/installer.h"

/* A removal starts nothing again. */
extern "C" UINT WINAPI ForgetInstances(MSIHANDLE install)
{
    BeginStep(install);
    ForgetRecord();
    EndStep();
    return ERROR_SUCCESS;
}
