// The editor's tables as parameters: $widgets maps each widget name to
// what it is ("builtin", "user:FUNCTION", "completion:MODEL:FUNCTION"),
// and $keymaps lists the keymap names.  Both are read-only and computed
// when read, so they always show the tables as they are.
#include "ked/ked.h"
#include "modules/extra/extra.h"

#include <cstring>
#include <string>

namespace {

char *widgetkind(Thingy *t)
{
    Widget *w = t->widget;
    if (!w)
        return nullptr;
    if (w->flags & W_INTERNAL)
        return dupstring("builtin");
    if (w->flags & W_COMPLETION) {
        std::string s = "completion:";
        s += w->compmodel ? w->compmodel : "";
        s += ':';
        s += w->fnnam ? w->fnnam : "";
        return dupstring(s.c_str());
    }
    return qhtricat("user:", w->fnnam ? w->fnnam : "", "");
}

char *widgetsget(const char *key)
{
    Thingy *t = static_cast<Thingy *>(thingytab->getnode(thingytab, key));
    return t ? widgetkind(t) : nullptr;
}

void widgetsscan(void (*fn)(const char *key, char *val, void *data), void *data)
{
    for (int i = 0; i < thingytab->hsize; i++)
        for (HashNode *hn = thingytab->nodes[i]; hn; hn = hn->next)
            if (char *v = widgetkind(static_cast<Thingy *>(hn)))
                fn(hn->nam, v, data);
}

char **keymapsget(Param *)
{
    char **a = qhnew<char *>(size_t(keymapnamtab->ct) + 1), **p = a;
    for (int i = 0; i < keymapnamtab->hsize; i++)
        for (HashNode *hn = keymapnamtab->nodes[i]; hn; hn = hn->next)
            *p++ = dupstring(hn->nam);
    *p = nullptr;
    return a;
}

SpecialParam kedparams[] = {
    {"widgets", PF_HASHED | PF_READONLY, widgetsget, widgetsscan, nullptr, nullptr, nullptr, nullptr, nullptr,
     nullptr},
    {"keymaps", PF_ARRAY | PF_READONLY, nullptr, nullptr, nullptr, nullptr, nullptr, keymapsget, nullptr,
     nullptr},
};
constexpr int NKEDPARAMS = int(sizeof kedparams / sizeof *kedparams);

}  // namespace

int setup_tarnQskedparameter(Module *) { return 0; }
int boot_tarnQskedparameter(Module *) { return addspecialparams(kedparams, NKEDPARAMS); }
int cleanup_tarnQskedparameter(Module *)
{
    removespecialparams(kedparams, NKEDPARAMS);
    return 0;
}
int finish_tarnQskedparameter(Module *) { return 0; }
