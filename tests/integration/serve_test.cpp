// The real agent serving over loopback: framing, the dispatcher's fixed
// answers, the connection filter, time-outs, stopping, start-up failures and
// bad peers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "protocol/client.h"
#include "protocol/owl_const.h"
#include "support/agent.h"

namespace {

TEST(Serve, DispatcherAnswers) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start({"-v"})) << agent.Output();

    Reply r = agent.Request("TEST-SNMP", {"/tmp"});
    EXPECT_EQ(r.result, OWL_REPLY);
    EXPECT_EQ(r.text, "500\nnot implemented yet\n\r");

    r = agent.Request("quit");
    EXPECT_EQ(r.text, "500\nUnknown command \"quit\"\n\r");
    r = agent.Request("  Get Info ");
    EXPECT_EQ(r.body, "Unknown command \"Get Info\"");

    std::string reply;
    ASSERT_EQ(agent.SendRaw(agent.Packet("\r"), &reply), OWL_REPLY);
    EXPECT_EQ(DecryptReply(reply), "500\nVoid request received\n\r");
    ASSERT_EQ(agent.SendRaw(agent.Packet("GetInfo\n"), &reply), OWL_REPLY);
    EXPECT_EQ(DecryptReply(reply), "502\nEndOfTransmission signal missed\n\r");
    // R = 0: an empty request text has no end mark either.
    ASSERT_EQ(agent.SendRaw(agent.Packet(""), &reply), OWL_REPLY);
    EXPECT_EQ(DecryptReply(reply), "502\nEndOfTransmission signal missed\n\r");
    // K = 0: an empty session key is served like any other.
    ASSERT_EQ(agent.SendRaw(agent.Packet("quit\r", ""), &reply), OWL_REPLY);
    EXPECT_EQ(DecryptReply(reply, ""), "500\nUnknown command \"quit\"\n\r");

    // A wrong password gets no reply at all.
    r = agent.Request("TEST-UNC", {}, "wrong");
    EXPECT_EQ(r.result, OWL_NO_REPLY);

    std::string fails = agent.dir().Read("fail.log");
    EXPECT_NE(fails.find("\t 127.0.0.1\t Unknown command \"quit\"\n"), std::string::npos) << fails;
    EXPECT_NE(fails.find("Void request received"), std::string::npos);
    EXPECT_NE(fails.find("EndOfTransmission signal missed"), std::string::npos);
    std::string oks = agent.dir().Read("ok.log");
    EXPECT_NE(oks.find("\t 127.0.0.1\t TCP connection accepted\n"), std::string::npos);
    std::string verbose = agent.dir().Read("verbose.log");
    EXPECT_NE(verbose.find("--> request processed (500)"), std::string::npos);
    EXPECT_NE(verbose.find("--> request rejected or operation failed (500)"), std::string::npos);
    EXPECT_NE(verbose.find("\t owl\t\t Session closed, wait for next ..\n"), std::string::npos);
    EXPECT_NE(verbose.find("<-- Invalid QX request received"), std::string::npos);
}

TEST(Serve, RequestInManySmallWrites) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::string packet = agent.Packet("quit\r");
    int sock = agent.Connect();
    ASSERT_GE(sock, 0);
    String err;
    for (size_t i = 0; i < packet.size(); i++) {
        ASSERT_TRUE(SendAll(sock, packet.data() + i, 1, err));
        usleep(2000);
    }
    String reply;
    ASSERT_EQ(ReadReplyPacket(sock, 5000, reply, err), OWL_REPLY);
    close(sock);
    EXPECT_EQ(DecryptReply(Str(reply)), "500\nUnknown command \"quit\"\n\r");
}

TEST(Serve, AnnouncedLengthMismatch) {
    TestAgent agent({{"timeout", "1000"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::string packet = agent.Packet("quit\r");
    uint32_t len = (uint32_t)packet.size() - 4;

    // One byte less than what arrives: rejected at once, no reply.
    std::string small = packet;
    uint32_t shorter = len - 1;
    memcpy(&small[0], &shorter, 4);
    int sock = agent.Connect();
    String err;
    ASSERT_TRUE(SendAll(sock, small.data(), (int)small.size(), err));
    EXPECT_TRUE(ClosedWithoutReply(sock, 2000));
    close(sock);

    // One byte more: the agent waits for it until the idle time-out.
    std::string large = packet;
    uint32_t longer = len + 1;
    memcpy(&large[0], &longer, 4);
    sock = agent.Connect();
    ASSERT_TRUE(SendAll(sock, large.data(), (int)large.size(), err));
    long long start = Ms();
    EXPECT_TRUE(ClosedWithoutReply(sock, 5000));
    EXPECT_GE(Ms() - start, 900);
    close(sock);

    // Trailing bytes covered by the length field are ignored.
    std::string trailing = packet + "xyz";
    uint32_t withTail = len + 3;
    memcpy(&trailing[0], &withTail, 4);
    std::string reply;
    ASSERT_EQ(agent.SendRaw(trailing, &reply), OWL_REPLY);
    EXPECT_EQ(DecryptReply(reply), "500\nUnknown command \"quit\"\n\r");
}

TEST(Serve, ManagementNeedsPermission) {
    TestAgent agent({{"allowmanage", "0"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    for (const char* command : {"QUIT", "ReloadCfg", "ReloadApp", "GetSettings", "SetSettings"}) {
        Reply r = agent.Request(command);
        EXPECT_EQ(r.text, "600\nOperation is not allowed\n\r") << command;
    }
    Reply r = agent.Request("UpgradeCode", {"1000"});
    EXPECT_EQ(r.text, "200\n\r");  // upgrades are allowed by default from 127.0.0.1
    EXPECT_TRUE(agent.process().Running());
    // Allowed, but not from this address.
    TestAgent elsewhere({{"manageaddr", "10.0.0.1-10.0.0.9"}});
    ASSERT_TRUE(elsewhere.Start()) << elsewhere.Output();
    EXPECT_EQ(elsewhere.Request("QUIT").status, "600");
    EXPECT_TRUE(elsewhere.process().Running());
}

TEST(Serve, QuitEndsTheProcess) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    // QUIT with CR and no LF is a valid stop request.
    std::string reply;
    ASSERT_EQ(agent.SendRaw(agent.Packet("QUIT\r"), &reply), OWL_REPLY);
    EXPECT_EQ(DecryptReply(reply), "200\nOk\n\r");
    int status = -1;
    ASSERT_TRUE(agent.WaitExit(3000, &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(agent.Output().find("Terminate request received. Terminating..\n"),
              std::string::npos);
}

TEST(Serve, ConnectionFilter) {
    TestAgent open(
        {{"filteractive", "1"}, {"filterlist", "10.0.0.1 127.0.0.1"}, {"filtermarks", "01"}});
    ASSERT_TRUE(open.Start()) << open.Output();
    EXPECT_EQ(open.Request("quit").status, "500");

    // 127.0.0.12 is listed, which must not admit 127.0.0.1; the listed 127.0.0.1
    // is switched off by its mark.
    TestAgent closed(
        {{"filteractive", "1"}, {"filterlist", "127.0.0.12 127.0.0.1"}, {"filtermarks", "10"}});
    ASSERT_TRUE(closed.Start()) << closed.Output();
    EXPECT_EQ(closed.Request("quit").result, OWL_NO_REPLY);
    EXPECT_EQ(closed.Request("quit").result, OWL_NO_REPLY);
    std::string fails = closed.dir().Read("fail.log");
    size_t first = fails.find("\t 127.0.0.1\t TCP connection rejected\n");
    EXPECT_NE(first, std::string::npos) << fails;
    EXPECT_NE(fails.find("TCP connection rejected", first + 1), std::string::npos);
}

TEST(Serve, IdleTimeoutClosesSilentConnection) {
    TestAgent agent({{"timeout", "1000"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    int sock = agent.Connect();
    ASSERT_GE(sock, 0);
    long long start = Ms();
    EXPECT_TRUE(ClosedWithoutReply(sock, 5000));
    long long took = Ms() - start;
    EXPECT_GE(took, 900);
    close(sock);
}

TEST(Serve, DaemonPidFile) {
    TempDir scratch;
    std::string pidfile = scratch.File("owl.pid");
    TestAgent agent({{"pidfile", pidfile}});
    ASSERT_TRUE(agent.StartDaemon());
    std::string content = scratch.Read("owl.pid");
    EXPECT_EQ(content, std::to_string(agent.pid()) + "\n");
    // The file is locked: a second lock attempt fails.
    int fd = open(pidfile.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    EXPECT_EQ(fcntl(fd, F_GETLK, &lock), 0);
    EXPECT_EQ(lock.l_pid, agent.pid());
    close(fd);

    // A second daemon with the same pid file logs the lock failure and runs
    // on until its port is taken.
    EXPECT_EQ(agent.Request("QUIT").text, "200\nOk\n\r");
    int status;
    ASSERT_TRUE(agent.WaitExit(5000, &status));
    EXPECT_NE(access(pidfile.c_str(), F_OK), 0) << "pid file left behind";
}

TEST(Startup, ConsoleStagesAndFailures) {
    TempDir scratch;
    TestAgent agent({{"pidfile", scratch.File("owl.pid")}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_NE(access(scratch.File("owl.pid").c_str(), F_OK), 0);  // none in interactive mode
    EXPECT_NE(agent.Output().find("Command line checking .. Ok\nSettings checking .. Ok\n"
                                  "CPU testing .. Ok\nBasic encyption checking .. Ok\n"
                                  "OWL encyption checking .. Ok\nSock testing .. Ok\n"),
              std::string::npos)
        << agent.Output();
    EXPECT_NE(agent.Output().find("[owl]["), std::string::npos);
    EXPECT_NE(agent.Output().find("\t owl\t\t Listening...\n"), std::string::npos);

    // The same port while the first agent holds it: three tries, then status 4.
    RunResult busy = RunProgram(OWL_BINARY, {"-i", agent.ConfigPath()}, 20000);
    EXPECT_EQ(busy.status, 4);
    EXPECT_NE(busy.output.find("Sock testing .. TCP listen error:\nsocket() or bind() error\n\n"),
              std::string::npos)
        << busy.output;

    RunResult missing = RunProgram(OWL_BINARY, {"-i", "/nonexistent/owl.cfg"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("Settings checking .. Error\nCannot open configuration file "
                                  "'/nonexistent/owl.cfg'\nPlease check '/nonexistent/owl.cfg' "
                                  "file\n\n"),
              std::string::npos)
        << missing.output;

    RunResult negative = RunProgram(OWL_BINARY, {"-i", "-p", "-1", agent.ConfigPath()}, 20000);
    EXPECT_EQ(negative.status, 4);
    EXPECT_NE(negative.output.find("TCP listen error:"), std::string::npos) << negative.output;
}

TEST(Startup, WarningDoesNotStop) {
    TestAgent agent({{"filterlist", "127.0.0.1"}, {"filtermarks", "111"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    EXPECT_NE(agent.Output().find(
                  "Settings checking .. Warning: FilterMarks has less items than FilterList\n"),
              std::string::npos)
        << agent.Output();
}

// Programs the agent starts must not inherit its sockets or files.
TEST(Serve, DescriptorsAreCloseOnExec) {
    TempDir scratch;
    TestAgent agent({{"pidfile", scratch.File("owl.pid")}});
    ASSERT_TRUE(agent.StartDaemon());
    int sock = agent.Connect();  // a session in progress holds its connection
    ASSERT_GE(sock, 0);
    ASSERT_EQ(send(sock, "x", 1, MSG_NOSIGNAL), 1);  // handed over once a byte is in
    usleep(200 * 1000);
    std::string proc = "/proc/" + std::to_string(agent.pid());
    int checked = 0;
    for (int fd = 3; fd < 1024; fd++) {
        // Only what the agent opened itself: sockets and its own files, not
        // what the test harness may have handed down.
        char target[512] = {0};
        std::string link = proc + "/fd/" + std::to_string(fd);
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
        std::string what = target;
        if (what.rfind("socket:", 0) != 0 && what.rfind(scratch.path(), 0) != 0 &&
            what.rfind(agent.dir().path(), 0) != 0)
            continue;
        std::ifstream in(proc + "/fdinfo/" + std::to_string(fd));
        std::string key, flags;
        while (in >> key >> flags && key != "flags:") {
        }
        ASSERT_EQ(key, "flags:");
        EXPECT_TRUE(std::stoul(flags, nullptr, 8) & O_CLOEXEC) << "descriptor " << fd;
        checked++;
    }
    EXPECT_GE(checked, 3);  // listening socket, pid file, the connection
    close(sock);
    EXPECT_EQ(agent.Request("QUIT").status, "200");
    int status;
    EXPECT_TRUE(agent.WaitExit(5000, &status));
}

// A memory fault right after the start ends the agent instead of starting
// it over and over.
TEST(Serve, EarlyFaultEndsTheProcess) {
    TestAgent agent;
    ASSERT_TRUE(agent.Start()) << agent.Output();
    agent.process().Kill(SIGSEGV);
    int status = 0;
    ASSERT_TRUE(agent.WaitExit(5000, &status));
    EXPECT_EQ(status, 128 + SIGSEGV);
}

TEST(Load, ManyConcurrentClients) {
    TestAgent agent({{"logsuccess", "0"}, {"verboselogfile", ""}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    // A first request so that everything the agent opens once is open.
    ASSERT_EQ(agent.Request("quit").status, "500");
    usleep(200 * 1000);
    int before = OpenDescriptors(agent.pid());

    const int kClients = 200;
    std::vector<std::thread> threads;
    std::vector<int> ok(kClients, 0);
    for (int i = 0; i < kClients; i++) {
        threads.emplace_back([&, i] {
            Reply r = agent.Request("Unknown-" + std::to_string(i));
            ok[i] = r.body == "Unknown command \"Unknown-" + std::to_string(i) + "\"";
        });
    }
    for (auto& t : threads) t.join();
    int answered = 0;
    for (int v : ok) answered += v;
    EXPECT_EQ(answered, kClients);

    int after = -1;
    for (int i = 0; i < 200; i++) {
        after = OpenDescriptors(agent.pid());
        if (after <= before) break;
        usleep(10000);
    }
    EXPECT_EQ(after, before);
    Reply info = agent.Request("GetInfo");
    EXPECT_NE(info.body.find("\nActiveConnections=1\n"), std::string::npos) << info.body;
    EXPECT_NE(info.body.find("\nOpenedConnections=" + std::to_string(kClients + 2) + "\n"),
              std::string::npos);
}

TEST(Load, GarbageNeverCrashes) {
    TestAgent agent({{"timeout", "1000"}});
    ASSERT_TRUE(agent.Start()) << agent.Output();
    std::mt19937 rng(12345);
    String err;
    for (int round = 0; round < 30; round++) {
        int sock = agent.Connect();
        ASSERT_GE(sock, 0);
        std::string junk(1 + rng() % 300, '\0');
        for (char& c : junk) c = (char)(rng() & 0xFF);
        SendAll(sock, junk.data(), (int)junk.size(), err);
        close(sock);  // close at once, mid-packet or not
    }
    // A length field of 0xFFFFFFFF is refused as soon as it arrives.
    int sock = agent.Connect();
    std::string huge = std::string("\xFF\xFF\xFF\xFF\x03\x12", 6) + std::string(20, 'a');
    SendAll(sock, huge.data(), (int)huge.size(), err);
    EXPECT_TRUE(ClosedWithoutReply(sock, 3000));
    close(sock);
    // Truncated packets, then the peer closes.
    std::string packet = agent.Packet("quit\r");
    for (size_t cut : {1ul, 4ul, 13ul, packet.size() - 1}) {
        sock = agent.Connect();
        SendAll(sock, packet.data(), (int)cut, err);
        close(sock);
    }
    // Complete packets whose inner lengths overrun, with wrong auth bytes.
    std::string bad = packet;
    bad[4] = 0x04;
    std::string reply;
    EXPECT_EQ(agent.SendRaw(bad, &reply), OWL_NO_REPLY);
    std::string overrun = packet;
    overrun[6] = (char)0xFF;
    overrun[7] = (char)0xFF;
    EXPECT_EQ(agent.SendRaw(overrun, &reply), OWL_NO_REPLY);
    std::string minimum = std::string("\x0a\x00\x00\x00\x03\x12", 6) + std::string(8, '\0');
    EXPECT_EQ(agent.SendRaw(minimum, &reply), OWL_NO_REPLY);

    EXPECT_TRUE(agent.process().Running());
    EXPECT_EQ(agent.Request("quit").status, "500");
}

}  // namespace
