// Scratch directory and file names of the launch command, and compiling a
// kernel's source to PTX there through the host's shell escape.
#pragma once

#include "err.h"

#include <string>

struct path_t {
    std::string cu_file;   // scratch_dir + separator + base_name + ".cu"
    std::string ptx_file;  // scratch_dir + separator + base_name + ".ptx"
    std::string scratch_dir;
    std::string base_name;  // "<user id>_<process id>_<try>" (Windows: user name for the id)
    // The private directory (0700, made afresh in scratch_dir) that one
    // compile works in; it holds base_name + ".cu" and ".ptx" and nvcc's own
    // temporary files. Empty between compiles.
    std::string work_dir;
};

namespace platform {
struct scratch_rules;
}

// Chooses the scratch directory (the rules' first, else their backup
// directory) and the first of ten names that the user can use there.
err_t set_paths(path_t &paths, const platform::scratch_rules &rules);
// The same with this system's POSIX rules, `first` tried first.
err_t set_paths(path_t &paths, const std::string &first = "/tmp");
// They print their own diagnostics.
bool can_use_dir(const std::string &path);
bool can_use_file(const std::string &path);
std::string backup_tmp_dir();

// The source and PTX files of the compile in progress, in work_dir.
std::string work_cu(const path_t &paths);
std::string work_ptx(const path_t &paths);

// `text` as one word for a POSIX shell.
std::string shell_quote(const std::string &text);
// The POSIX shell's command (platform::host_compile_command picks this host's):
// nvcc runs in work_dir, with its temporary files there too.
std::string compile_command(const path_t &paths);
// Makes a fresh work_dir, writes the source to its .cu file and has nvcc make
// its .ptx file from it. Nothing it writes or reads lies under a name that
// another user could take first.
err_t compile(const char *source, path_t &paths);
// The PTX text, if the work_dir's .ptx is a regular file of the user's.
bool read_ptx(const path_t &paths, std::string &text);
// Removes both files, then work_dir.
err_t cleanup(path_t &paths);
// Removes work_dir with whatever is in it, quietly (after a failed step).
void discard(path_t &paths);
