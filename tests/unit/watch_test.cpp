// Login watching over session and history files made here: the first
// watch only takes a snapshot, later ones report logins and logouts that
// pass the watch list, log reports everyone, WATCHFMT's escapes, and an
// unreadable session file is reported once per change.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmpx.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "builtins/builtins.h"
#include "modules/extra/extra.h"

namespace {

struct Rec {
    const char *user, *line, *host;
    long time;
    short type;
};

void writerecs(const std::string &path, const std::vector<Rec> &recs)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_TRUE(f);
    for (const Rec &r : recs) {
        struct utmpx u;
        memset(&u, 0, sizeof u);
        u.ut_type = r.type;
        u.ut_pid = 1;
        strncpy(u.ut_user, r.user, sizeof u.ut_user);
        strncpy(u.ut_line, r.line, sizeof u.ut_line);
        strncpy(u.ut_host, r.host, sizeof u.ut_host);
        u.ut_tv.tv_sec = int32_t(r.time);
        fwrite(&u, sizeof u, 1, f);
    }
    fclose(f);
}

class Watch : public testing::Test {
protected:
    std::string dir, utmp, wtmp;
    static void SetUpTestSuite()
    {
        if (!cmdnamtab)
            createcmdnamtable();
        createparamtable();
    }
    void SetUp() override
    {
        char tmpl[] = "/tmp/tarn-watch.XXXXXX";
        dir = mkdtemp(tmpl);
        utmp = dir + "/utmp";
        wtmp = dir + "/wtmp";
        writerecs(wtmp, {});
        setwatchfiles(utmp.c_str(), wtmp.c_str());
        setenv("TZ", "UTC", 1);
        tzset();
        errflag = 0;
        opts[SHINSTDIN] = 1;
        setwatch({"all"});
        setsparam("WATCHFMT", qtrdup("%n %a %l from %m"));
    }
    void TearDown() override
    {
        unlink(utmp.c_str());
        unlink(wtmp.c_str());
        rmdir(dir.c_str());
    }
    void setwatch(std::vector<const char *> w)
    {
        char **a = static_cast<char **>(qalloc(sizeof(char *) * (w.size() + 1)));
        for (size_t i = 0; i < w.size(); i++)
            a[i] = qtrdup(w[i]);
        a[w.size()] = nullptr;
        setaparam("watch", a);
    }
    // The session file's contents, made newer than any earlier version.
    void sessions(const std::vector<Rec> &recs)
    {
        writerecs(utmp, recs);
        static long stamp = 1000;
        struct timespec ts[2] = {{stamp, 0}, {stamp, 0}};
        stamp += 10;
        utimensat(AT_FDCWD, utmp.c_str(), ts, 0);
    }
    template <class F> std::string out(F f, std::string *err = nullptr)
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        f();
        fflush(stdout);
        std::string o = testing::internal::GetCapturedStdout();
        std::string e = testing::internal::GetCapturedStderr();
        if (err)
            *err = e;
        else
            EXPECT_EQ(e, "");
        return o;
    }
    int log(std::string *o, std::string *err = nullptr)
    {
        int r = 0;
        BuiltinOptions ops{};
        *o = out([&] { r = bin_log(dupstring("log"), nullptr, &ops, 0); }, err);
        return r;
    }
};

constexpr short U = USER_PROCESS, D = DEAD_PROCESS;

TEST_F(Watch, FirstWatchOnlyTakesTheSnapshot)
{
    sessions({{"ann", "pts/1", "a.example.org", 100, U}, {"bob", "tty2", "", 200, U}});
    EXPECT_EQ(out([] { dowatch(); }), "");
    sessions({{"bob", "tty2", "", 200, U}, {"cy", "pts/3", "10.0.0.7", 300, U}});
    EXPECT_EQ(out([] { dowatch(); }), "ann logged off pts/1 from a\ncy logged on pts/3 from 10.0.0.7\n");
    // Nothing changed: nothing to say.
    sessions({{"bob", "tty2", "", 200, U}, {"cy", "pts/3", "10.0.0.7", 300, U}});
    EXPECT_EQ(out([] { dowatch(); }), "");
}

TEST_F(Watch, RecordsOtherThanSessionsAreIgnored)
{
    sessions({});
    out([] { dowatch(); });
    sessions({{"ann", "pts/1", "", 100, D}, {"LOGIN", "tty1", "", 100, 6}, {"bob", "pts/2", "", 100, U}});
    EXPECT_EQ(out([] { dowatch(); }), "bob logged on pts/2 from \n");
}

TEST_F(Watch, LogReportsEveryLoginAndKeepsTheSnapshot)
{
    sessions({{"ann", "pts/1", "", 100, U}, {"bob", "pts/2", "", 50, U}});
    out([] { dowatch(); });
    std::string o;
    EXPECT_EQ(log(&o), 0);
    // In order of login time.
    EXPECT_EQ(o, "bob logged on pts/2 from \nann logged on pts/1 from \n");
    EXPECT_EQ(log(&o), 0);
    EXPECT_EQ(o, "bob logged on pts/2 from \nann logged on pts/1 from \n");
    sessions({{"ann", "pts/1", "", 100, U}});
    EXPECT_EQ(out([] { dowatch(); }), "bob logged off pts/2 from \n");
}

TEST_F(Watch, TheWatchListFilters)
{
    sessions({});
    out([] { dowatch(); });
    setwatch({"ann", "%pts/9", "@good", "dan%tty4@x"});
    sessions({{"ann", "pts/1", "", 100, U},
              {"annie", "pts/2", "", 101, U},
              {"bob", "pts/9", "", 102, U},
              {"cy", "pts/3", "good.example.org", 103, U},
              {"cy", "pts/4", "bad.example.org", 104, U},
              {"dan", "tty4", "x.org", 105, U},
              {"dan", "tty5", "x.org", 106, U}});
    EXPECT_EQ(out([] { dowatch(); }),
              "ann logged on pts/1 from \nbob logged on pts/9 from \ncy logged on pts/3 from good\n"
              "dan logged on 4 from x\n");
}

TEST_F(Watch, NotmeLeavesOutTheShellsUser)
{
    setsparam("USERNAME", qtrdup("me"));
    const char *me = getsparam("USERNAME");
    ASSERT_TRUE(me);
    std::string self = me;
    setwatch({"notme"});
    sessions({});
    out([] { dowatch(); });
    sessions({{self.c_str(), "pts/1", "", 100, U}, {"zz_other", "pts/2", "", 101, U}});
    EXPECT_EQ(out([] { dowatch(); }), "zz_other logged on pts/2 from \n");
}

TEST_F(Watch, FormatEscapes)
{
    sessions({});
    out([] { dowatch(); });
    setsparam("WATCHFMT", qtrdup("%n|%l|%M|%m|%T|%t|%W|%D|%D{%H.%M}|%w|%%|%q|\\%n|%(a.on.off)|%(m.host.nohost)|"
                                 "%(z.yes.no)|%D{unterminated"));
    sessions({{"ann", "tty7", "192.168.0.1", 3600 * 13 + 5 * 60, U}});
    EXPECT_EQ(out([] { dowatch(); }),
              "ann|7|192.168.0.1|192.168.0.1|13:05|1:05PM|01/01/70|70-01-01|13.05|Thu 1|%|%q|%n|on|host||70-01-01\n");
}

TEST_F(Watch, LogoutTimeComesFromTheHistoryFile)
{
    lastwatch = 0;
    sessions({{"ann", "pts/1", "", 100, U}});
    out([] { dowatch(); });
    writerecs(wtmp, {{"ann", "pts/1", "", 100, U}, {"", "pts/1", "", 7200 + 60, D}, {"bob", "pts/2", "", 7300, U}});
    setsparam("WATCHFMT", qtrdup("%n %a at %T"));
    sessions({});
    EXPECT_EQ(out([] { dowatch(); }), "ann logged off at 2:01\n");
}

TEST_F(Watch, AnUnreadableSessionFileIsReportedOncePerChange)
{
    std::string err;
    EXPECT_EQ(out([] { dowatch(); }, &err), "");
    EXPECT_EQ(err, "tarn: no such file or directory: " + utmp + "\n");
    EXPECT_EQ(out([] { dowatch(); }, &err), "");
    EXPECT_EQ(err, "");
    // log always says so, and fails.
    std::string o;
    EXPECT_EQ(log(&o, &err), 1);
    EXPECT_EQ(err, "log: no such file or directory: " + utmp + "\n");
    sessions({{"ann", "pts/1", "", 100, U}});
    out([] { dowatch(); });
    unlink(utmp.c_str());
    out([] { dowatch(); }, &err);
    EXPECT_EQ(err, "tarn: no such file or directory: " + utmp + "\n");
}

TEST_F(Watch, LogWithoutAWatchListFails)
{
    setwatch({});
    sessions({{"ann", "pts/1", "", 100, U}});
    std::string o;
    EXPECT_EQ(log(&o), 1);
    EXPECT_EQ(o, "");
}

}  // namespace
