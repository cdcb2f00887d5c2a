// The parameter table: values, types, scopes, subscripts, the
// environment and the special parameters.
#pragma once

#include "core/core.h"

void createparamtable();
// The value of a scalar parameter (arena or parameter storage), or null.
char *getsparam(const char *name);
// The value of an array parameter, or null.
char **getaparam(const char *name);
