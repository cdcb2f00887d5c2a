// tarn/langinfo: $langinfo, the locale's strings by their item names.
#include "modules/extra/extra.h"

#include <langinfo.h>

#include <cstring>

namespace {

struct LangItem {
    const char *name;
    nl_item item;
};
constexpr LangItem langtab[] = {
    {"CODESET", CODESET}, {"D_T_FMT", D_T_FMT}, {"D_FMT", D_FMT}, {"T_FMT", T_FMT},
    {"RADIXCHAR", RADIXCHAR}, {"THOUSEP", THOUSEP}, {"YESEXPR", YESEXPR}, {"NOEXPR", NOEXPR},
    {"CRNCYSTR", CRNCYSTR},
    {"ABDAY_1", ABDAY_1}, {"ABDAY_2", ABDAY_2}, {"ABDAY_3", ABDAY_3}, {"ABDAY_4", ABDAY_4},
    {"ABDAY_5", ABDAY_5}, {"ABDAY_6", ABDAY_6}, {"ABDAY_7", ABDAY_7},
    {"DAY_1", DAY_1}, {"DAY_2", DAY_2}, {"DAY_3", DAY_3}, {"DAY_4", DAY_4},
    {"DAY_5", DAY_5}, {"DAY_6", DAY_6}, {"DAY_7", DAY_7},
    {"ABMON_1", ABMON_1}, {"ABMON_2", ABMON_2}, {"ABMON_3", ABMON_3}, {"ABMON_4", ABMON_4},
    {"ABMON_5", ABMON_5}, {"ABMON_6", ABMON_6}, {"ABMON_7", ABMON_7}, {"ABMON_8", ABMON_8},
    {"ABMON_9", ABMON_9}, {"ABMON_10", ABMON_10}, {"ABMON_11", ABMON_11}, {"ABMON_12", ABMON_12},
    {"MON_1", MON_1}, {"MON_2", MON_2}, {"MON_3", MON_3}, {"MON_4", MON_4},
    {"MON_5", MON_5}, {"MON_6", MON_6}, {"MON_7", MON_7}, {"MON_8", MON_8},
    {"MON_9", MON_9}, {"MON_10", MON_10}, {"MON_11", MON_11}, {"MON_12", MON_12},
    {"T_FMT_AMPM", T_FMT_AMPM}, {"AM_STR", AM_STR}, {"PM_STR", PM_STR},
    {"ERA", ERA}, {"ERA_D_FMT", ERA_D_FMT}, {"ERA_D_T_FMT", ERA_D_T_FMT}, {"ERA_T_FMT", ERA_T_FMT},
    {"ALT_DIGITS", ALT_DIGITS},
};

char *langvalue(nl_item item)
{
    ensurelocale();
    return metafy(nl_langinfo(item), -1, META_HEAPDUP);
}

char *langget(const char *key)
{
    for (const LangItem &l : langtab)
        if (!strcmp(l.name, key))
            return langvalue(l.item);
    return nullptr;
}

void langscan(void (*fn)(const char *, char *, void *), void *data)
{
    for (const LangItem &l : langtab)
        fn(l.name, langvalue(l.item), data);
}

SpecialParam params[] = {
    {"langinfo", PF_HASHED | PF_READONLY, langget, langscan, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

int setup_tarnQslanginfo(Module *) { return 0; }
int boot_tarnQslanginfo(Module *) { return addspecialparams(params, 1); }
int cleanup_tarnQslanginfo(Module *)
{
    removespecialparams(params, 1);
    return 0;
}
int finish_tarnQslanginfo(Module *) { return 0; }
