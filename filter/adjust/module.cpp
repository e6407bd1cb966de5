#include "module.h"

LONG ModuleLockCount = 0;
