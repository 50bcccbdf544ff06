// End-to-end tests of pelkord: the real binary, a real local datagram socket,
// and in sim builds the simulated device's device list from the environment.
#include "pelkord/harness.h"

#include <gtest/gtest.h>

#include <fnmatch.h>

#include <climits>
#include <fstream>
#include <random>

using namespace pelkord_test;

namespace {

#if DEV_BACKEND_SIM
constexpr bool kSim = true;
#else
constexpr bool kSim = false;
#endif

#define NEEDS_SIM()                                                       \
    do {                                                                  \
        if (!kSim) GTEST_SKIP() << "needs the simulated device list";    \
    } while (0)

const std::string kBanner = "\nPelkor Distributed Client Daemon\n";

const std::string kDriverHelp =
    "The GPU driver could not initialize properly. The most common cause of this is a missing "
    "CUDA driver. To test this assumption, please install the latest CUDA drivers from the GPU "
    "vendor's driver download page. This problem is also caused by attempting to run Pelkor over "
    "Windows' Remote Desktop. To run Pelkor over remotely in Windows, please use a non-RDP "
    "solution such as TightVNC (see the tool's project web site).";

size_t countOf(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class PelkordTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        if (!box.setup(&error)) {
            if (box.unavailable()) GTEST_SKIP() << error;
            FAIL() << error;
        }
    }

    // Starts a daemon with this device list and waits until it listens.
    void serve(const std::string &devices, std::vector<std::string> args) {
        Daemon::Options options;
        options.args = std::move(args);
        options.env = {{"SIMDEV_DEVICES", devices}};
        ASSERT_TRUE(daemon.start(box, options));
        ASSERT_TRUE(daemon.waitReady()) << daemon.out() << daemon.err();
    }

    Sandbox box;  // declared first: the daemon goes before its sandbox
    Daemon daemon;
};

TEST_F(PelkordTest, OneSlotPerUsableDeviceAndVanishedHoldersAreSwept) {
    NEEDS_SIM();
    // The 0.9 device is not usable, so there are two slots.
    ASSERT_NO_FATAL_FAILURE(serve("2.0,0.9,1.3", {"-f", "-d"}));
    EXPECT_TRUE(contains(daemon.out(), "2 CUDA capable cards found.\n")) << daemon.out();

    Client client(box, "client.sock");
    ASSERT_TRUE(client.valid());
    pid_t holder = startSleeper();
    EXPECT_EQ(client.ask(getpid()), 0);
    EXPECT_EQ(client.ask(holder), 1);
    EXPECT_EQ(client.ask(getpid()), -1);  // both holders live
    endProcess(holder);
    EXPECT_EQ(client.ask(getpid()), 1);   // the sweep took the vanished holder's slot back
    EXPECT_EQ(client.ask(getpid()), -1);
    EXPECT_TRUE(client.nothingPending());

    std::string err = daemon.err();
    EXPECT_TRUE(contains(err, "Client path is " + client.path + "\nReceived a client request.\n"));
    EXPECT_TRUE(contains(err, "Found an available slot at 0\n"));
    EXPECT_TRUE(contains(err, "No available slots found.  Denying the client a worker id.\n"));
    EXPECT_TRUE(contains(err, "Assigning client " + std::to_string(holder) + " to worker id 1.\n"));
    EXPECT_TRUE(contains(err, "Assigning client " + std::to_string(getpid()) + " to worker id -1.\n"));
    EXPECT_EQ(countOf(err, "Booting stale pid"), 1u) << err;
    EXPECT_TRUE(contains(err, "Booting stale pid " + std::to_string(holder) + "\n")) << err;
}

TEST_F(PelkordTest, SamePidGetsTwoIds) {
    NEEDS_SIM();
    ASSERT_NO_FATAL_FAILURE(serve("2.0,2.0,2.0", {"-f", "-d"}));
    Client client(box, "client.sock");
    pid_t gone = vanishedPid();
    EXPECT_EQ(client.ask(1), 0);
    EXPECT_EQ(client.ask(gone), 1);
    EXPECT_EQ(client.ask(getpid()), 2);
    EXPECT_EQ(client.ask(getpid()), 1);   // a second id for the same pid, freed from `gone`
    EXPECT_EQ(client.ask(getpid()), -1);  // pid 1 always exists

    std::string err = daemon.err();
    EXPECT_EQ(countOf(err, "Booting stale pid"), 1u) << err;
    EXPECT_TRUE(contains(err, "Booting stale pid " + std::to_string(gone) + "\n")) << err;
}

TEST_F(PelkordTest, HolderThatCannotBeSignalledKeepsItsSlot) {
    NEEDS_SIM();
    // Run as an ordinary user, the daemon may not signal pid 1: the check fails
    // with EPERM, which does not mean the process is gone.
    Daemon::Options options;
    options.args = {"-f", "-d"};
    options.env = {{"SIMDEV_DEVICES", "2.0"}};
    options.unprivileged = true;
    ASSERT_TRUE(daemon.start(box, options));
    if (!daemon.waitReady() && daemon.waitExit() == 125) GTEST_SKIP() << "cannot change user here";
    ASSERT_TRUE(daemon.waitReady()) << daemon.out() << daemon.err();
    Client client(box, "client.sock");
    EXPECT_EQ(client.ask(1), 0);
    EXPECT_EQ(client.ask(getpid()), -1);
    EXPECT_EQ(countOf(daemon.err(), "Booting stale pid"), 0u) << daemon.err();
}

TEST_F(PelkordTest, NoUsableDeviceMeansNoSlots) {
    NEEDS_SIM();
    for (const char *devices : {"", "0.9", "0.3,0.0"}) {
        SCOPED_TRACE(std::string("devices \"") + devices + "\"");
        ASSERT_NO_FATAL_FAILURE(serve(devices, {"-f", "-d"}));
        EXPECT_TRUE(contains(daemon.out(), "0 CUDA capable cards found.\n")) << daemon.out();
        Client first(box, "first.sock"), second(box, "second.sock");
        EXPECT_EQ(first.ask(getpid()), -1);
        EXPECT_EQ(second.ask(getpid()), -1);
        std::string err = daemon.err();
        EXPECT_EQ(countOf(err, "No available slots found.  Denying the client a worker id.\n"), 2u);
        EXPECT_EQ(countOf(err, "Booting stale pid"), 0u);
        daemon.stop();
    }
}

// Datagrams that get no reply and take no slot; the daemon serves on.
TEST_F(PelkordTest, RefusedDatagramsTakeNoSlotAndSignalsAreSurvived) {
    NEEDS_SIM();
    ASSERT_NO_FATAL_FAILURE(serve("2.0", {"-f", "-d"}));
    Client client(box, "client.sock"), unnamed(box, "");
    ASSERT_TRUE(client.valid() && unnamed.valid());

    const std::string me = std::to_string(getpid());
    struct refused {
        const char *what;
        size_t size;  // bytes sent: a request when 8
        int32_t type, pid;
        bool unnamed;       // from a socket without a name
        std::string trace;  // after "Received a client request.\n", a pattern of fnmatch
    };
    const std::vector<refused> cases = {
        {"4 bytes", 4, 0, 0, false, "Unexpected size 4 received. Expected 8\n"},
        {"9 bytes", 9, 0, 0, false, "Unexpected size 9 received. Expected 8\n"},
        {"0 bytes", 0, 0, 0, false, "Unexpected size 0 received. Expected 8\n"},
        {"past the buffer", 2000, 0, 0, false, "Unexpected size 1024 received. Expected 8\n"},
        {"type 1", 8, 1, getpid(), false, ""},
        {"type -1", 8, -1, getpid(), false, ""},
        {"pid 0", 8, 0, 0, false, ""},
        {"pid -1", 8, 0, -1, false, ""},
        {"lowest pid", 8, 0, INT32_MIN, false, ""},
        // A reply that cannot be sent: the slot (free, or freed by the sweep) stays free.
        {"unnamed sender", 8, 0, getpid(), true,
         "*Found an available slot at 0\nAssigning client " + me + " to worker id 0.\n"
         "Unable to send the reply to client " + me + ": *.\nWorker id 0 stays free.\n"},
    };
    std::vector<char> junk(2000, 'x');
    for (const refused &c : cases) {
        SCOPED_TRACE(c.what);
        Client &sender = c.unnamed ? unnamed : client;
        const size_t before = daemon.err().size();
        if (c.size == 8)
            ASSERT_TRUE(sender.sendRequest(c.type, c.pid));
        else
            ASSERT_TRUE(sender.send(junk.data(), c.size));
        // The one slot is free: the last holder has vanished, and a refused
        // datagram took nothing (a live or unkillable holder would keep it).
        // Replies come in request order, so a reply to the refused one would come first.
        EXPECT_EQ(client.ask(vanishedPid()), 0);
        EXPECT_TRUE(client.nothingPending());

        const std::string head = "Client path is " + sender.path + "\nReceived a client request.\n";
        const std::string next = "Client path is " + client.path + "\n";
        std::string err = daemon.err().substr(before);
        ASSERT_EQ(err.rfind(head, 0), 0u) << err;
        err = err.substr(head.size(), err.find(next, head.size()) - head.size());
        EXPECT_EQ(fnmatch(c.trace.c_str(), err.c_str(), 0), 0) << err;
    }
    daemon.signal(SIGHUP);
    daemon.signal(SIGPIPE);
    EXPECT_EQ(client.ask(getpid()), 0);
    EXPECT_TRUE(daemon.running());
}

// A client name of the full 108 bytes has no terminating zero; its reply
// must reach it all the same.
TEST_F(PelkordTest, ClientNamesUpTo108BytesGetTheirReply) {
    ASSERT_NO_FATAL_FAILURE(serve("2.0,2.0", {"-f", "-d"}));
    int64_t expected = 0;
    for (size_t length : {107u, 108u}) {
        SCOPED_TRACE(length);
        const std::string name(length - box.dir.size() - 1, 'n');
        Client client(box, name);
        ASSERT_TRUE(client.valid());
        ASSERT_EQ(client.path.size(), length);
        int64_t id = client.ask(getpid());
        if (kSim) {
            EXPECT_EQ(id, expected++);
        } else {
            EXPECT_GE(id, -1);
        }
        EXPECT_TRUE(contains(daemon.err(), "Client path is " + client.path + "\n")) << daemon.err();
    }
}

// A client that sends more requests than its socket queues before reading:
// the replies that could not be sent gave their slots back.
TEST_F(PelkordTest, StalledClientGetsNoSlotItWasNotTold) {
    NEEDS_SIM();
    size_t queue = 10;
    if (std::ifstream qlen("/proc/sys/net/unix/max_dgram_qlen"); qlen) qlen >> queue;
    const size_t requests = queue + 30;
    std::string devices = "2.0";
    for (size_t i = 1; i < requests + 2; ++i) devices += ",2.0";
    ASSERT_NO_FATAL_FAILURE(serve(devices, {"-f", "-d"}));

    Client stalled(box, "stalled.sock"), other(box, "other.sock");
    for (size_t i = 0; i < requests; ++i) ASSERT_TRUE(stalled.sendRequest(0, getpid())) << i;
    // Served in order: once `other` has its answer, every stalled request was handled.
    const int64_t otherId = other.ask(getpid());

    std::vector<int64_t> ids;
    for (int64_t id; (id = stalled.receiveId(0)) != kNoReply;) ids.push_back(id);
    ASSERT_LT(ids.size(), requests) << "every reply was queued; nothing to show";
    for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], int64_t(i));
    // The slots of the lost replies stayed free: `other` got the next one, and so do later requests.
    EXPECT_EQ(otherId, int64_t(ids.size()));
    EXPECT_EQ(stalled.ask(getpid()), int64_t(ids.size()) + 1);

    const std::string err = daemon.err();
    EXPECT_EQ(countOf(err, "Unable to send the reply to client " + std::to_string(getpid()) + ": "),
              requests - ids.size())
        << err;
    EXPECT_EQ(countOf(err, "Worker id " + std::to_string(ids.size()) + " stays free.\n"),
              requests - ids.size());
}

struct StartupFailure {
    const char *what;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> env;
    bool simOnly;
    std::string out;  // expected on standard output after the banner
    std::string err;  // expected on standard error
};

// A fake temporary name whose socket path has `length` bytes.
std::string tmpnamForPathLength(size_t length) {
    return "/" + std::string(length - 14, 'd') + "/file";
}
std::string socketPathOfLength(size_t length) {
    return "/" + std::string(length - 14, 'd') + "/pelkord.sock";
}

TEST_F(PelkordTest, StartupFailuresEndWithStatus255) {
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    auto fake = [&](const std::string &name) {
        return std::vector<std::pair<std::string, std::string>>{
            {"LD_PRELOAD", FAKE_TMPNAM_LIB},
            {"FAKE_TMPNAM", name},
            {"ASAN_OPTIONS", asan + ":verify_asan_link_order=0"}};
    };
    const std::string noCards = "No CUDA capable cards found.  Exitting.\n";
    const std::vector<StartupFailure> cases = {
        {"unknown option", {"-x"}, {}, false, "Invalid option '?' specified.\n",
         "invalid option -- 'x'"},
        {"driver init fails", {"-f"}, {{"SIMDEV_INIT", "100"}}, true, kDriverHelp, noCards},
        {"device count fails", {"-f"}, {{"SIMDEV_FAULTS", "device_count:1:3"}}, true,
         "Unable to detect number of CUDA devices.  Aborting.\n", noCards},
        {"device query fails",
         {"-f"},
         {{"SIMDEV_DEVICES", "2.0,2.0"}, {"SIMDEV_FAULTS", "device_get:1:101"}},
         true,
         "Unable to get information about device #0.  Aborting.\n",
         noCards},
        {"capability query fails", {"-f"}, {{"SIMDEV_FAULTS", "capability:1:1"}}, true,
         "Unable to get information about device #0.  Aborting.\n", noCards},
        {"no temporary name", {"-f"}, fake("(null)"), false, "",
         "Unable to determine temporary directory.\n"},
        {"temporary name without a directory", {"-f"}, fake("file"), false, "",
         "Unable to determine temporary directory.\n"},
        {"socket path of 108 bytes", {"-f"}, fake(tmpnamForPathLength(108)), false, "",
         "Socket path " + socketPathOfLength(108) +
             " is too long: 108 bytes, at most 107 allowed.\n"},
        {"socket path of 300 bytes", {"-f"}, fake(tmpnamForPathLength(300)), false, "",
         "Socket path " + socketPathOfLength(300) +
             " is too long: 300 bytes, at most 107 allowed.\n"},
        // 107 bytes fit; the directory does not exist, so the bind fails.
        {"bind fails", {"-f"}, fake(tmpnamForPathLength(107)), false, "",
         "Unable to bind in home directory:: No such file or directory\n"},
    };
    for (const StartupFailure &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.simOnly && !kSim) continue;
        Daemon::Options options;
        options.args = c.args;
        options.env = c.env;
        ASSERT_TRUE(daemon.start(box, options));
        EXPECT_EQ(daemon.waitExit(), 255);
        std::string out = daemon.out(), err = daemon.err();
        EXPECT_EQ(out.rfind(kBanner, 0), 0u) << out;
        if (c.what == std::string("driver init fails")) {
            EXPECT_EQ(out, kBanner + c.out);  // nothing after the help text, not even a newline
        } else {
            EXPECT_TRUE(contains(out, c.out)) << out;
        }
        EXPECT_TRUE(contains(err, c.err)) << err;
        EXPECT_FALSE(contains(out, "Listening")) << out;
        daemon.stop();
    }
}

TEST_F(PelkordTest, WithoutForegroundOptionReturnsAtOnceWhileChildServes) {
    Daemon::Options options;
    options.env = {{"SIMDEV_DEVICES", "2.0"}};
    ASSERT_TRUE(daemon.start(box, options));
    EXPECT_EQ(daemon.waitExit(), 0);
    ASSERT_TRUE(daemon.waitReady()) << daemon.out() << daemon.err();
    Client client(box, "client.sock");
    EXPECT_EQ(client.ask(getpid()), 0);
    // The start-up lines were written once, not once by each process.
    std::string out = daemon.out();
    EXPECT_EQ(countOf(out, kBanner), 1u) << out;
    EXPECT_EQ(countOf(out, "CUDA capable cards found.\n"), 1u) << out;
    if (kSim) {
        EXPECT_TRUE(contains(out, "1 CUDA capable cards found.\n")) << out;
    }
}

TEST_F(PelkordTest, FailedForkIsAStartupFailure) {
    Daemon::Options options;
    // The leak checker needs a task of its own at exit, which the limit forbids.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    options.env = {{"SIMDEV_DEVICES", "2.0"}, {"ASAN_OPTIONS", asan + ":detect_leaks=0"}};
    options.forkLimit = true;
    ASSERT_TRUE(daemon.start(box, options));
    int status = daemon.waitExit();
    if (status == 125 || status == 127)
        GTEST_SKIP() << "cannot run the daemon under a process limit here: " << status;
    EXPECT_EQ(status, 255) << daemon.out() << daemon.err();
    EXPECT_TRUE(contains(daemon.err(), "Unable to start the background process: ")) << daemon.err();
    EXPECT_FALSE(contains(daemon.out(), "Listening")) << daemon.out();
}

TEST_F(PelkordTest, RandomDatagramsGetNoReplyAndLeaveTheDaemonServing) {
    ASSERT_NO_FATAL_FAILURE(serve("2.0", {"-f"}));
    Client client(box, "client.sock"), unnamed(box, "");
    ASSERT_TRUE(client.valid());

    std::mt19937 random(20240601);
    std::vector<unsigned char> data(1100);
    const int datagrams = 100000;
    for (int i = 0; i < datagrams; ++i) {
        // Half of them close to the request size, the rest anything up to past the buffer.
        size_t size = (random() & 1) ? random() % 17 : random() % data.size();
        for (size_t k = 0; k < size; ++k) data[k] = static_cast<unsigned char>(random());
        if (size == 8) {
            int32_t type;
            std::memcpy(&type, data.data(), sizeof type);
            if (type == 0) data[0] = 1;  // keep it invalid
        }
        Client &sender = (random() % 8 == 0) ? unnamed : client;
        ASSERT_TRUE(sender.send(data.data(), size)) << "datagram " << i << ": " << std::strerror(errno);
    }
    ASSERT_TRUE(daemon.running());
    // Replies come in request order, so a reply to any of the junk would arrive first.
    EXPECT_EQ(client.ask(getpid()), 0);
    EXPECT_TRUE(client.nothingPending(20));
    EXPECT_EQ(daemon.err(), "");  // no traces without -d
}

TEST_F(PelkordTest, ClientThatNeverReadsDoesNotStallOthers) {
    ASSERT_NO_FATAL_FAILURE(serve("", {"-f"}));
    Client stalled(box, "stalled.sock"), other(box, "other.sock");
    // Far more replies than a socket queues; a blocking reply would stop the
    // daemon reading, and these sends would time out.
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(stalled.sendRequest(0, getpid())) << i << ": " << std::strerror(errno);
    int64_t id = other.ask(getpid());
    EXPECT_GE(id, -1);
    if (kSim) {
        EXPECT_EQ(id, -1);
    }
}

}  // namespace
