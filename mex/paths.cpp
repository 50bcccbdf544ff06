#include "paths.h"

#include "host.h"
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

namespace {

const char *const file_knorlmex = "knorlmex";
int retry_ctr = 0;

// nvcc runs $(...) and backquotes found in the path of its working directory,
// however its arguments are quoted; such a directory cannot be used.
bool shell_safe_dir(const std::string &path) {
    for (unsigned char c : path)
        if (c == '$' || c == '`' || c == '"' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    return true;
}

// Removes `path`; true when it is gone (or never was).
bool remove_file(const std::string &path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace

bool can_use_dir(const std::string &path) {
    if (access(path.c_str(), F_OK) != 0) {
        pkr_diag(154, "can_use_dir", "Directory %s does not exist", path.c_str());
        return false;
    }
    if (shell_safe_dir(path) && access(path.c_str(), R_OK | W_OK) == 0) return true;
    pkr_diag(158, "can_use_dir", "Read/Write access denied to directory %s", path.c_str());
    return false;
}

bool can_use_file(const std::string &path) {
    // Not through a link planted under the name: that would create its target.
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        pkr_diag(171, "can_use_file", "Write access denied to file %s", path.c_str());
        return false;
    }
    close(fd);
    if (access(path.c_str(), R_OK) != 0) {
        pkr_diag(178, "can_use_file", "Read access denied to file %s", path.c_str());
        return false;
    }
    // A name that cannot be removed is held by someone else (a sticky directory).
    if (unlink(path.c_str()) != 0) {
        pkr_diag(180, "can_use_file", "Unable to remove file %s", path.c_str());
        return false;
    }
    return true;
}

std::string backup_tmp_dir() {
    char buffer[1000];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

err_t set_paths(path_t &paths, const platform::scratch_rules &rules) {
    std::string d = rules.first_dir;
    if (!rules.can_use_dir(d)) {
        d = rules.backup_dir();
        if (!rules.can_use_dir(d)) {
            pkr_diag(253, "set_paths",
                     "Neither of the above paths have read and write access for the current "
                     "user. Therefore, the compile-on-demand capabilities of Pelkor cannot "
                     "function. Please enable read and write access to one of the above "
                     "directories.");
            return err_set(254, file_knorlmex, "No scratch directory for compilation available");
        }
        pkr_diag(257, "set_paths", "Warning: Falling back to %s for compile.", d.c_str());
    }
    for (retry_ctr = 0;; ++retry_ctr) {
        if (retry_ctr > 9)
            return err_set(280, file_knorlmex,
                           "You do not have permission to read or write any of the above files. "
                           "Therefore, the compile-on-demand features of Pelkor cannot function. "
                           "Please delete these files or change their read/write permissions to "
                           "continue.");
        paths.base_name = rules.base_name(retry_ctr);
        paths.cu_file = d + rules.separator + paths.base_name + ".cu";
        paths.ptx_file = d + rules.separator + paths.base_name + ".ptx";
        if (rules.can_use_file(paths.cu_file) && rules.can_use_file(paths.ptx_file)) break;
        paths.base_name.clear();
    }
    paths.scratch_dir = d;
    return err_ok();
}

err_t set_paths(path_t &paths, const std::string &first) {
    return set_paths(paths, platform::posix_rules(first));
}

std::string shell_quote(const std::string &text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string compile_command(const path_t &paths) {
    return "cd " + shell_quote(paths.scratch_dir) + " && nvcc -D__x86_64__ -ptx -o " +
           shell_quote(paths.ptx_file) + " " + shell_quote(paths.cu_file) +
           " --ptxas-options=-v -arch=sm_75";
}

err_t compile(const char *source, const path_t &paths) {
    const err_t write_failed = {346, file_knorlmex, "failed to write kernel to disk"};
    // A PTX file left from before would otherwise stand for a source that
    // does not compile.
    if (!remove_file(paths.ptx_file) || !remove_file(paths.cu_file))
        return err_set(write_failed.line, write_failed.file, write_failed.msg);
    // Exclusive and owner-only: never into a file someone else put there.
    int fd =
        open(paths.cu_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0;
    for (size_t left = ok ? std::char_traits<char>::length(source) : 0; ok && left > 0;) {
        ssize_t n = write(fd, source, left);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            source += n;
            left -= size_t(n);
        }
    }
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok) {
        if (fd >= 0) remove_file(paths.cu_file);
        return err_set(write_failed.line, write_failed.file, write_failed.msg);
    }
    if (host_shell(platform::host_compile_command(paths).c_str()) != 0)
        return err_set(382, file_knorlmex,
                       "compilation failed, check that 'nvcc' is in your PATH. If running "
                       "Fedora 10 on a 64 bit installation, a common cause of this is missing 32 "
                       "bit headers. Make sure the package glibc-devel.i386 is installed. (sudo "
                       "yum install glibc-devel.i386).");
    return err_ok();
}

bool read_ptx(const path_t &paths, std::string &text) {
    int fd = open(paths.ptx_file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
    std::vector<char> buffer(ok ? size_t(st.st_size) + 1 : 0, 0);
    for (size_t got = 0; ok && got + 1 < buffer.size();) {
        ssize_t n = read(fd, buffer.data() + got, buffer.size() - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) got += size_t(n);
    }
    close(fd);
    if (ok) text.assign(buffer.data());
    return ok;
}

err_t cleanup(const path_t &paths) {
    if (unlink(paths.cu_file.c_str()) != 0 || unlink(paths.ptx_file.c_str()) != 0)
        return err_set(391, file_knorlmex, "unable to cleanup");
    return err_ok();
}

void discard(const path_t &paths) {
    remove_file(paths.cu_file);
    remove_file(paths.ptx_file);
}
