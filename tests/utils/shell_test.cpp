#include "utils/shell.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "log_capture.h"
#include "process.h"

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override { dir = fixture::MakeTempDir("k5-shell-"); }
    void TearDown() override { fixture::RemoveTree(dir); }
    std::string dir;
};

}  // namespace

TEST_F(ShellTest, CapturesOutputAndWaitStatus) {
    CommandResult ok = RunUnixCommand("echo hi");
    EXPECT_EQ(ok.output, "hi\n");
    EXPECT_EQ(ok.status, 0);

    CommandResult failed = RunUnixCommand("echo broken; exit 1");
    EXPECT_EQ(failed.output, "broken\n");
    EXPECT_EQ(failed.status, 256);

    CommandResult stderrOnly = RunUnixCommand("echo err >&2; exit 3");
    EXPECT_EQ(stderrOnly.output, "");
    EXPECT_EQ(stderrOnly.status, 3 << 8);

    CommandResult merged = RunUnixCommand("echo err 2>&1 >&2");
    EXPECT_EQ(merged.output, "err\n");
}

TEST_F(ShellTest, LongLinesAndBinaryLikeOutputArriveWhole) {
    std::string longLine(1000, 'x');
    CommandResult r = RunUnixCommand("printf '%s\\n' " + longLine + "; printf 'a\\nb'");
    EXPECT_EQ(r.output, longLine + "\na\nb");
}

TEST_F(ShellTest, CreatesEveryMissingParent) {
    std::string target = dir + "/a/b/c";
    CreateDirectory(target + "/");
    EXPECT_TRUE(IsDirectory(dir + "/a"));
    EXPECT_TRUE(IsDirectory(dir + "/a/b"));
    EXPECT_TRUE(IsDirectory(target));
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);  // owner only
    CreateDirectory(target);  // existing: nothing changes
    EXPECT_TRUE(IsDirectory(target));
    CreateDirectory("");
}

TEST_F(ShellTest, CreatesRelativePaths) {
    std::string cwd = RunUnixCommand("pwd").output;
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    CreateDirectory("x/y/z");
    bool created = IsDirectory(dir + "/x/y/z");
    ASSERT_EQ(::chdir(cwd.substr(0, cwd.size() - 1).c_str()), 0);
    EXPECT_TRUE(created);
}

TEST_F(ShellTest, PathsLongerThan255CharactersAreCreatedWhole) {
    std::string target = dir;
    while (target.size() < 700) target += "/" + std::string(40, 'd');
    CreateDirectory(target);
    EXPECT_TRUE(IsDirectory(target)) << target.size();
}

TEST_F(ShellTest, QuotedValuesStayOneWordAndRunNothing) {
    std::string marker = dir + "/ran";
    std::string hostile = dir + "/my photos; touch " + marker + " $(touch " + marker + ") 'x'";
    CommandResult r = RunUnixCommand("printf '%s' " + ShellQuote(hostile));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, hostile);
    struct stat st {};
    EXPECT_NE(::stat(marker.c_str(), &st), 0) << "the quoted text ran a command";
    EXPECT_EQ(ShellQuote(""), "''");
}

namespace {
// Whether `pid` still runs (a zombie waiting for its reaper does not count).
bool Alive(const std::string& pid) {
    const std::string stat = fixture::ReadFile("/proc/" + pid + "/stat");
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}
}  // namespace

// A command past its limit is killed together with what it started, the ERROR names it, and the
// result says so; one that closes its output and lingers is caught the same way; a running
// command can be killed from another thread.
TEST_F(ShellTest, CommandsPastTheirLimitAreKilledWithTheirWholeGroup) {
    LogCapture capture;
    const std::string pids = dir + "/pids";
    // The limit leaves the shell time, on a loaded machine, to start its child and say so.
    CommandResult hung = RunUnixCommand(
        "sleep 600 & echo $! > " + ShellQuote(pids) + "; echo started; wait", std::chrono::seconds(5));
    EXPECT_TRUE(hung.timedOut);
    EXPECT_NE(hung.status, 0);
    EXPECT_EQ(hung.output, "started\n");
    std::string grandchild = fixture::ReadFile(pids);
    while (!grandchild.empty() && grandchild.back() == '\n') grandchild.pop_back();
    ASSERT_FALSE(grandchild.empty());
    EXPECT_TRUE(fixture::WaitFor([&] { return !Alive(grandchild); }, std::chrono::seconds(30)));

    CommandResult lingering = RunUnixCommand("exec >/dev/null; sleep 600", std::chrono::milliseconds(300));
    EXPECT_TRUE(lingering.timedOut);
    EXPECT_NE(lingering.status, 0);

    auto errors = Matching(capture.lines(), "[ERROR]");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("killed its process group: sleep 600 &"), std::string::npos) << errors[0];

    const std::string marker = dir + "/running";
    CommandResult killed;
    std::thread runner([&] {
        killed = RunUnixCommand("touch " + ShellQuote(marker) + "; sleep 600", std::chrono::minutes(10));
    });
    EXPECT_TRUE(fixture::WaitFor([&] { return ::access(marker.c_str(), F_OK) == 0; },
                                 std::chrono::seconds(60)));
    KillRunningCommands();  // the whole group, whatever the shell runs at this moment
    runner.join();
    EXPECT_FALSE(killed.timedOut);
    EXPECT_TRUE(WIFSIGNALED(killed.status) && WTERMSIG(killed.status) == SIGKILL) << killed.status;
}
