#include "paths.h"

#include "host.h"
#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// Only the user and root can rename or remove what the user puts there: the
// directory is theirs, and writable by others only when sticky.
bool others_cannot_swap(const struct stat &st) {
    if (st.st_uid != geteuid() && st.st_uid != 0) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// Removes a private directory with the files in it (nvcc's leftovers after a
// failed compile); true when it is gone.
bool remove_work_dir(const std::string &dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    if (DIR *d = fdopendir(fd)) {
        while (const dirent *e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                unlinkat(dirfd(d), e->d_name, 0);
        closedir(d);
    } else {
        close(fd);
    }
    return rmdir(dir.c_str()) == 0 || errno == ENOENT;
}

// A new file of the user's alone, never one that was there before.
int create_private(const std::string &path) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

}  // namespace

bool can_use_dir(const std::string &path) {
    if (access(path.c_str(), F_OK) != 0) {
        pkr_diag(154, "can_use_dir", "Directory %s does not exist", path.c_str());
        return false;
    }
    if (!shell_safe_dir(path)) {
        pkr_diag(156, "can_use_dir",
                 "Directory %s cannot be used: its path holds $, `, \", \\ or a control character, "
                 "which the compiler's shell would expand",
                 path.c_str());
        return false;
    }
    struct stat st;
    if (access(path.c_str(), R_OK | W_OK) != 0 || stat(path.c_str(), &st) != 0) {
        pkr_diag(158, "can_use_dir", "Read/Write access denied to directory %s", path.c_str());
        return false;
    }
    if (!others_cannot_swap(st)) {
        pkr_diag(159, "can_use_dir",
                 "Directory %s cannot be used: other users can rename or remove files in it",
                 path.c_str());
        return false;
    }
    return true;
}

bool can_use_file(const std::string &path) {
    // Only a regular file, or none, is probed: a link would create its target,
    // and opening a FIFO would wait for a reader. The open is non-blocking in
    // case another user swaps one in after the look.
    struct stat st;
    const bool plain = lstat(path.c_str(), &st) == 0 ? S_ISREG(st.st_mode) : errno == ENOENT;
    int fd = plain ? open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                              O_CLOEXEC,
                          0600)
                   : -1;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
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

std::string work_cu(const path_t &paths) { return paths.work_dir + "/" + paths.base_name + ".cu"; }
std::string work_ptx(const path_t &paths) { return paths.work_dir + "/" + paths.base_name + ".ptx"; }

std::string compile_command(const path_t &paths) {
    const std::string dir = shell_quote(paths.work_dir);
    return "cd " + dir + " && TMPDIR=" + dir + " nvcc -D__x86_64__ -ptx -o " +
           shell_quote(work_ptx(paths)) + " " + shell_quote(work_cu(paths)) +
           " --ptxas-options=-v -arch=sm_75";
}

err_t compile(const char *source, path_t &paths) {
    const err_t write_failed = {346, file_knorlmex, "failed to write kernel to disk"};
    discard(paths);
    // Every file of the compile lies in a directory of the user's alone, made
    // afresh: no name in the shared scratch directory is written or read, and
    // no PTX from before can stand for a source that does not compile.
    std::string dir = paths.scratch_dir + "/" + paths.base_name + ".XXXXXX";
    if (!mkdtemp(&dir[0])) return err_set(write_failed.line, write_failed.file, write_failed.msg);
    paths.work_dir = dir;
    int fd = create_private(work_cu(paths));
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
    // nvcc truncates the PTX file it finds: made here, it is the user's alone.
    if (ok) {
        fd = create_private(work_ptx(paths));
        ok = fd >= 0 && close(fd) == 0;
    }
    if (!ok) {
        discard(paths);
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
    if (paths.work_dir.empty()) return false;
    int fd = open(work_ptx(paths).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    // An empty file is what nvcc found before it wrote anything.
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_size > 0;
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

err_t cleanup(path_t &paths) {
    if (paths.work_dir.empty() || unlink(work_cu(paths).c_str()) != 0 ||
        unlink(work_ptx(paths).c_str()) != 0 || !remove_work_dir(paths.work_dir))
        return err_set(391, file_knorlmex, "unable to cleanup");
    paths.work_dir.clear();
    return err_ok();
}

void discard(path_t &paths) {
    if (!paths.work_dir.empty() && remove_work_dir(paths.work_dir)) paths.work_dir.clear();
}
