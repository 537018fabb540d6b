// The quorin-sim program as a user runs it: a child process, its stdout, its
// exit status.
#include "SimTestSupport.h"
#include "TestPaths.h"
#include "protocol/Frame.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct CChild {
    pid_t pid = -1;
    FILE* out = nullptr;
    int errFd = -1;
    ~CChild()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out)
            fclose(out);
        if (errFd >= 0)
            close(errFd);
    }
    int Wait()
    {
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Line()
    {
        char buf[512] = {};
        return fgets(buf, sizeof buf, out) ? std::string(buf) : std::string();
    }
    std::string Err()
    {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = read(errFd, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }
};

void Spawn(CChild& c, std::vector<std::string> args)
{
    int outPipe[2], errPipe[2];
    ASSERT_EQ(pipe(outPipe), 0);
    ASSERT_EQ(pipe(errPipe), 0);
    c.pid = fork();
    ASSERT_GE(c.pid, 0);
    if (c.pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        std::vector<char*> argv;
        std::string prog = TestPath("QUORIN_SIM");
        argv.push_back(prog.data());
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    c.out = fdopen(outPipe[0], "r");
    c.errFd = errPipe[0];
}

TEST(QuorinSimProgram, PrintsTheSlavePathAndLinkAndAnswersUntilTerminated)
{
    CTempFolder dir;
    const std::string link = dir.Path() + "/quorin";
    CChild c;
    ASSERT_NO_FATAL_FAILURE(Spawn(c, {"machine", "--link", link, "--record-dir", dir.Path() + "/rec"}));
    std::string path = c.Line();
    ASSERT_FALSE(path.empty());
    path.pop_back();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), path);
    {
        CSlave slave(link);
        ASSERT_TRUE(slave.SendFrame(CMD_BOARD_CHECK, 0x01, {0x01}));
        const auto ack = slave.ReadFrame();
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->command, CMD_BOARD_CHECK);
    }
    kill(c.pid, SIGTERM);
    EXPECT_EQ(c.Wait(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    EXPECT_EQ(ReadFileLines(dir.Path() + "/rec/frames.log"), std::vector<std::string>{"1E 01 1"});
}

TEST(QuorinSimProgram, ExitsAfterAnUnplug)
{
    CChild c;
    ASSERT_NO_FATAL_FAILURE(Spawn(c, {"--unplug-after", "1"}));
    std::string path = c.Line();
    ASSERT_FALSE(path.empty());
    path.pop_back();
    CSlave slave(path);
    ASSERT_TRUE(slave.SendFrame(CMD_BOARD_CHECK, 0x01, {0x01}));
    EXPECT_TRUE(slave.WaitHangup(2000ms));
    EXPECT_EQ(c.Wait(), 0);
    EXPECT_NE(c.Err().find("unplugged"), std::string::npos);
}

TEST(QuorinSimProgram, BadOptionsExitWithStatusTwoAndAMessage)
{
    CChild c;
    ASSERT_NO_FATAL_FAILURE(Spawn(c, {"machine", "--nak", "bogus"}));
    EXPECT_EQ(c.Wait(), 2);
    const std::string err = c.Err();
    EXPECT_NE(err.find("--nak 'bogus': unknown kind 'bogus'"), std::string::npos) << err;
    EXPECT_NE(err.find("--help"), std::string::npos) << err;
    EXPECT_TRUE(c.Line().empty());
}

TEST(QuorinSimProgram, HelpNamesEveryOption)
{
    CChild c;
    ASSERT_NO_FATAL_FAILURE(Spawn(c, {"--help"}));
    std::string text;
    for (std::string l = c.Line(); !l.empty(); l = c.Line())
        text += l;
    EXPECT_EQ(c.Wait(), 0);
    for (const char* option : {"--link",
                               "--record-dir",
                               "--verbose",
                               "--silent-at",
                               "--unplug-at",
                               "--delay",
                               "--stray",
                               "--model",
                               "--parts",
                               "--record ",
                               "--board-version",
                               "--serial ",
                               "--separator",
                               "--versions",
                               "--serial-payload",
                               "--serial-sub",
                               "--serial-when",
                               "--erase-steps",
                               "--program-steps",
                               "--verify-steps",
                               "--step-delay",
                               "--silent ",
                               "--nak",
                               "--bad-size",
                               "--corrupt",
                               "--unplug-after",
                               "--erase-fail",
                               "--program-fail",
                               "--boot-answer",
                               "--refuse",
                               "--boot-gap",
                               "--end-quiet",
                               "--finish-window",
                               "--short-block-timeout"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
}

} // namespace
