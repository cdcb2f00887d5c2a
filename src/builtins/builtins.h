// The builtin table, option parsing and dispatch, and the core builtins.
#pragma once

#include "core/core.h"

extern HashTable *builtintab;
void createbuiltintable();
