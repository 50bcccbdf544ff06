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

// `text` as one word for a POSIX shell.
std::string shell_quote(const std::string &text);
// The POSIX shell's command (platform::host_compile_command picks this host's).
std::string compile_command(const path_t &paths);
// Writes the source to a fresh cu_file and has nvcc make ptx_file from it.
err_t compile(const char *source, const path_t &paths);
// The PTX text, if ptx_file is a regular file of the user's.
bool read_ptx(const path_t &paths, std::string &text);
// Removes both files.
err_t cleanup(const path_t &paths);
// Removes what is there of them, quietly (after a failed step).
void discard(const path_t &paths);
