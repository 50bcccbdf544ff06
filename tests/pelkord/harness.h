// Runs the pelkord binary for tests and benchmarks and talks to it over its
// socket.
//
// The daemon always binds pelkord.sock in the directory of tmpnam's names,
// and glibc's tmpnam uses /tmp whatever TMPDIR says. To let tests run in
// parallel without touching a daemon that may really be running, each test
// process moves into a mount namespace of its own (a user namespace too when
// it is not root) and bind-mounts a fresh directory over /tmp; the daemon it
// starts inherits that view. Where namespaces are not allowed there is no
// sandbox, and the tests skip: the real /tmp may hold a running daemon's socket.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pelkord_test {

inline bool writeFile(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return ok;
}

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A private /tmp for this process.
class Sandbox {
  public:
    Sandbox() = default;
    Sandbox(const Sandbox &) = delete;
    Sandbox &operator=(const Sandbox &) = delete;

    // False with the reason when there is no private /tmp; unavailable() then
    // tells whether this system allows none, rather than that something failed.
    bool setup(std::string *error) {
        char name[] = "/tmp/pelkord-test-XXXXXX";
        if (mkdtemp(name) == nullptr) return fail(error, "mkdtemp");
        hostDir_ = name;
        chmod(name, 01777);  // as /tmp itself, for a daemon run as another user
        if (!enterNamespace()) {
            unavailable_ = true;
            return fail(error, "no private /tmp here (mount namespaces are not allowed)");
        }
        if (!keepBuildTreeVisible()) return fail(error, "binding the build tree");
        if (mount(hostDir_.c_str(), "/tmp", nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return fail(error, "binding the private /tmp");
        mounted_ = true;
        dir = "/tmp";
        socketPath = "/tmp/pelkord.sock";
        // Orphaned daemons (the background child) come back to this process to be reaped.
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        return true;
    }

    ~Sandbox() {
        std::error_code ignored;
        if (mounted_) umount2("/tmp", MNT_DETACH);
        // Never delete through a bound build tree.
        for (const std::string &b : bound_)
            if (umount2(b.c_str(), MNT_DETACH) != 0 || rmdir(b.c_str()) != 0) hostDir_.clear();
        if (!hostDir_.empty()) std::filesystem::remove_all(hostDir_, ignored);
    }

    bool unavailable() const { return unavailable_; }

    std::string dir;         // where clients bind and daemon output goes
    std::string socketPath;  // the daemon's socket as this process sees it

  private:
    static bool fail(std::string *error, const char *what) {
        *error = std::string(what) + ": " + std::strerror(errno);
        return false;
    }

    // A build tree that lies under /tmp (a clone made there) must stay
    // reachable once the private directory covers /tmp: bind its top folder
    // into the private directory at the same place.
    bool keepBuildTreeVisible() {
        std::error_code ec;
        for (const std::filesystem::path &p :
             {std::filesystem::read_symlink("/proc/self/exe", ec), std::filesystem::current_path(ec)}) {
            auto it = p.begin();
            if (p.empty() || ++it == p.end() || *it != "tmp" || ++it == p.end()) continue;
            std::string top = "/tmp/" + it->string(), inside = hostDir_ + "/" + it->string();
            if (top == hostDir_ || std::filesystem::exists(inside)) continue;
            if (mkdir(inside.c_str(), 0755) != 0 ||
                mount(top.c_str(), inside.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
                return false;
            bound_.push_back(inside);
        }
        return true;
    }

    static bool enterNamespace() {
        if (unshare(CLONE_NEWNS) != 0) {
            uid_t uid = getuid();
            gid_t gid = getgid();
            if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
            writeFile("/proc/self/setgroups", "deny");
            if (!writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
                !writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1"))
                return false;
        }
        return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    }

    std::string hostDir_;
    bool mounted_ = false, unavailable_ = false;
    std::vector<std::string> bound_;
};

// One run of the daemon binary in a process group of its own, its standard
// output and error captured in files. Killed with its whole group on destruction.
class Daemon {
  public:
    struct Options {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> env;
        bool unprivileged = false;  // run as an ordinary user when this process is root
        bool forkLimit = false;     // make the daemon's fork fail (implies unprivileged)
    };

    Daemon() = default;
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;
    ~Daemon() { stop(); }

    bool start(const Sandbox &box, const Options &options) {
        stop();
        exitStatus_ = kStillRunning;
        outPath_ = box.dir + "/daemon" + std::to_string(runs_) + ".out";
        errPath_ = box.dir + "/daemon" + std::to_string(runs_) + ".err";
        ++runs_;
        std::vector<std::string> argv = {PELKORD_BIN};
        argv.insert(argv.end(), options.args.begin(), options.args.end());
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            setpgid(0, 0);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(126);
            int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0) _exit(126);
            dup2(out, 1);
            dup2(err, 2);
            for (const char *name : {"SIMDEV_DEVICES", "SIMDEV_INIT", "SIMDEV_FAULTS", "LD_PRELOAD"})
                unsetenv(name);
            for (const auto &[name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
            // Root is exempt from the process limit and may signal anyone.
            if ((options.unprivileged || options.forkLimit) && getuid() == 0 &&
                (setgid(65534) != 0 || setuid(65534) != 0))
                _exit(125);
            if (options.forkLimit) {
                rlimit one = {1, 1};
                if (setrlimit(RLIMIT_NPROC, &one) != 0) _exit(125);
            }
            std::vector<char *> raw;
            for (std::string &a : argv) raw.push_back(a.data());
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
        group_ = pid_;
        return true;
    }

    // Waits until standard output holds `text`; false when the daemon ended first or time ran out.
    bool waitForOutput(const std::string &text, int timeoutMs = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            // A daemon that forked lives on in its process group after the
            // started process returned.
            bool alive = running() || (group_ > 0 && kill(-group_, 0) == 0);
            if (out().find(text) != std::string::npos) return true;
            if (!alive || std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    bool waitReady() { return waitForOutput("Listening for client requests...\n\n"); }

    // Waits for the started process to end; its exit status, or -1 for a signal or a timeout.
    int waitExit(int timeoutMs = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (running()) {
            if (std::chrono::steady_clock::now() >= end) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return exitStatus_ == kStillRunning ? -1 : exitStatus_;
    }

    // True while the started process has not ended.
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == 0) return true;
        exitStatus_ = (r == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }

    void signal(int sig) {
        if (group_ > 0) kill(-group_, sig);
    }

    // Kills the daemon and everything it forked, and reaps them.
    void stop() {
        if (group_ <= 0) return;
        kill(-group_, SIGKILL);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) {
            pid_t r = waitpid(-group_, nullptr, WNOHANG);
            if (r < 0) break;  // none left
            if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        pid_ = group_ = -1;
    }

    std::string out() const { return readFile(outPath_); }
    std::string err() const { return readFile(errPath_); }

  private:
    static constexpr int kStillRunning = -2;
    pid_t pid_ = -1, group_ = -1;
    int exitStatus_ = kStillRunning;
    int runs_ = 0;
    std::string outPath_, errPath_;
};

constexpr int64_t kNoReply = -1000;   // nothing arrived in time
constexpr int64_t kBadReply = -2000;  // something that is not an 8-byte reply with 1 first

// A client socket bound to a name in the sandbox (or unnamed), sending to the daemon.
class Client {
  public:
    Client(const Sandbox &box, const std::string &name) : daemon_(box.socketPath) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (!name.empty()) {
            path = box.dir + "/" + name;
            unlink(path.c_str());
            sockaddr_un a = address(path);
            if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
                close(fd_);
                fd_ = -1;
            }
            chmod(path.c_str(), 0666);  // an unprivileged daemon must be able to reply
        }
        // A daemon that stops reading shows up as a failed send, not a hung test.
        timeval sendLimit = {10, 0};
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        timeval receiveLimit = {kDefaultWaitMs / 1000, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &receiveLimit, sizeof receiveLimit);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;
    ~Client() {
        if (fd_ >= 0) close(fd_);
        if (!path.empty()) unlink(path.c_str());
    }

    bool valid() const { return fd_ >= 0; }

    bool send(const void *data, size_t size) {
        sockaddr_un a = address(daemon_);
        return sendto(fd_, data, size, 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
               ssize_t(size);
    }

    bool sendRequest(int32_t type, int32_t pid) {
        int32_t pkt[2] = {type, pid};
        return send(pkt, sizeof pkt);
    }

    static constexpr int kDefaultWaitMs = 5000;

    // The worker id of the next reply, or kNoReply / kBadReply.
    int64_t receiveId(int timeoutMs = kDefaultWaitMs) {
        // The socket's own receive timeout covers the usual wait in one call.
        int flags = 0;
        if (timeoutMs != kDefaultWaitMs) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) != 1) return kNoReply;
            flags = MSG_DONTWAIT;
        }
        char buffer[64];
        ssize_t n = recv(fd_, buffer, sizeof buffer, flags);
        if (n < 0) return kNoReply;
        int32_t reply[2];
        if (n != ssize_t(sizeof reply)) return kBadReply;
        std::memcpy(reply, buffer, sizeof reply);
        return reply[0] == 1 ? reply[1] : kBadReply;
    }

    // Asks for a worker id for `pid` and waits for the answer.
    int64_t ask(int32_t pid, int timeoutMs = kDefaultWaitMs) {
        if (!sendRequest(0, pid)) return kNoReply;
        return receiveId(timeoutMs);
    }

    // True when no datagram is waiting (after `waitMs`).
    bool nothingPending(int waitMs = 0) {
        pollfd p = {fd_, POLLIN, 0};
        return poll(&p, 1, waitMs) == 0;
    }

    std::string path;  // empty for an unnamed client

  private:
    // A name of the full 108 bytes goes without a terminating zero.
    static sockaddr_un address(const std::string &p) {
        sockaddr_un a;
        std::memset(&a, 0, sizeof a);
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, p.data(), std::min(p.size(), sizeof a.sun_path));
        return a;
    }

    std::string daemon_;
    int fd_ = -1;
};

// A process that exists until it is ended.
inline pid_t startSleeper() {
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;) pause();
    }
    return pid;
}

inline void endProcess(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The id of a process that has already ended.
inline pid_t vanishedPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

}  // namespace pelkord_test
