#include "core/core.h"

#ifdef TARN_STATIC_LINK
#include <grp.h>
#include <pwd.h>

// A statically linked C library cannot safely load the shared module of a
// name service other than the files (it may crash in it): the user and
// group databases are read from /etc/passwd and /etc/group alone.  The
// build routes the look-ups through these wrappers (the linker's --wrap),
// so that the configuration is made at the first look-up, not at every
// start-up.
extern "C" {
int __nss_configure_lookup(const char *db, const char *service_line);
struct passwd *__real_getpwnam(const char *);
struct passwd *__real_getpwuid(uid_t);
struct passwd *__real_getpwent();
void __real_setpwent();
struct group *__real_getgrnam(const char *);
int __real_initgroups(const char *, gid_t);
}

static void filesonly()
{
    static bool done;
    if (!done) {
        done = true;
        for (const char *db : {"passwd", "group", "initgroups"})
            __nss_configure_lookup(db, "files");
    }
}

extern "C" {
struct passwd *__wrap_getpwnam(const char *name)
{
    filesonly();
    return __real_getpwnam(name);
}
struct passwd *__wrap_getpwuid(uid_t uid)
{
    filesonly();
    return __real_getpwuid(uid);
}
struct passwd *__wrap_getpwent()
{
    filesonly();
    return __real_getpwent();
}
void __wrap_setpwent()
{
    filesonly();
    __real_setpwent();
}
struct group *__wrap_getgrnam(const char *name)
{
    filesonly();
    return __real_getgrnam(name);
}
int __wrap_initgroups(const char *user, gid_t group)
{
    filesonly();
    return __real_initgroups(user, group);
}
}
#endif

int main(int argc, char **argv)
{
    tarn_main(argc, argv);
}
