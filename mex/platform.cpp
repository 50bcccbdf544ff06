#include "platform.h"

#include "err.h"

#include <cstdlib>

#if defined(_WIN32)
#include <direct.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <sys/time.h>
#include <unistd.h>
#endif

namespace platform {

#if !defined(_WIN32)
scratch_rules posix_rules(const std::string &first) {
    scratch_rules r;
    r.first_dir = first;
    r.separator = '/';
    const std::string owner = std::to_string(getuid()) + "_" + std::to_string(getpid()) + "_";
    r.base_name = [owner](int retry) { return owner + std::to_string(retry); };
    r.can_use_dir = ::can_use_dir;
    r.can_use_file = ::can_use_file;
    r.backup_dir = backup_tmp_dir;
    return r;
}
#endif

namespace windows {

namespace {

// Inside double quotes cmd.exe still expands %...% and !...!, and nvcc runs
// $(...) and backquotes of its working directory's path.
bool shell_safe_dir(const std::string &path) {
    for (unsigned char c : path)
        if (c == '"' || c == '%' || c == '!' || c == '$' || c == '`' || c < 0x20 || c == 0x7f)
            return false;
    return true;
}

std::string quoted(const std::string &path) { return "\"" + path + "\""; }

}  // namespace

std::string first_dir(const host_source &h) {
    for (const char *name : {"TEMP", "TMP"})
        if (const char *v = h.getenv(name)) return v;
    return "";
}

std::string base_name(const host_source &h, int retry) {
    const char *user = h.getenv("USERNAME");
    std::string name = user ? user : "user";
    for (char &c : name)
        if (c == ' ') c = '_';
    name += "_" + std::to_string(h.pid) + "_" + std::to_string(retry);
    if (name.size() > 499) name.resize(499);
    return name;
}

bool can_use_dir(const host_source &h, const std::string &path) {
    if (!h.access(path, 0)) {
        pkr_diag(91, "can_use_dir", "Directory %s does not exist", path.c_str());
        return false;
    }
    if (!shell_safe_dir(path)) {
        pkr_diag(93, "can_use_dir",
                 "Directory %s cannot be used: its path holds \", %%, !, $, ` or a control "
                 "character, which cmd.exe or the compiler would expand",
                 path.c_str());
        return false;
    }
    if (h.access(path, 6)) return true;
    pkr_diag(95, "can_use_dir", "Read/Write access denied to directory %s", path.c_str());
    return false;
}

bool can_use_file(const host_source &h, const std::string &path) {
    if (!h.access(path, 0) || h.access(path, 6)) return true;
    pkr_diag(111, "can_use_file", "Read/Write access denied to file %s", path.c_str());
    return false;
}

std::string compile_command(const path_t &paths) {
    return "cd " + quoted(paths.scratch_dir) + " & nvcc -D__x86_64__ -ptx -o " +
           quoted(paths.ptx_file) + " " + quoted(paths.cu_file) +
           " --ptxas-options=-v -arch=sm_75";
}

int elapsed_us(long long start, long long end, long long frequency) {
    return static_cast<int>(static_cast<double>(end - start) / static_cast<double>(frequency) *
                            1000000.0);
}

scratch_rules rules(const host_source &h) {
    scratch_rules r;
    r.first_dir = first_dir(h);
    r.separator = separator;
    r.base_name = [h](int retry) { return base_name(h, retry); };
    r.can_use_dir = [h](const std::string &p) { return can_use_dir(h, p); };
    r.can_use_file = [h](const std::string &p) { return can_use_file(h, p); };
    r.backup_dir = h.cwd;
    return r;
}

}  // namespace windows

long posix_elapsed_us(long start_s, long start_us, long end_s, long end_us) {
    long seconds = end_s - start_s, micros = end_us - start_us;
    if (micros < 0) {
        --seconds;
        micros += 1000000;
    }
    return seconds * 1000000 + micros;
}

#if defined(_WIN32)

namespace {

host_source windows_host() {
    host_source h;
    h.getenv = [](const char *name) -> const char * { return std::getenv(name); };
    h.access = [](const std::string &path, int mode) { return _access(path.c_str(), mode) == 0; };
    h.cwd = [] {
        char *d = _getcwd(nullptr, 0);
        std::string r = d ? d : "";
        std::free(d);
        return r;
    };
    h.pid = _getpid();
    return h;
}

long long counter() {
    LARGE_INTEGER v;
    QueryPerformanceCounter(&v);
    return v.QuadPart;
}

}  // namespace

scratch_rules host_rules() { return windows::rules(windows_host()); }
std::string host_compile_command(const path_t &paths) { return windows::compile_command(paths); }

stopwatch::stopwatch() : start_a_(counter()), start_b_(0) {}

long stopwatch::elapsed_us() const {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return windows::elapsed_us(start_a_, counter(), f.QuadPart);
}

#else

scratch_rules host_rules() { return posix_rules(); }
std::string host_compile_command(const path_t &paths) { return compile_command(paths); }

stopwatch::stopwatch() {
    timeval t;
    gettimeofday(&t, nullptr);
    start_a_ = t.tv_sec;
    start_b_ = t.tv_usec;
}

long stopwatch::elapsed_us() const {
    timeval t;
    gettimeofday(&t, nullptr);
    return posix_elapsed_us(long(start_a_), long(start_b_), t.tv_sec, t.tv_usec);
}

#endif

}  // namespace platform
