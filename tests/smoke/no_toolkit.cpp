// Started on a machine with a GPU driver (or none) but without the CUDA
// toolkit, the daemon and the probe must start: they need nothing but the
// driver, which they load at run time. In a private mount namespace the
// directories of the toolkit's libraries are covered with an empty one (and
// /tmp with a private one, for the daemon's socket); a program that does need
// the toolkit shows that they are out of reach. Exit status 77: not possible here.
#include "pelkord/harness.h"

#include <climits>
#include <cstdio>
#include <set>

using namespace pelkord_test;

namespace {

constexpr int kSkip = 77;
int failures = 0;

void expect(bool ok, const std::string &what, const std::string &detail = "") {
    std::printf("%-4s %s\n", ok ? "ok" : "FAIL", what.c_str());
    if (!ok) {
        if (!detail.empty()) std::printf("%s\n", detail.c_str());
        ++failures;
    }
}

std::vector<std::string> split(const std::string &list) {
    std::vector<std::string> out;
    std::stringstream s(list);
    for (std::string item; std::getline(s, item, '|');)
        if (!item.empty()) out.push_back(item);
    return out;
}

// Runs `path` to its end; its exit status (-1 for a signal) and standard error.
int run(const std::string &path, std::string *err) {
    char name[] = "/tmp/run-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        execl(path.c_str(), path.c_str(), static_cast<char *>(nullptr));
        _exit(126);
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    *err = readFile(name);
    unlink(name);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main() {
    Sandbox box;
    std::string error;
    if (!box.setup(&error)) {
        std::printf("%s\n", error.c_str());
        return box.unavailable() ? kSkip : 1;
    }

    // The real directories that hold the toolkit's libraries. One that also
    // holds the C library is the system's own and cannot be covered.
    std::set<std::string> dirs;
    for (const std::string &lib : split(TOOLKIT_LIBRARIES)) {
        char real[PATH_MAX];
        if (!realpath(lib.c_str(), real)) continue;
        std::string dir = std::filesystem::path(real).parent_path();
        if (std::filesystem::exists(dir + "/libc.so.6")) {
            std::printf("the toolkit's libraries lie in the system's %s\n", dir.c_str());
            return kSkip;
        }
        dirs.insert(dir);
    }
    const std::string empty = box.dir + "/empty";
    if (mkdir(empty.c_str(), 0755) != 0) return 1;
    for (const std::string &dir : dirs) {
        if (mount(empty.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            std::printf("cannot cover %s: %s\n", dir.c_str(), std::strerror(errno));
            return 1;
        }
        std::printf("covered %s\n", dir.c_str());
    }

    std::string out;
    int status = run(NEEDS_TOOLKIT_BIN, &out);
    expect(status == 127, "a program linked with the toolkit cannot start (status " +
                              std::to_string(status) + ")", out);

    Daemon daemon;
    Daemon::Options options;
    options.args = {"-f"};
    if (!daemon.start(box, options)) return 1;
    const std::string help = "The GPU driver could not initialize properly.";
    if (daemon.waitForOutput("CUDA capable cards found.\n", 10000) ||
        daemon.waitForOutput(help, 10)) {
        const bool serving = daemon.waitReady();
        status = serving ? 0 : daemon.waitExit();
        // With a driver it serves; without one it says so and ends with 255.
        expect(serving || status == 255,
               std::string("pelkord starts: ") + (serving ? "serving" : "no driver, status 255"),
               daemon.out() + daemon.err());
    } else {
        status = daemon.waitExit();
        expect(false, "pelkord starts (status " + std::to_string(status) + ")",
               daemon.out() + daemon.err());
    }
    daemon.stop();

    // The probe reads the driver's property list: 0 where it finds one, 1 where not.
    status = run(DRVPROBE_BIN, &out);
    expect(status == 0 || status == 1, "drvprobe starts (status " + std::to_string(status) + ")",
           out);

    std::printf("%s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
