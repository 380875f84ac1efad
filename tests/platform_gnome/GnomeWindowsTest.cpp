#include "platform/gnome/GnomeWindows.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// The window-list client against a private session bus, with a stand-in for the shell
// (fake_shell.py) that answers as each case needs.

namespace {

using State = GnomeWindows::Answer::State;

// A child process with its standard input on a pipe, which ends it when closed.
struct Child {
    pid_t pid = -1;
    int input = -1;
    FILE* output = nullptr;

    static Child start(const std::vector<std::string>& argv)
    {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            return {};
        Child child;
        child.pid = ::fork();
        if (child.pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[1]);
            ::close(out[0]);
            std::vector<char*> args;
            for (const auto& arg : argv)
                args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        child.input = in[1];
        child.output = ::fdopen(out[0], "r");
        return child;
    }

    std::string line()
    {
        char buffer[512] = {};
        return output && std::fgets(buffer, sizeof buffer, output) ? buffer : "";
    }

    void stop()
    {
        if (pid <= 0)
            return;
        ::close(input);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        if (output)
            std::fclose(output);
        pid = -1;
    }
};

class GnomeWindowsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder_ = std::filesystem::temp_directory_path() / ("velmar-gnome-bus-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder_);
        const std::string address = "unix:path=" + (folder_ / "bus").string();
        bus_ = Child::start({"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1",
                             "--address=" + address});
        ASSERT_NE(bus_.line(), "") << "dbus-daemon (Debian package dbus) did not start";
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    }

    static void TearDownTestSuite()
    {
        bus_.stop();
        std::filesystem::remove_all(folder_);
    }

    static Child shell(const std::string& mode)
    {
        const auto script = std::filesystem::path(VELMAR_TEST_SOURCE_DIR) / "fake_shell.py";
        Child child = Child::start({"/usr/bin/python3", script.string(), mode});
        EXPECT_EQ(child.line(), "ready\n") << mode;
        return child;
    }

    static inline std::filesystem::path folder_;
    static inline Child bus_;
};

} // namespace

TEST_F(GnomeWindowsTest, ListedMissingOrFailedAsTheShellAnswers)
{
    struct Case {
        const char* mode; // nullptr: no shell on the bus
        State state;
        const char* reason; // a part of it
    };
    const Case cases[] = {
        {"listed", State::listed, ""},
        {"absent", State::missing, "gnome-extensions enable computer-use-windows@velmar.com"},
        {"version2", State::failed, "version 2 of its protocol"},
        {"garbage", State::failed, "not a JSON array"},
        {nullptr, State::failed, "GNOME Shell did not answer"},
    };
    for (const Case& c : cases) {
        Child child = c.mode ? shell(c.mode) : Child{};
        GnomeWindows windows;
        const auto answer = windows.list();
        child.stop();
        const std::string name = c.mode ? c.mode : "no shell";
        EXPECT_EQ(answer.state, c.state) << name << ": " << answer.reason;
        EXPECT_NE(answer.reason.find(c.reason), std::string::npos) << name << ": " << answer.reason;
        if (c.state == State::listed) {
            ASSERT_EQ(answer.windows.size(), 1u);
            EXPECT_EQ(answer.windows[0].windowID, 9u);
            EXPECT_EQ(answer.windows[0].frame, (Rect{1, 2, 300, 200}));
            EXPECT_EQ(answer.reason, "");
        } else {
            EXPECT_TRUE(answer.windows.empty()) << name;
        }
    }
}

TEST_F(GnomeWindowsTest, ShellThatDoesNotAnswerFailsWithinAboutASecond)
{
    Child child = shell("slow");
    GnomeWindows windows;
    const auto started = std::chrono::steady_clock::now();
    const auto answer = windows.list();
    const auto took = std::chrono::steady_clock::now() - started;
    child.stop();
    EXPECT_EQ(answer.state, State::failed) << answer.reason;
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST_F(GnomeWindowsTest, NoteNamesTheCommandUntilTheExtensionAnswers)
{
    GnomeWindows windows;
    {
        Child child = shell("absent");
        const auto note = windows.note();
        child.stop();
        ASSERT_TRUE(note);
        EXPECT_NE(note->find("gnome-extensions enable computer-use-windows@velmar.com"), std::string::npos) << *note;
    }
    // A list taken since answers for the note: the extension is there now.
    Child child = shell("listed");
    EXPECT_EQ(windows.list().state, State::listed);
    EXPECT_EQ(windows.note(), std::nullopt);
    child.stop();
}
