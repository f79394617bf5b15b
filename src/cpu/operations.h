// The mode and instruction operations that the opcode tables point at.
// Internal to the CPU. They are inline, so the fused dispatch (core.cpp)
// compiles each opcode into one piece of code while the tables still hold
// the addresses of the very same functions.
#pragma once

#include "cpu/addressing.h"
#include "cpu/instructions.h"
#include "cpu/undocumented.h"
