// Requests per second through pelkord: one client, each request waiting for
// its reply. The slot is held by this process, so every request also runs the
// sweep of the full table before its -1 comes back.
#include "pelkord/harness.h"

#include <cstdio>

using namespace pelkord_test;

namespace {

double echoRoundTripsPerSecond(long count) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) return 0;
    pid_t echo = fork();
    if (echo == 0) {
        close(pair[0]);
        char buffer[8];
        while (recv(pair[1], buffer, sizeof buffer, 0) == ssize_t(sizeof buffer))
            send(pair[1], buffer, sizeof buffer, 0);
        _exit(0);
    }
    close(pair[1]);
    int32_t message[2] = {0, 0};
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        send(pair[0], message, sizeof message, 0);
        recv(pair[0], message, sizeof message, 0);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    close(pair[0]);
    kill(echo, SIGKILL);  // a datagram socket sees no end of file when its peer closes
    waitpid(echo, nullptr, 0);
    return count / seconds;
}

}  // namespace

int main(int argc, char **argv) {
    long requests = argc > 1 ? std::atol(argv[1]) : 200000;
    Sandbox box;
    std::string error;
    if (!box.setup(&error)) {
        std::fprintf(stderr, "sandbox: %s\n", error.c_str());
        return 1;
    }
    Daemon daemon;
    Daemon::Options options;
    options.args = {"-f"};
    options.env = {{"SIMDEV_DEVICES", "2.0"}};
    if (!daemon.start(box, options) || !daemon.waitReady()) {
        std::fprintf(stderr, "daemon did not start:\n%s%s", daemon.out().c_str(), daemon.err().c_str());
        return 1;
    }
    Client client(box, "bench.sock");
    if (client.ask(getpid()) != 0) {
        std::fprintf(stderr, "first request got no slot\n");
        return 1;
    }
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < requests; ++i) {
        if (client.ask(getpid()) != -1) {
            std::fprintf(stderr, "request %ld: unexpected reply\n", i);
            return 1;
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("pelkord: %ld requests in %.3f s, %.0f requests/s (one client, full table)\n",
                requests, seconds, requests / seconds);
    daemon.stop();

    // What the machine allows: the same round trip against a bare echo process.
    double echo = echoRoundTripsPerSecond(requests);
    if (echo > 0)
        std::printf("baseline: %.0f round trips/s against a bare datagram echo (daemon at %.0f%%)\n",
                    echo, 100.0 * (requests / seconds) / echo);
    return 0;
}
