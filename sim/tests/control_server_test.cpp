// The control socket as a process sees it: a real Unix socket served by the
// simulator's threads. What it costs a long run (connection threads), and
// what it does to whatever already lies at its path.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "common/control_protocol.h"
#include "sim/control_server.h"
#include "tests/support/host_test.h"
#include "sim/simulator.h"

namespace {

class ControlServerTest : public HostTest {
protected:
    std::unique_ptr<zr48sim::Simulator> sim;
    std::unique_ptr<zr48sim::ControlServer> control;
    std::string path;

    void SetUp() override {
        HostTest::SetUp();
        sim = std::make_unique<zr48sim::Simulator>(zr48sim::DefaultConfig(), zr48sim::SimOptions{});
        std::string error;
        ASSERT_TRUE(sim->Build(&error)) << error;
        control = std::make_unique<zr48sim::ControlServer>(*sim, nullptr);
        path = ::testing::TempDir() + "zr48sim_test_" + std::to_string(getpid()) + ".sock";
        unlink(path.c_str());
    }
    void TearDown() override {
        control.reset();
        unlink(path.c_str());
        sim->HaltAll();
        EXPECT_TRUE(sim->Finish().clean);
        HostTest::TearDown();
    }
    // One request on a connection of its own, closed afterwards.
    std::string Ask(const std::string& request) {
        zr48control::Client client;
        std::string answer, error;
        EXPECT_TRUE(client.Connect(path, &error)) << error;
        EXPECT_TRUE(client.Call(request, &answer, 10000, &error)) << error;
        return answer;
    }
    // Waits (at most 10 s of real time, without sleeping) until the server
    // holds no more than `count` connection threads.
    bool ThreadsDropTo(size_t count) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (control->ConnectionThreads() > count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }
};

}  // namespace

TEST_F(ControlServerTest, FinishedConnectionsGiveBackTheirThreads) {
    std::string error;
    ASSERT_TRUE(control->Start(path, &error)) << error;
    for (int i = 0; i < 40; ++i) ASSERT_EQ(Ask("ADAPTERS"), "OK a b");
    EXPECT_TRUE(ThreadsDropTo(0)) << control->ConnectionThreads() << " threads still held";

    // A live connection keeps its thread; Stop closes it and joins it.
    zr48control::Client live;
    std::string answer;
    ASSERT_TRUE(live.Connect(path, &error)) << error;
    ASSERT_TRUE(live.Call("LINES", &answer, 10000, &error)) << error;
    EXPECT_EQ(answer, "OK l1");
    EXPECT_EQ(control->ConnectionThreads(), 1u);
    control->Stop();
    EXPECT_EQ(control->ConnectionThreads(), 0u);
    EXPECT_FALSE(live.Call("LINES", &answer, 10000, &error));
    struct stat st;
    EXPECT_NE(lstat(path.c_str(), &st), 0) << "the socket is removed when the server stops";
}

TEST_F(ControlServerTest, OnlyAStaleSocketIsReplaced) {
    std::string error;
    // A file where the socket would go stays as it is.
    std::ofstream(path) << "precious";
    EXPECT_FALSE(control->Start(path, &error));
    EXPECT_NE(error.find("is not a socket"), std::string::npos) << error;
    std::ifstream kept(path);
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "precious");
    unlink(path.c_str());

    // A socket nobody answers on (its simulator died) is replaced.
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(stale);
    ASSERT_TRUE(control->Start(path, &error)) << error;
    EXPECT_EQ(Ask("ADAPTERS"), "OK a b");

    // A live one is not taken over.
    zr48sim::ControlServer second(*sim, nullptr);
    EXPECT_FALSE(second.Start(path, &error));
    EXPECT_NE(error.find("another simulator answers there"), std::string::npos) << error;
    EXPECT_EQ(Ask("ADAPTERS"), "OK a b");
}

// A user's socket directory may lie in /tmp, where another user could have
// made it first, or left something else under its name.
TEST(PrivateDirectoryTest, IsMadeClosedToOthersAndRefusedWhenItIsNot) {
    std::string base = ::testing::TempDir() + "zr48sim_private_" + std::to_string(getpid());
    std::string error;
    ASSERT_TRUE(zr48sim::MakePrivateDirectory(base, &error)) << error;
    struct stat st;
    ASSERT_EQ(lstat(base.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(zr48sim::MakePrivateDirectory(base, &error)) << "one already there is used";

    chmod(base.c_str(), 0755);
    EXPECT_FALSE(zr48sim::MakePrivateDirectory(base, &error));
    EXPECT_NE(error.find("closed to others"), std::string::npos) << error;
    chmod(base.c_str(), 0700);

    std::string link = base + ".link";
    ASSERT_EQ(symlink(base.c_str(), link.c_str()), 0);
    EXPECT_FALSE(zr48sim::MakePrivateDirectory(link, &error)) << "a symbolic link is not one";
    std::string file = base + ".file";
    std::ofstream(file) << "x";
    EXPECT_FALSE(zr48sim::MakePrivateDirectory(file, &error));
    EXPECT_FALSE(zr48sim::MakePrivateDirectory(base + "/missing/parent", &error));
    EXPECT_NE(error.find("cannot make"), std::string::npos) << error;

    unlink(link.c_str());
    unlink(file.c_str());
    rmdir(base.c_str());
}

// The requests of the protocol are as strict as the command line's: a word
// too many, a number that is not one, each refused with what it takes.
TEST_F(ControlServerTest, RequestsAreStrict) {
    for (const char* request :
         {"STATUS now", "ADAPTERS x", "STOP please", "RESET", "RESET a b", "LINE l1 flap 10abc",
          "LINE l1 flap 0", "LINE l1 loss nan", "LINE l1 loss 1.5", "LINE l1 loss 0x1",
          "LINE l1 cut now", "WAIT_LINK", "WAIT_LINK -1", "WAIT_LINK abc", "WAIT_LINK 601",
          "WAITLINK 1", "NOTE"}) {
        std::string answer = control->Answer(request);
        EXPECT_EQ(answer.compare(0, 4, "ERR "), 0) << request << ": " << answer;
    }
    EXPECT_EQ(control->Answer("WAIT_LINK 0"), "ERR not every link is up (down: a, b)")
        << "0 asks whether every link is up now";
    EXPECT_EQ(control->Answer("NOTE   spaced   words"), "OK");
}

// A connection answers into one string, request after request: each answer
// is its own request's whole, with nothing of a longer one before it (an
// information answer is appended to what the string holds). A number as long
// as a word may be is read whole.
TEST_F(ControlServerTest, AnAnswerReusingItsStringIsItsOwn) {
    std::string error;
    ASSERT_TRUE(sim->StartAdapters(&error)) << error;
    const std::string query = "QUERY a 0x00010112 00000000";
    const std::string fresh = control->Answer(query);
    ASSERT_EQ(fresh.compare(0, 3, "OK "), 0) << fresh;
    std::string reused;
    for (const char* before : {"STATUS", "ADAPTERS", "LINE l1 loss 2", "bogus", ""}) {
        control->Answer(before, &reused);
        control->Answer(query, &reused);
        EXPECT_EQ(reused, fresh) << "after " << before;
    }
    control->Answer("STATUS", &reused);
    control->Answer("NOTE x", &reused);
    EXPECT_EQ(reused, "OK");
    std::string longZero = "0." + std::string(80, '0');
    EXPECT_EQ(control->Answer("LINE l1 loss " + longZero), "OK");
    EXPECT_EQ(control->Answer("LINE l1 loss " + longZero + "5"), "OK");
    EXPECT_EQ(control->Answer("LINE l1 loss 1" + std::string(70, '0')).compare(0, 4, "ERR "), 0);
}

// A count the driver did not write comes back as "-", not as the pattern the
// host left in it.
TEST_F(ControlServerTest, CountsTheDriverDidNotWriteAreNone) {
    std::string error;
    ASSERT_TRUE(sim->StartAdapters(&error)) << error;
    std::string answer = control->Answer("QUERY a 0x00010112 00000000");
    EXPECT_EQ(answer, "OK 0xC0010017 - 4 00000000") << "OID_GEN_PROTOCOL_OPTIONS is not answered";
    zr48control::InformationAnswer parsed;
    ASSERT_TRUE(zr48control::ParseAnswer(answer, &parsed, &error)) << error;
    EXPECT_FALSE(parsed.bytesDone.has_value());
    EXPECT_EQ(parsed.bytesNeeded, 4u);
}

// Many clients at once (a script polling in a loop, tools started together)
// wait in the listen queue rather than being refused.
TEST_F(ControlServerTest, ABurstOfConnectionsIsQueuedNotRefused) {
    std::string error;
    ASSERT_TRUE(control->Start(path, &error)) << error;
    std::vector<int> fds;
    int refused = 0;
    for (int i = 0; i < 300; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ++refused;
        fds.push_back(fd);
    }
    EXPECT_EQ(refused, 0) << "of 300 connections made at once";
    for (int fd : fds) close(fd);
}

// Only the default socket's directory is made; a path given must be in a
// directory that exists, and nothing is made on the way to it.
TEST_F(ControlServerTest, AGivenPathsDirectoryIsNotMade) {
    std::string base = ::testing::TempDir() + "zr48sim_nodir_" + std::to_string(getpid());
    std::string error;
    EXPECT_FALSE(control->Start(base + "/deeper/x.sock", false, &error));
    EXPECT_NE(error.find("the directory " + base + "/deeper does not exist"), std::string::npos)
        << error;
    struct stat st;
    EXPECT_NE(stat(base.c_str(), &st), 0) << "nothing made";
}
