#include "instance/instance.h"

void CloseRunningInstance(void)
{
}
