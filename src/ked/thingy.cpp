// Widgets and the names they go by: the thingy table with every built-in
// widget under its plain and its immortal "." name, user and completion
// widgets, and the ked builtin that manages them from shell code.
#include "ked/ked.h"
#include "exec/exec.h"
#include "expand/expand.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

HashTable *thingytab;

namespace {

struct BuiltinRow {
    const char *name;
    KedFunc fn;
    int flags;
};
constexpr BuiltinRow builtinrows[] = {
#define W(id, name, fn, flags) {name, fn, flags},
#include "ked/widgets.inc"
#undef W
};
static_assert(sizeof(builtinrows) / sizeof(builtinrows[0]) == WIDGET_COUNT);

Thingy statics[WIDGET_COUNT * 2];
Widget staticwidgets[WIDGET_COUNT];

bool isstatic(Thingy *t) { return t >= statics && t < statics + WIDGET_COUNT * 2; }

void freethingynode(HashNode *hn)
{
    Thingy *t = static_cast<Thingy *>(hn);
    if (isstatic(t))
        return;
    qsfree(t->nam);
    qfree(t);
}

HashNode *getthingy(HashTable *ht, const char *nam)
{
    HashNode *hn = gethashnode2(ht, nam);
    return hn && !(hn->flags & TH_DISABLED) ? hn : nullptr;
}

void freewidget(Widget *w)
{
    if (w >= staticwidgets && w < staticwidgets + WIDGET_COUNT)
        return;
    qsfree(w->fnnam);
    qsfree(w->compmodel);
    qfree(w);
}

// Bind a name to a widget; -1 when the name is immortal (the caller's
// reference is dropped), 0 done (the reference becomes the link's).
int attach_name(Widget *w, Thingy *t);
int detach_name(Thingy *t, int override);

int attach_name(Widget *w, Thingy *t)
{
    if (t->flags & TH_IMMORTAL) {
        unrefthingy(t);
        return -1;
    }
    if (!(t->flags & TH_DISABLED)) {
        if (t->widget == w) {
            unrefthingy(t);
            return 0;
        }
        detach_name(t, 0);
    }
    if (!w->first) {
        t->samew = t;
        w->first = t;
    } else {
        t->samew = w->first->samew;
        w->first->samew = t;
    }
    t->widget = w;
    t->flags &= ~TH_DISABLED;
    return 0;
}

int detach_name(Thingy *t, int override)
{
    if (t->flags & TH_DISABLED)
        return 0;
    if (!override && (t->flags & TH_IMMORTAL))
        return -1;
    Widget *w = t->widget;
    if (t->samew == t) {
        w->first = nullptr;
        freewidget(w);
    } else {
        Thingy *p = t;
        while (p->samew != t)
            p = p->samew;
        p->samew = t->samew;
        if (w->first == t)
            w->first = t->samew;
    }
    t->widget = nullptr;
    t->samew = nullptr;
    t->flags = (t->flags | TH_DISABLED) & ~TH_IMMORTAL;
    unrefthingy(t);
    return 0;
}

}  // namespace

Thingy *builtinthingy(int index) { return &statics[index]; }

void init_thingies()
{
    thingytab = newhashtable(199, "thingytab", nullptr);
    thingytab->hash = hasher;
    thingytab->emptytable = emptyhashtable;
    thingytab->cmpnodes = strcmp;
    thingytab->addnode = addhashnode;
    thingytab->getnode = getthingy;
    thingytab->getnode2 = gethashnode2;
    thingytab->removenode = removehashnode;
    thingytab->freenode = freethingynode;
    for (int i = 0; i < WIDGET_COUNT; i++) {
        Widget *w = &staticwidgets[i];
        *w = Widget{builtinrows[i].flags | W_INTERNAL, &statics[i], builtinrows[i].fn, nullptr, nullptr};
        Thingy *t = &statics[i], *d = &statics[i + WIDGET_COUNT];
        *t = Thingy{};
        *d = Thingy{};
        t->rc = d->rc = 1;
        t->widget = d->widget = w;
        t->samew = d;
        d->samew = t;
        d->flags = TH_IMMORTAL;
        addhashnode(thingytab, const_cast<char *>(builtinrows[i].name), t);
        std::string dot = std::string(".") + builtinrows[i].name;
        addhashnode(thingytab, qtrdup(dot.c_str()), d);
    }
}

void free_thingies()
{
    if (!thingytab)
        return;
    deletehashtable(thingytab);
    thingytab = nullptr;
}

Thingy *refthingy(Thingy *t)
{
    if (t)
        t->rc++;
    return t;
}

void unrefthingy(Thingy *t)
{
    if (t && !--t->rc && !isstatic(t)) {
        removehashnode(thingytab, t->nam);
        qsfree(t->nam);
        qfree(t);
    }
}

Thingy *findthingy(const char *name) { return static_cast<Thingy *>(gethashnode2(thingytab, name)); }

Thingy *rthingy(const char *name)
{
    Thingy *t = findthingy(name);
    if (!t) {
        t = qcnew<Thingy>();
        t->flags = TH_DISABLED;
        addhashnode(thingytab, qtrdup(name), t);
    }
    return refthingy(t);
}

Widget *addkedfunction(const char *name, KedFunc fn, int flags)
{
    if (*name == '.')
        return nullptr;
    std::string dot = std::string(".") + name;
    Thingy *d = findthingy(dot.c_str());
    if (d && (d->flags & TH_IMMORTAL))
        return nullptr;
    Widget *w = qcnew<Widget>();
    w->flags = flags | W_INTERNAL;
    w->fn = fn;
    Thingy *dt = rthingy(dot.c_str());
    attach_name(w, dt);
    dt->flags |= TH_IMMORTAL;
    attach_name(w, rthingy(name));
    return w;
}

void deletekedfunction(Widget *w)
{
    while (w->first) {
        Thingy *t = w->first;
        bool last = t->samew == t;
        detach_name(t, 1);
        if (last)
            break;
    }
}

// ---- the ked builtin ----

namespace {


void listwidget(Thingy *t, bool asCommand)
{
    Widget *w = t->widget;
    if (!w || (w->flags & W_INTERNAL))
        return;
    if (asCommand) {
        printf("ked -%c ", (w->flags & W_COMPLETION) ? 'C' : 'N');
        if (*t->nam == '-')
            fputs("-- ", stdout);
        quotedqputs(t->nam, stdout);
        if (w->flags & W_COMPLETION) {
            putchar(' ');
            quotedqputs(w->compmodel, stdout);
            putchar(' ');
            quotedqputs(w->fnnam, stdout);
        } else if (strcmp(t->nam, w->fnnam)) {
            putchar(' ');
            quotedqputs(w->fnnam, stdout);
        }
    } else {
        niceqputs(t->nam, stdout);
        if (w->flags & W_COMPLETION) {
            fputs(" -C ", stdout);
            niceqputs(w->compmodel, stdout);
            putchar(' ');
            niceqputs(w->fnnam, stdout);
        } else if (strcmp(t->nam, w->fnnam)) {
            fputs(" (", stdout);
            niceqputs(w->fnnam, stdout);
            putchar(')');
        }
    }
    putchar('\n');
}

std::vector<Thingy *> sortedthingies()
{
    std::vector<Thingy *> v;
    for (int i = 0; i < thingytab->hsize; i++)
        for (HashNode *hn = thingytab->nodes[i]; hn; hn = hn->next)
            v.push_back(static_cast<Thingy *>(hn));
    std::sort(v.begin(), v.end(), [](Thingy *a, Thingy *b) { return strcmp(a->nam, b->nam) < 0; });
    return v;
}

int kedlist(char **args, BuiltinOptions *ops)
{
    bool all = opt_isset(ops, 'a');
    if (*args) {
        for (; *args; args++) {
            Thingy *t = static_cast<Thingy *>(thingytab->getnode(thingytab, *args));
            if (!t || (!all && (t->widget->flags & W_INTERNAL)))
                return 1;
        }
        return 0;
    }
    for (Thingy *t : sortedthingies()) {
        if (t->flags & TH_DISABLED)
            continue;
        if (all) {
            niceqputs(t->nam, stdout);
            putchar('\n');
        } else {
            listwidget(t, opt_isset(ops, 'L'));
        }
    }
    fflush(stdout);
    return 0;
}

int keddel(const char *nam, char **args)
{
    int ret = 0;
    for (; *args; args++) {
        Thingy *t = static_cast<Thingy *>(thingytab->getnode(thingytab, *args));
        if (!t) {
            qwarnnam(nam, "no such widget `%s'", *args, 0);
            ret = 1;
        } else if (detach_name(t, 0)) {
            qwarnnam(nam, "widget name `%s' is protected", *args, 0);
            ret = 1;
        }
    }
    return ret;
}

int kedlink(const char *nam, char **args)
{
    Thingy *t = static_cast<Thingy *>(thingytab->getnode(thingytab, args[0]));
    if (!t) {
        qwarnnam(nam, "no such widget `%s'", args[0], 0);
        return 1;
    }
    if (attach_name(t->widget, rthingy(args[1]))) {
        qwarnnam(nam, "widget name `%s' is protected", args[1], 0);
        return 1;
    }
    return 0;
}

int kednew(const char *nam, char **args)
{
    Widget *w = qcnew<Widget>();
    w->fnnam = qtrdup(args[1] ? args[1] : args[0]);
    if (attach_name(w, rthingy(args[0]))) {
        freewidget(w);
        qwarnnam(nam, "widget name `%s' is protected", args[0], 0);
        return 1;
    }
    return 0;
}

int kedcompl(const char *nam, char **args)
{
    if (!load_module("tarn/complete", nullptr, 1)) {
        qwarnnam(nam, "can't load complete module", nullptr, 0);
        return 1;
    }
    std::string model = args[1][0] == '.' ? args[1] : std::string(".") + args[1];
    Thingy *m = static_cast<Thingy *>(thingytab->getnode(thingytab, model.c_str()));
    if (!m || !(m->widget->flags & W_COMPLETION_MODEL)) {
        qwarnnam(nam, "invalid widget `%s'", args[1], 0);
        return 1;
    }
    Widget *w = qcnew<Widget>();
    w->flags = W_COMPLETION | W_MENU_KEEP | W_KEEP_SUFFIX;
    w->fn = m->widget->fn;
    w->compmodel = qtrdup(args[1]);
    w->fnnam = qtrdup(args[2]);
    if (attach_name(w, rthingy(args[0]))) {
        freewidget(w);
        qwarnnam(nam, "widget name `%s' is protected", args[0], 0);
        return 1;
    }
    return 0;
}

// Widgets may be called only from a widget function while editing.
bool incallable() { return kedactive && sfcontext == SFC_WIDGET; }

int kedcall(const char *nam, char **args)
{
    if (!incallable()) {
        qwarnnam(nam, "widgets can only be called when KED is active", nullptr, 0);
        return 1;
    }
    char *wname = *args++;
    Modifier saved = qmod;
    bool changed = false;
    while (*args && **args == '-') {
        char *a = *args;
        if (!strcmp(a, "--")) {
            args++;
            break;
        }
        bool stop = false;
        for (a++; *a && !stop; a++) {
            if (*a == 'n') {
                char *num = a[1] ? a + 1 : args[1];
                if (!num) {
                    qwarnnam(nam, "number expected after -%c", nullptr, 'n');
                    return 1;
                }
                char *end;
                long v = strtol(num, &end, 10);
                if (*end || !*num) {
                    qwarnnam(nam, "number expected after -%c", nullptr, 'n');
                    return 1;
                }
                if (v > MAX_COUNT)
                    v = MAX_COUNT;
                if (v < -MAX_COUNT)
                    v = -MAX_COUNT;
                qmod.flags |= MOD_MULT;
                qmod.count = int(v);
                changed = true;
                if (!a[1])
                    args++;
                stop = true;
            } else if (*a == 'N') {
                qmod.flags &= ~MOD_MULT;
                qmod.count = 1;
                changed = true;
            } else {
                char opt[3] = {'-', *a, 0};
                qwarnnam(nam, "unknown option: %s", opt, 0);
                return 1;
            }
        }
        args++;
    }
    Thingy *t = rthingy(wname);
    int ret = execkedfunc(t, args);
    unrefthingy(t);
    if (changed)
        qmod = saved;
    return ret;
}

}  // namespace

int bin_ked(char *nam, char **args, BuiltinOptions *ops, int)
{
    static const char order[] = "lDANCRMUKIF";
    char op = 0;
    for (const char *o = order; *o; o++) {
        if (!opt_isset(ops, *o))
            continue;
        if (op && op != 'l') {
            qwarnnam(nam, "incompatible operation selection options", nullptr, 0);
            return 1;
        }
        if (!op)
            op = *o;
    }
    int n = arrlen(args);
    struct Count {
        char op;
        int min, max;
    };
    static constexpr Count counts[] = {{'D', 1, -1}, {'A', 2, 2}, {'N', 1, 2}, {'C', 3, 3}, {'M', 1, 1},
                                       {'U', 1, 1},  {'K', 1, 1}, {'I', 0, 0}, {'F', 0, 2}};
    for (const Count &c : counts)
        if (op == c.op) {
            if (n < c.min) {
                qwarnnam(nam, "not enough arguments for -%c", nullptr, c.op);
                return 1;
            }
            if (c.max >= 0 && n > c.max) {
                qwarnnam(nam, "too many arguments for -%c", nullptr, c.op);
                return 1;
            }
        }
    switch (op) {
    case 'l': return kedlist(args, ops);
    case 'D': return keddel(nam, args);
    case 'A': return kedlink(nam, args);
    case 'N': return kednew(nam, args);
    case 'C': return kedcompl(nam, args);
    case 'R': {
        if (!kedactive)
            return 1;
        char *ost = statusline;
        int ostl = statusll;
        if (*args && **args) {
            char *u = dupstring(*args);
            int len;
            unmetafy(u, &len);
            statusline = qtrduppfx(u, size_t(len));
            statusll = len;
        } else {
            statusline = nullptr;
            statusll = 0;
        }
        if (args[0] && args[1]) {
            // Strings under the line, as a list would be.
            std::string msg;
            for (char **a = args + 1; *a; a++) {
                if (!msg.empty())
                    msg += '\n';
                msg += unmeta(*a);
            }
            showmsg(msg.c_str());
        } else if (opt_isset(ops, 'c')) {
            clearlist = 1;
        }
        qrefresh();
        qsfree(statusline);
        statusline = ost;
        statusll = ostl;
        return 0;
    }
    case 'M':
    case 'U':
    case 'K':
        if (!kedactive) {
            qwarnnam(nam, "can only be called from widget function", nullptr, 0);
            return 1;
        }
        if (op == 'M') {
            showmsg(unmeta(*args));
            if (sfcontext != SFC_WIDGET)
                qrefresh();
        } else if (op == 'U') {
            int len;
            char *u = unmetafy(dupstring(*args), &len);
            ungetkeys(u, len);
        } else {
            return selectkeymap(*args, 0);
        }
        return 0;
    case 'I':
        if (!kedactive)
            return 1;
        if (!trashedked)
            trashked();
        return 0;
    case 'F': {
        bool list = opt_isset(ops, 'L') || !*args;
        if (list && n == 2) {
            qwarnnam(nam, "too many arguments for -FL", nullptr, 0);
            return 1;
        }
        int fd = -1;
        if (*args) {
            char *end;
            long v = strtol(*args, &end, 10);
            if (*end || !**args || v < 0 || v > 65535) {
                qwarnnam(nam, "Bad file descriptor number for -F: %s", *args, 0);
                return 1;
            }
            fd = int(v);
        }
        if (list) {
            if (fd >= 0 && !watchfd_has(fd))
                return 1;
            watchfd_list(nam, fd);
            return 0;
        }
        if (args[1]) {
            watchfd_add(fd, args[1]);
            return 0;
        }
        if (watchfd_remove(fd)) {
            qwarnnam(nam, "No handler installed for fd %d", nullptr, fd);
            return 1;
        }
        return 0;
    }
    }
    if (!*args)
        return incallable() ? 0 : 1;
    return kedcall(nam, args);
}
