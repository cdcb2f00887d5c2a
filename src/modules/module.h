// The module registry: linked modules, feature registries (builtins,
// conditions, hooks, parameters, math functions, wrappers) and qmodload.
#pragma once

#include "core/core.h"

struct Module;
using Hookfn = int (*)(struct Hookdef *, void *);

struct Hookdef {
    Hookdef *next;
    const char *name;
    Hookfn def;
    int flags;
    LinkList *funcs;
};

enum : int { EXITHOOK = 0, BEFORETRAPHOOK = 1, AFTERTRAPHOOK = 2 };
extern Hookdef basehooks[];
extern const int basehookcount;

int addhookdefs(const char *nam, Hookdef *h, int size);
int runhookdef(int hook, void *data);
int load_module(const char *name, char **args, int silent);
void init_bltinmods();
