// The host-dependent choices of the launch command: where its scratch files
// go and how they are named, how launches are timed and where diagnostics
// are printed. Each host's rules are plain code over what it asks of the host
// (a host_source), so the Windows rules build and run in the tests of every
// system; _WIN32 selects the rules the module itself uses.
#pragma once

#include "paths.h"

#include <functional>
#include <string>

namespace platform {

// What the scratch rules ask of the host.
struct host_source {
    std::function<const char *(const char *)> getenv;  // null when unset
    // Windows _access: mode 0 exists, 6 readable and writable; true when granted.
    std::function<bool(const std::string &, int)> access;
    std::function<std::string()> cwd;  // "" when it cannot be read
    long long pid = 0;
    long long uid = 0;  // POSIX only
};

// One host's scratch set-up, as set_paths walks it.
struct scratch_rules {
    std::string first_dir;
    char separator = '/';
    std::function<std::string(int)> base_name;  // of try 0..9
    std::function<bool(const std::string &)> can_use_dir, can_use_file;
    std::function<std::string()> backup_dir;
};

#if !defined(_WIN32)
// Linux and macOS: "/tmp" (or `first`), then the current directory, names
// "<uid>_<pid>_<try>", "/".
scratch_rules posix_rules(const std::string &first = "/tmp");
#endif

namespace windows {
constexpr char separator = '\\';
// TEMP, else TMP, else "" (which no directory answers to).
std::string first_dir(const host_source &h);
// "<USERNAME with '_' for ' '>_<pid>_<try>", at most 499 characters; an
// unset USERNAME counts as "user".
std::string base_name(const host_source &h, int retry);
// Exists, then readable and writable together; a directory cmd.exe or nvcc
// would expand inside quotes is refused as unwritable.
bool can_use_dir(const host_source &h, const std::string &path);
// A file not there is usable, nothing is created; one that is, when it is
// readable and writable.
bool can_use_file(const host_source &h, const std::string &path);
// "cd "dir" & nvcc ...": cmd.exe's separator and quotes.
std::string compile_command(const path_t &paths);
// Microseconds from two performance-counter readings, in double, truncated.
int elapsed_us(long long start, long long end, long long frequency);
scratch_rules rules(const host_source &h);
}  // namespace windows

// Microseconds between two times of day, with the borrow of the microseconds.
long posix_elapsed_us(long start_s, long start_us, long end_s, long end_us);

// This host's rules and compile command.
scratch_rules host_rules();
std::string host_compile_command(const path_t &paths);

// Times the launches of the timing form with this host's clock.
class stopwatch {
public:
    stopwatch();
    long elapsed_us() const;

private:
    long long start_a_, start_b_;
};

}  // namespace platform
