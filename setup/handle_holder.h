// The old name of HandleOwner, kept only for testbench/process/start_stress.cpp
// until the test bench moves onto owner.h; nothing of the setup tool uses it.
#pragma once

#include "owner.h"

using HandleHolder = HandleOwner;
