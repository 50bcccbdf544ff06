// The launch command's parts against the fake host and the engine stand-in:
// the kernel parameter block, the launch sizes, the text tables, the retry
// rule and the scratch files.
#include "params.h"
#include "paths.h"
#include "platform.h"
#include "retry.h"
#include "support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <map>

// The SDK runtime calls the module's entry; these tests call its parts.
err_t pkrFunction(int, mxArray *[], int, const mxArray *[]) { return err_ok(); }

namespace {

using mextest::HostTest;

mxArray *doubles(std::vector<double> v) {
    mxArray *a = fake::matrix(1, v.size(), mxDOUBLE_CLASS);
    for (size_t i = 0; i < v.size(); ++i) static_cast<double *>(mxGetData(a))[i] = v[i];
    return a;
}

mxArray *shaped(std::vector<mwSize> dims) {
    return mxCreateNumericArray(dims.size(), dims.data(), mxSINGLE_CLASS, mxREAL);
}

void expect_dim3(dim3 d, unsigned x, unsigned y, unsigned z, const std::string &what) {
    EXPECT_EQ(d.x, x) << what;
    EXPECT_EQ(d.y, y) << what;
    EXPECT_EQ(d.z, z) << what;
}

struct LaunchArgs : HostTest {};

TEST_F(LaunchArgs, ParameterBlockFollowsTheKernelAbi) {
    mxArray *s = doubles({3.5});
    mxArray *a = shaped({4, 5});
    mxArray *one_gpu = mextest::gpu(mextest::counting(1, 1, mxSINGLE_CLASS));
    mxArray *one_data = shaped({1, 1});
    struct row {
        std::vector<const mxArray *> args;
        std::vector<size_t> offsets;
        size_t bytes;
        const char *signature;
    };
    const std::vector<row> rows = {
        {{}, {}, 0, "kernel_main()"},
        {{s, a}, {0, 8}, 28, "kernel_main(float,float *, dim3)"},
        {{a, s}, {0, 20}, 24, "kernel_main(float *, dim3,float)"},
        {{s, s, a, a}, {0, 4, 8, 32}, 52, "kernel_main(float,float,float *, dim3,float *, dim3)"},
        {{s, s, s}, {0, 4, 8}, 12, "kernel_main(float,float,float)"},
        // One element: a value unless it is a GPU array.
        {{one_data, one_gpu}, {0, 8}, 28, "kernel_main(float,float *, dim3)"},
    };
    for (const row &r : rows) {
        std::vector<param_slot> slots;
        const int n = int(r.args.size());
        EXPECT_EQ(param_layout(n, r.args.data(), &slots), r.bytes) << r.signature;
        EXPECT_EQ(kernel_signature(n, r.args.data()), r.signature);
        ASSERT_EQ(slots.size(), r.offsets.size()) << r.signature;
        for (size_t i = 0; i < slots.size(); ++i) {
            EXPECT_EQ(slots[i].offset, r.offsets[i]) << r.signature << " #" << i;
            EXPECT_EQ(slots[i].scalar, knorl_scalar_arg(r.args[i])) << r.signature << " #" << i;
        }
    }
}

TEST_F(LaunchArgs, SizesConvertThroughA64BitInteger) {
    const double nan = std::nan(""), inf = HUGE_VAL;
    const uint32_t max32 = std::numeric_limits<uint32_t>::max();
    const size_t max_size = std::numeric_limits<size_t>::max();
    struct row {
        double v;
        uint32_t u32;
        size_t bytes;
    };
    const std::vector<row> rows = {
        {0, 0, 0},
        {3.9, 3, 3},
        {65535, 65535, 65535},
        {nan, 0, 0},
        {-1, max32, max_size},
        {-0.5, 0, 0},
        {0x1p32, max32, size_t(1) << 32},
        {0x1p40, max32, size_t(1) << 40},
        {inf, max32, size_t(INT64_MAX)},
        {-inf, max32, max_size},
        {1e300, max32, size_t(INT64_MAX)},
    };
    for (const row &r : rows) {
        EXPECT_EQ(size_to_u32(r.v), r.u32) << r.v;
        EXPECT_EQ(size_to_bytes(r.v), r.bytes) << r.v;
    }
}

TEST_F(LaunchArgs, DimensionRules) {
    expect_dim3(m_to_dim3(doubles({})), 1, 1, 1, "empty");
    expect_dim3(m_to_dim3(doubles({16})), 16, 1, 1, "one value");
    expect_dim3(m_to_dim3(doubles({4, 2})), 4, 2, 1, "two values");
    expect_dim3(m_to_dim3(doubles({4, 2, 7})), 4, 2, 7, "three values");
    expect_dim3(m_to_dim3(doubles({4, 2, 7, 3})), 1, 1, 1, "four values");
    expect_dim3(m_to_dim3(doubles({-1, NAN, 2.5})), 0xffffffffu, 0, 2, "converted values");
    expect_dim3(size_to_dim3(shaped({4, 5})), 4, 5, 1, "2-D");
    expect_dim3(size_to_dim3(shaped({4, 5, 6})), 4, 5, 6, "3-D");
    expect_dim3(size_to_dim3(shaped({4, 5, 6, 7})), 1, 1, 1, "4-D");
    expect_dim3(size_to_dim3(mextest::gpu(mextest::counting(3, 2, mxSINGLE_CLASS))), 3, 2, 1,
                "GPU array");
}

TEST(LaunchTexts, DriverAndCufftTables) {
    const std::vector<std::pair<int, const char *>> driver = {
        {0, "unknown"},
        {1, "invalid value"},
        {2, "out of memory"},
        {4, "deinitialized"},
        {5, "unknown"},
        {100, "no device"},
        {202, "context already current"},
        {209, "no binary for this GPU"},
        {211, "not mapped"},
        {212, "unknown"},
        {301, "file not found"},
        {400, "invalid handle"},
        {500, "not found"},
        {600, "not ready"},
        {700, "launch failed"},
        {703, "bad texturing"},
        {719, "unknown"},
        {999, "unknown"},
        {-1, "unknown"},
    };
    for (auto &d : driver) EXPECT_STREQ(pkr_cu_error_string(d.first), d.second) << d.first;
    const char *cufft[] = {"unknown",       "invalid plan",   "allocation failed", "invalid type",
                           "invalid value", "internal error", "execution failed",  "setup failed",
                           "invalid size",  "unknown"};
    for (int code = 0; code <= 9; ++code)
        EXPECT_STREQ(pkr_cufft_error_string(code), cufft[code]) << code;
}

struct LaunchRetry : HostTest {
    std::vector<std::string> reclaims() {
        std::vector<std::string> r;
        for (const std::string &l : pelkor::log())
            if (l.rfind("reclaim", 0) == 0) r.push_back(l);
        return r;
    }
};

TEST_F(LaunchRetry, ReclaimsInOrderThenA113) {
    const std::vector<std::string> all = {"reclaim 20971520", "reclaim_more 20971520",
                                          "reclaim_all"};
    for (int failures = 0; failures <= 5; ++failures) {
        pelkor::clear_log();
        int calls = 0;
        testing::internal::CaptureStdout();
        err_t r = knorl_retry(pelkor::engine(), 567, "invoke_kernel", cuda_api::driver,
                              [&] { return ++calls <= failures ? 2 : 0; });
        const std::string out = testing::internal::GetCapturedStdout();
        const int tries = std::min(failures + 1, 4);
        EXPECT_EQ(calls, tries) << failures;
        EXPECT_EQ(reclaims(), std::vector<std::string>(all.begin(), all.begin() + (tries - 1)))
            << failures;
        if (failures < 4) {
            EXPECT_FALSE(err_failed(r)) << failures;
            EXPECT_EQ(out, "") << failures;
        } else {
            EXPECT_EQ(r.line, 567);
            EXPECT_STREQ(r.file, "knorlmex");
            EXPECT_STREQ(r.msg, knorl_a113_message);
            EXPECT_EQ(out, "Pelkor:567(invoke_kernel) CUDA driver error: out of memory\n");
        }
    }
    EXPECT_STREQ(
        knorl_a113_message,
        "Pelkor Error A113: GPU failure. Save your work and restart MATLAB. Please read the "
        "FAQ entry at https://help.example.org/faq?q=a113");
}

TEST_F(LaunchRetry, AFailedReclaimEndsTheRule) {
    for (const char *step : {"reclaim", "reclaim_more", "reclaim_all"}) {
        pelkor::reset();
        pelkor::inject(step, err_t{7, "pelkor", "refused"});
        int calls = 0;
        err_t r = knorl_retry(pelkor::engine(), 621, "pkrFunction", cuda_api::runtime, [&] {
            ++calls;
            return 2;
        });
        EXPECT_EQ(r.line, 7) << step;
        EXPECT_STREQ(r.file, "pelkor");
        EXPECT_STREQ(r.msg, "refused");
        EXPECT_EQ(reclaims().back().rfind(step, 0), 0u) << step;
        EXPECT_EQ(calls, int(reclaims().size())) << step;
    }
}

// A fresh directory, removed afterwards.
struct LaunchScratch : HostTest {
    std::string dir;
    void SetUp() override {
        HostTest::SetUp();
        char name[] = "/tmp/knorl_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        std::system(("rm -rf '" + dir + "'").c_str());
        HostTest::TearDown();
    }
    path_t named(const std::string &base) {
        return path_t{dir + "/" + base + ".cu", dir + "/" + base + ".ptx", dir, base, ""};
    }
    // can_use_file's result and what it printed.
    bool probe(const std::string &path, std::string &out) {
        testing::internal::CaptureStdout();
        const bool r = can_use_file(path);
        out = testing::internal::GetCapturedStdout();
        return r;
    }
};

bool private_dir(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700 &&
           st.st_uid == geteuid();
}

bool private_file(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600 &&
           st.st_uid == geteuid();
}

std::string contents(const std::string &path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(LaunchScratch, PathsAreQuotedForTheShell) {
    EXPECT_EQ(shell_quote("plain"), "'plain'");
    EXPECT_EQ(shell_quote("a b"), "'a b'");
    EXPECT_EQ(shell_quote("it's"), "'it'\\''s'");
    path_t p{"/d 'x/b.cu", "/d 'x/b.ptx", "/d 'x", "b", "/d 'x/b.Q1w2E3"};
    EXPECT_EQ(compile_command(p),
              "cd '/d '\\''x/b.Q1w2E3' && TMPDIR='/d '\\''x/b.Q1w2E3' nvcc -D__x86_64__ -ptx -o "
              "'/d '\\''x/b.Q1w2E3/b.ptx' '/d '\\''x/b.Q1w2E3/b.cu' --ptxas-options=-v "
              "-arch=sm_75");
}

TEST_F(LaunchScratch, DirectoriesAreRefusedWithTheirReason) {
    const std::string shell = ": its path holds $, `, \", \\ or a control character, which the "
                              "compiler's shell would expand\n";
    const std::string others = ": other users can rename or remove files in it\n";
    struct row {
        const char *name;
        mode_t mode;
        int line;  // 0: usable
        std::string why;
    };
    const std::vector<row> rows = {
        {"plain", 0700, 0, ""},
        {"with space", 0755, 0, ""},
        {"it's", 0700, 0, ""},
        {"a$(b)", 0700, 156, shell},
        {"a$b", 0700, 156, shell},
        {"a`b`", 0700, 156, shell},
        {"a\"b", 0700, 156, shell},
        {"a\\b", 0700, 156, shell},
        {"a\nb", 0700, 156, shell},
        // Writable by others: only sticky, as /tmp is.
        {"shared", 0777, 159, others},
        {"group", 0770, 159, others},
        {"sticky", 01777, 0, ""},
    };
    for (const row &r : rows) {
        const std::string d = dir + "/" + r.name;
        ASSERT_EQ(mkdir(d.c_str(), 0700), 0) << r.name;
        ASSERT_EQ(chmod(d.c_str(), r.mode), 0) << r.name;
        testing::internal::CaptureStdout();
        EXPECT_EQ(can_use_dir(d), r.line == 0) << r.name;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, r.line ? "Pelkor:" + std::to_string(r.line) + "(can_use_dir) Directory " +
                                    d + " cannot be used" + r.why
                              : "")
            << r.name;
    }
    if (geteuid() == 0) {
        // Another user's directory, sticky or not: its owner can swap the files.
        const std::string d = dir + "/theirs";
        ASSERT_EQ(mkdir(d.c_str(), 01777), 0);
        ASSERT_EQ(chmod(d.c_str(), 01777), 0);
        ASSERT_EQ(chown(d.c_str(), 65534, 65534), 0);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(can_use_dir(d));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "Pelkor:159(can_use_dir) Directory " + d + " cannot be used" + others);
    }
}

TEST_F(LaunchScratch, MissingFirstDirectoryFallsBackToTheCurrentOne) {
    char cwd[1000];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    path_t p;
    testing::internal::CaptureStdout();
    err_t r = set_paths(p, dir + "/missing");
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_FALSE(err_failed(r));
    const std::string base = std::to_string(getuid()) + "_" + std::to_string(getpid()) + "_0";
    EXPECT_EQ(out, "Pelkor:154(can_use_dir) Directory " + dir +
                       "/missing does not exist\n"
                       "Pelkor:257(set_paths) Warning: Falling back to " +
                       dir + " for compile.\n");
    EXPECT_EQ(p.scratch_dir, dir);
    EXPECT_EQ(p.base_name, base);
    EXPECT_EQ(p.cu_file, dir + "/" + base + ".cu");
    EXPECT_EQ(p.ptx_file, dir + "/" + base + ".ptx");
    // The probes leave nothing behind.
    EXPECT_NE(access(p.cu_file.c_str(), F_OK), 0);
    EXPECT_NE(access(p.ptx_file.c_str(), F_OK), 0);
}

TEST_F(LaunchScratch, OnlyRegularFilesAreProbedAndNothingBlocks) {
    // A probe that waited on a FIFO would never return: the alarm ends the test.
    alarm(20);
    const std::string target = dir + "/target";
    struct row {
        const char *what;
        std::function<int(const std::string &)> make;
    };
    const std::vector<row> rows = {
        {"link", [&](const std::string &n) { return symlink(target.c_str(), n.c_str()); }},
        {"link to a FIFO",
         [&](const std::string &n) {
             return mkfifo((dir + "/fifo-target").c_str(), 0666) | symlink((dir + "/fifo-target").c_str(), n.c_str());
         }},
        {"FIFO", [](const std::string &n) { return mkfifo(n.c_str(), 0666); }},
        {"directory", [](const std::string &n) { return mkdir(n.c_str(), 0700); }},
        {"socket",
         [](const std::string &n) {
             int fd = socket(AF_UNIX, SOCK_STREAM, 0);
             sockaddr_un addr{};
             addr.sun_family = AF_UNIX;
             std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", n.c_str());
             int r = bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
             close(fd);
             return r;
         }},
        {"device",
         [](const std::string &n) {
             return geteuid() == 0 ? mknod(n.c_str(), S_IFCHR | 0666, makedev(1, 3)) : -2;
         }},
    };
    int k = 0;
    for (const row &r : rows) {
        const std::string name = dir + "/n" + std::to_string(k++) + ".cu";
        const int made = r.make(name);
        if (made == -2) continue;  // needs root
        ASSERT_EQ(made, 0) << r.what;
        std::string out;
        EXPECT_FALSE(probe(name, out)) << r.what;
        EXPECT_EQ(out, "Pelkor:171(can_use_file) Write access denied to file " + name + "\n")
            << r.what;
        struct stat st;
        EXPECT_EQ(lstat(name.c_str(), &st), 0) << r.what << " left in place";
    }
    // A FIFO with a reader opens without waiting; it is still refused.
    const std::string fifo = dir + "/read.ptx";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0666), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    std::string out;
    EXPECT_FALSE(probe(fifo, out));
    close(reader);
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link's target is not made";
    alarm(0);
}

TEST_F(LaunchScratch, CompileWorksInAFreshPrivateDirectory) {
    path_t p = named("k");
    // Another user's files under the scratch names are neither read nor written.
    ASSERT_EQ(symlink((dir + "/target").c_str(), p.ptx_file.c_str()), 0);
    ASSERT_EQ(mkfifo(p.cu_file.c_str(), 0666), 0);
    alarm(20);
    EXPECT_FALSE(err_failed(compile("new source", p)));
    alarm(0);
    const std::string first = p.work_dir;
    EXPECT_EQ(first.rfind(dir + "/k.", 0), 0u) << first;
    EXPECT_EQ(first.size(), dir.size() + 3 + 6);
    EXPECT_TRUE(private_dir(first));
    EXPECT_EQ(work_cu(p), first + "/k.cu");
    EXPECT_EQ(work_ptx(p), first + "/k.ptx");
    EXPECT_TRUE(private_file(work_cu(p)));
    EXPECT_EQ(contents(work_cu(p)), "new source");
    // The PTX file nvcc truncates is made first, the user's alone; the fake
    // host's shell leaves it empty, which is no PTX.
    EXPECT_TRUE(private_file(work_ptx(p)));
    std::string text;
    EXPECT_FALSE(read_ptx(p, text));
    EXPECT_EQ(fake::log().back(), "eval ! " + compile_command(p));
    EXPECT_NE(access((dir + "/target").c_str(), F_OK), 0);

    // The next compile starts from a new directory; the last one's is gone
    // with whatever nvcc left in it.
    std::ofstream(first + "/tmpxft_left") << "x";
    EXPECT_FALSE(err_failed(compile("second", p)));
    EXPECT_NE(p.work_dir, first);
    EXPECT_NE(access(first.c_str(), F_OK), 0);
    EXPECT_EQ(contents(work_cu(p)), "second");
    discard(p);
    EXPECT_TRUE(p.work_dir.empty());
}

TEST_F(LaunchScratch, ADirectoryThatCannotBeMadeIsAWriteFailure) {
    path_t p = named("k");
    p.scratch_dir = dir + "/missing";
    err_t r = compile("src", p);
    EXPECT_EQ(r.line, 346);
    EXPECT_STREQ(r.msg, "failed to write kernel to disk");
    EXPECT_TRUE(p.work_dir.empty());
    EXPECT_TRUE(fake::log().empty() || fake::log().back().rfind("eval", 0) != 0) << "no compile";
}

TEST_F(LaunchScratch, OnlyARegularPtxOfTheUserIsRead) {
    path_t p = named("k");
    p.work_dir = dir;
    const std::string ptx = work_ptx(p);
    std::string text;
    {
        std::ofstream out(ptx, std::ios::binary);
        out << "ptx text" << '\0' << "after";
    }
    ASSERT_TRUE(read_ptx(p, text));
    EXPECT_EQ(text, "ptx text");
    std::ofstream(dir + "/other") << "ptx text";
    alarm(20);
    struct row {
        const char *what;
        std::function<int()> make;
    };
    const std::vector<row> rows = {
        {"a link", [&] { return symlink((dir + "/other").c_str(), ptx.c_str()); }},
        {"a directory", [&] { return mkdir(ptx.c_str(), 0700); }},
        {"a FIFO", [&] { return mkfifo(ptx.c_str(), 0666); }},
        {"an empty file", [&] { return close(open(ptx.c_str(), O_CREAT | O_WRONLY, 0600)); }},
    };
    for (const row &r : rows) {
        ASSERT_EQ(remove(ptx.c_str()), 0) << r.what;
        ASSERT_EQ(r.make(), 0) << r.what;
        EXPECT_FALSE(read_ptx(p, text)) << r.what;
    }
    alarm(0);
    ASSERT_EQ(remove(ptx.c_str()), 0);
    std::ofstream(ptx) << "ptx text";
    if (geteuid() == 0) {
        ASSERT_EQ(chown(ptx.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(read_ptx(p, text)) << "another user's file";
    }
}

TEST_F(LaunchScratch, CleanupRemovesBothAndTheDirectoryOrFails) {
    path_t p = named("k");
    EXPECT_EQ(cleanup(p).line, 391) << "nothing compiled";
    EXPECT_FALSE(err_failed(compile("x", p)));
    const std::string work = p.work_dir;
    EXPECT_FALSE(err_failed(cleanup(p)));
    EXPECT_NE(access(work.c_str(), F_OK), 0);
    EXPECT_TRUE(p.work_dir.empty());
    // A failing first removal leaves the PTX and the directory.
    EXPECT_FALSE(err_failed(compile("x", p)));
    ASSERT_EQ(unlink(work_cu(p).c_str()), 0);
    err_t r = cleanup(p);
    EXPECT_EQ(r.line, 391);
    EXPECT_STREQ(r.msg, "unable to cleanup");
    EXPECT_EQ(access(work_ptx(p).c_str(), F_OK), 0);
    const std::string left = p.work_dir;
    discard(p);
    EXPECT_NE(access(left.c_str(), F_OK), 0);
}

// The Windows rules against a host of their own: its environment, its
// directories and files with what _access grants, its current directory.
struct WindowsHost : HostTest {
    enum grant { missing, exists_only, read_write };
    std::map<std::string, std::string> env;
    std::map<std::string, grant> entries;
    std::string cwd = "C:\\work";
    platform::host_source host() {
        platform::host_source h;
        h.getenv = [this](const char *name) -> const char * {
            auto i = env.find(name);
            return i == env.end() ? nullptr : i->second.c_str();
        };
        h.access = [this](const std::string &path, int mode) {
            auto i = entries.find(path);
            const grant g = i == entries.end() ? missing : i->second;
            return mode == 0 ? g != missing : g == read_write;
        };
        h.cwd = [this] { return cwd; };
        h.pid = 4242;
        return h;
    }
    // set_paths under the Windows rules: its result, paths and diagnostics.
    err_t run(path_t &p, std::string &out) {
        testing::internal::CaptureStdout();
        err_t r = set_paths(p, platform::windows::rules(host()));
        out = testing::internal::GetCapturedStdout();
        return r;
    }
};

TEST_F(WindowsHost, ScratchDirectoryFromTempElseTmpElseTheCurrentOne) {
    const std::string fallback = "Pelkor:257(set_paths) Warning: Falling back to C:\\work for compile.\n";
    struct row {
        const char *what;
        std::map<std::string, std::string> env;
        std::map<std::string, grant> entries;
        std::string dir, out;
    };
    const std::vector<row> rows = {
        {"TEMP", {{"TEMP", "C:\\t"}, {"TMP", "D:\\u"}}, {{"C:\\t", read_write}, {"D:\\u", read_write}},
         "C:\\t", ""},
        {"TMP without TEMP", {{"TMP", "D:\\u"}}, {{"D:\\u", read_write}}, "D:\\u", ""},
        // TMP is only asked for when TEMP is unset.
        {"TEMP missing", {{"TEMP", "C:\\t"}, {"TMP", "D:\\u"}}, {{"D:\\u", read_write}, {"C:\\work", read_write}},
         "C:\\work", "Pelkor:91(can_use_dir) Directory C:\\t does not exist\n" + fallback},
        {"neither", {}, {{"C:\\work", read_write}}, "C:\\work",
         "Pelkor:91(can_use_dir) Directory  does not exist\n" + fallback},
        {"TEMP read-only", {{"TEMP", "C:\\t"}}, {{"C:\\t", exists_only}, {"C:\\work", read_write}}, "C:\\work",
         "Pelkor:95(can_use_dir) Read/Write access denied to directory C:\\t\n" + fallback},
        {"TEMP that cmd.exe expands", {{"TEMP", "C:\\%x%"}}, {{"C:\\%x%", read_write}, {"C:\\work", read_write}},
         "C:\\work",
         "Pelkor:93(can_use_dir) Directory C:\\%x% cannot be used: its path holds \", %, !, $, ` or a "
         "control character, which cmd.exe or the compiler would expand\n" +
             fallback},
        {"a space is fine", {{"TEMP", "C:\\my temp"}}, {{"C:\\my temp", read_write}}, "C:\\my temp", ""},
    };
    for (const row &r : rows) {
        env = r.env;
        entries = r.entries;
        env["USERNAME"] = "ann";
        path_t p;
        std::string out;
        EXPECT_FALSE(err_failed(run(p, out))) << r.what;
        EXPECT_EQ(out, r.out) << r.what;
        EXPECT_EQ(p.scratch_dir, r.dir) << r.what;
        EXPECT_EQ(p.cu_file, r.dir + "\\ann_4242_0.cu") << r.what;
        EXPECT_EQ(p.ptx_file, r.dir + "\\ann_4242_0.ptx") << r.what;
    }
    env.clear();
    entries = {{"C:\\work", exists_only}};
    path_t p;
    std::string out;
    err_t r = run(p, out);
    EXPECT_EQ(r.line, 254);
    EXPECT_STREQ(r.msg, "No scratch directory for compilation available");
    EXPECT_EQ(out.rfind("Pelkor:91(can_use_dir) Directory  does not exist\n"
                        "Pelkor:95(can_use_dir) Read/Write access denied to directory C:\\work\n"
                        "Pelkor:253(set_paths) Neither",
                        0),
              0u)
        << out;
}

TEST_F(WindowsHost, BaseNameFromTheUserName) {
    struct row {
        const char *user;  // null: unset
        int retry;
        std::string name;
    };
    const std::string long_user(600, 'x');
    for (const row &r : std::vector<row>{{"ann", 0, "ann_4242_0"},
                                         {"Ann Lee  B", 7, "Ann_Lee__B_4242_7"},
                                         {nullptr, 3, "user_4242_3"},
                                         {long_user.c_str(), 9, std::string(499, 'x')}}) {
        env.clear();
        if (r.user) env["USERNAME"] = r.user;
        EXPECT_EQ(platform::windows::base_name(host(), r.retry), r.name) << r.retry;
    }
}

TEST_F(WindowsHost, FilesAreProbedWithoutCreatingThem) {
    env = {{"TEMP", "C:\\t"}, {"USERNAME", "ann"}};
    entries = {{"C:\\t", read_write},
               {"C:\\t\\ann_4242_0.ptx", exists_only},
               {"C:\\t\\ann_4242_1.cu", read_write}};
    path_t p;
    std::string out;
    EXPECT_FALSE(err_failed(run(p, out)));
    EXPECT_EQ(out, "Pelkor:111(can_use_file) Read/Write access denied to file C:\\t\\ann_4242_0.ptx\n");
    EXPECT_EQ(p.base_name, "ann_4242_1");
    // Ten names held: the permission error.
    for (int i = 0; i < 10; ++i) entries["C:\\t\\ann_4242_" + std::to_string(i) + ".cu"] = exists_only;
    err_t r = run(p, out);
    EXPECT_EQ(r.line, 280);
    EXPECT_EQ(std::string(r.msg).rfind("You do not have permission", 0), 0u);
    EXPECT_EQ(p.base_name, "");
}

TEST_F(WindowsHost, CompileCommandForCmd) {
    const path_t p{"C:\\my t\\b.cu", "C:\\my t\\b.ptx", "C:\\my t", "b", ""};
    EXPECT_EQ(platform::windows::compile_command(p),
              "cd \"C:\\my t\" & nvcc -D__x86_64__ -ptx -o \"C:\\my t\\b.ptx\" \"C:\\my t\\b.cu\" "
              "--ptxas-options=-v -arch=sm_75");
}

TEST(LaunchTiming, ElapsedMicroseconds) {
    struct counter_row {
        long long start, end, frequency;
        int us;
    };
    for (const counter_row &r : std::vector<counter_row>{{100, 100, 1000, 0},
                                                         {0, 3579545, 3579545, 1000000},
                                                         {10, 11, 3, 333333},  // truncated
                                                         {5, 7, 10000000, 0},
                                                         {1LL << 40, (1LL << 40) + 2500, 1000, 2500000}})
        EXPECT_EQ(platform::windows::elapsed_us(r.start, r.end, r.frequency), r.us) << r.end;
    struct day_row {
        long s0, us0, s1, us1, us;
    };
    for (const day_row &r : std::vector<day_row>{{5, 100, 5, 350, 250},
                                                 {5, 999999, 6, 1, 2},  // borrow
                                                 {5, 500000, 8, 200000, 2700000}})
        EXPECT_EQ(platform::posix_elapsed_us(r.s0, r.us0, r.s1, r.us1), r.us) << r.s1;
    const platform::stopwatch w;
    EXPECT_GE(w.elapsed_us(), 0);
}

struct LaunchDiagnostics : HostTest {};

TEST_F(LaunchDiagnostics, EitherChannel) {
    testing::internal::CaptureStdout();
    pkr_diag_via(diag_channel::mex_printf, 91, "can_use_dir", "Directory %s does not exist", "C:\\t");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fake::printed(), "Pelkor:91(can_use_dir) Directory C:\\t does not exist\n");
    testing::internal::CaptureStdout();
    pkr_diag_via(diag_channel::standard_output, 154, "can_use_dir", "x %d", 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Pelkor:154(can_use_dir) x 1\n");
    EXPECT_EQ(fake::printed(), "Pelkor:91(can_use_dir) Directory C:\\t does not exist\n");
    EXPECT_EQ(pkr_diag_channel, diag_channel::standard_output) << "this build";
}

}  // namespace
