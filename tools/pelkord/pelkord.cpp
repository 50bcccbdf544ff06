// pelkord: hands out worker ids, one per usable GPU, to the client processes
// of this machine over a local datagram socket. A slot stays with its client
// until the client's process is gone and another client finds every slot taken.
#include "device/device.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct WorkerSlot {
    unsigned char inUse;  // 1 = assigned, anything else = free
    int32_t pid;          // client holding the slot
};

// Request and reply keep 32-bit fields on every host, so 32- and 64-bit
// clients and daemons understand each other.
struct pkt_t {
    int32_t type;  // 0 = request a worker id
    int32_t pid;
};
static_assert(sizeof(pkt_t) == 8, "request datagram is 8 bytes");

struct reply_t {
    int32_t one;  // always 1
    int32_t id;   // worker id, -1 when no slot is free
};
static_assert(sizeof(reply_t) == 8, "reply datagram is 8 bytes");

// Clients and older builds bind with the whole address, family plus 108 bytes.
static_assert(sizeof(sockaddr_un) == 110, "local socket address is 110 bytes");

WorkerSlot *workers = nullptr;
int workerCount = 0;
unsigned char debug = 0;

const char socketName[] = "pelkord.sock";

const char driverHelp[] =
    "The GPU driver could not initialize properly. The most common cause of this is a missing "
    "CUDA driver. To test this assumption, please install the latest CUDA drivers from "
    "the GPU vendor's driver download page"
    ". This problem is also caused by attempting to run Pelkor over Windows' Remote Desktop. To "
    "run Pelkor over remotely in Windows, please use a non-RDP solution such as TightVNC"
    " (see the tool's project web site).";

// Standard error is flushed at every trace point, whether or not it traces,
// so that a supervisor reading it sees each line as it happens.
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trace(const char *format, ...) {
    if (debug) {
        va_list args;
        va_start(args, format);
        std::vfprintf(stderr, format, args);
        va_end(args);
    }
    std::fflush(stderr);
}

void signalhandler(int) {}

// The socket lives next to the system's temporary file names.
char *getHostSocketName() {
    const char *name = std::tmpnam(nullptr);
    if (name == nullptr) return nullptr;
    const char *slash = std::strrchr(name, '/');
    if (slash == nullptr) return nullptr;
    size_t dirLength = size_t(slash - name) + 1;
    char *path = static_cast<char *>(std::malloc(dirLength + sizeof socketName));
    if (path == nullptr) return nullptr;
    std::memcpy(path, name, dirLength);
    std::memcpy(path + dirLength, socketName, sizeof socketName);
    return path;
}

// Number of devices with a major compute capability above 0, or -1.
int getGpuCount() {
    if (dev::drv_init(0) != dev::ok) {
        std::fputs(driverHelp, stdout);
        return -1;
    }
    int count = 0;
    if (dev::drv_device_count(&count) != dev::ok) {
        std::printf("Unable to detect number of CUDA devices.  Aborting.\n");
        return -1;
    }
    int usable = 0;
    for (int ordinal = 0; ordinal < count; ++ordinal) {
        dev::drv_device device = 0;
        int major = 0, minor = 0;
        if (dev::drv_device_get(&device, ordinal) != dev::ok ||
            dev::drv_compute_capability(&major, &minor, device) != dev::ok) {
            std::printf("Unable to get information about device #%d.  Aborting.\n", ordinal);
            return -1;
        }
        if (major > 0) ++usable;
    }
    return usable;
}

int findFreeSlot() {
    for (int i = 0; i < workerCount; ++i)
        if (workers[i].inUse != 1) return i;
    return -1;
}

// True when the reply went out.
bool sendClientReply(int sock, const sockaddr_un *client, socklen_t clientLength, int32_t pid,
                     int32_t id) {
    trace("Assigning client %d to worker id %d.\n", int(pid), int(id));
    reply_t reply = {1, id};
    // Never wait for a client that does not read its replies: one stalled
    // client must not stop the daemon from serving everyone else.
    if (sendto(sock, &reply, sizeof reply, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(client),
               clientLength) == ssize_t(sizeof reply))
        return true;
    const int error = errno;
    trace("Unable to send the reply to client %d: %s.\n", int(pid), std::strerror(error));
    return false;
}

void handleClientRequest(int sock, const char *data, const sockaddr_un *client,
                         socklen_t clientLength) {
    pkt_t pkt;
    std::memcpy(&pkt, data, sizeof pkt);
    // No process has an id of 0 or below, and kill() with one always finds a
    // target: such a slot would never be swept.
    if (pkt.type != 0 || pkt.pid <= 0) return;

    int slot = findFreeSlot();
    if (slot < 0) {
        trace("No free slot.  Checking for stale clients.\n");
        // Free slots are tested too; their pid 0 always passes the check.
        for (int i = 0; i < workerCount; ++i) {
            if (kill(workers[i].pid, 0) == -1 && errno == ESRCH) {
                trace("Booting stale pid %d\n", int(workers[i].pid));
                workers[i].pid = 0;
                workers[i].inUse = 0;
            }
        }
        slot = findFreeSlot();
    }

    if (slot >= 0) {
        trace("Found an available slot at %d\n", slot);
        // Assigned only once the client has been told: an id nobody knows of
        // would be lost until the client's process ended.
        if (sendClientReply(sock, client, clientLength, pkt.pid, slot)) {
            workers[slot].pid = pkt.pid;
            workers[slot].inUse = 1;
        } else {
            trace("Worker id %d stays free.\n", slot);
        }
    } else {
        trace("No available slots found.  Denying the client a worker id.\n");
        sendClientReply(sock, client, clientLength, pkt.pid, -1);
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::printf("\nPelkor Distributed Client Daemon\n");

    bool foreground = false;
    int option;
    while ((option = getopt(argc, argv, "fd")) != -1) {
        switch (option) {
        case 'f':
            foreground = true;
            break;
        case 'd':
            debug = 1;
            break;
        default:
            std::printf("Invalid option '%c' specified.\n", option);
            return -1;
        }
    }

    std::unique_ptr<char, void (*)(void *)> socketPathOwner(getHostSocketName(), std::free);
    char *socketPath = socketPathOwner.get();
    if (socketPath == nullptr) {
        std::fprintf(stderr, "Unable to determine temporary directory.\n");
        return -1;
    }
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    // Refused before the fork, so the caller sees the failure in the exit status.
    size_t pathLength = std::strlen(socketPath);
    if (pathLength >= sizeof address.sun_path) {
        std::fprintf(stderr, "Socket path %s is too long: %zu bytes, at most %zu allowed.\n",
                     socketPath, pathLength, sizeof address.sun_path - 1);
        return -1;
    }

    int count = getGpuCount();
    if (count == -1) {
        std::fflush(stdout);
        std::fprintf(stderr, "No CUDA capable cards found.  Exitting.\n");
        return -1;
    }
    std::printf("%d CUDA capable cards found.\n", count);
    // One entry at least, so that a table of 0 slots is not mistaken for a failed allocation.
    workers = static_cast<WorkerSlot *>(std::calloc(count > 0 ? size_t(count) : 1, sizeof *workers));
    if (workers == nullptr) {
        std::fprintf(stderr, "Unable to allocate the worker table.\n");
        return -1;
    }
    workerCount = count;

    if (!foreground) {
        // Otherwise parent and child would both write the buffered start-up lines.
        std::fflush(stdout);
        pid_t child = fork();
        if (child == -1) {
            // Nobody would serve: that is a failure, not a successful start.
            std::perror("Unable to start the background process");
            return -1;
        }
        if (child > 0) return 0;
    }

    signal(SIGHUP, signalhandler);
    signal(SIGPIPE, signalhandler);

    int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (sock == -1) {
        std::perror("Unable to write to home directory:");
        return -1;
    }

    unlink(socketPath);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath, pathLength + 1);
    if (bind(sock, reinterpret_cast<const sockaddr *>(&address), sizeof address) == -1) {
        int error = errno;
        close(sock);
        errno = error;
        std::perror("Unable to bind in home directory:");
        return -1;
    }

    std::printf("Listening for client requests...\n\n");
    std::fflush(stdout);

    char buffer[1024];
    for (;;) {
        sockaddr_un client;
        socklen_t clientLength = sizeof client;
        ssize_t received = recvfrom(sock, buffer, sizeof buffer, 0,
                                    reinterpret_cast<sockaddr *>(&client), &clientLength);
        if (debug) {
            // Only the bytes the kernel filled in: an unnamed sender has none,
            // and a full 108-byte name has no terminating zero.
            size_t nameOffset = offsetof(sockaddr_un, sun_path);
            size_t nameLength = 0;
            if (received >= 0 && clientLength > nameOffset)
                nameLength = clientLength - nameOffset;
            if (nameLength > sizeof client.sun_path) nameLength = sizeof client.sun_path;
            std::fprintf(stderr, "Client path is %.*s\n", int(nameLength), client.sun_path);
        }
        trace("Received a client request.\n");
        // A sender's name of the full 108 bytes comes with a length that counts
        // a terminating zero beyond the address object; sendto refuses that.
        if (clientLength > sizeof client) clientLength = sizeof client;
        if (received == ssize_t(sizeof(pkt_t)))
            handleClientRequest(sock, buffer, &client, clientLength);
        else
            trace("Unexpected size %d received. Expected %zu\n", int(received), sizeof(pkt_t));
    }
}
