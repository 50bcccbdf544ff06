// Differences of both precisions against a host model, bit for bit: vectors
// either way, every dimension of matrices and three-dimensional arrays, the
// shapes whose indices the single-precision reciprocal used to get wrong,
// the exact path above 999999 outputs, an input one element past an aligned
// pointer; the kernel each shape takes; refused arguments, the texture
// binding and the error handling of the launch.
#include "support.h"

#include <random>

namespace {

using namespace at;

using diff_fn = pkrError (*)(void *, void *, int *, int, int *, int, int, int);

struct precision {
    const char *name;
    diff_fn fn;
    size_t size;
    const char *texel;
};
const precision precisions[] = {{"f64", &pkr_diff_f64, 8, "int2"}, {"f32", &pkr_diff_f32, 4, "float"}};

struct diff_case {
    std::vector<int> dims;
    int order, dim;
    const char *kernel;  // without "diff_kernel_"
};

std::string describe(const diff_case &c) {
    std::string s;
    for (int d : c.dims) s += (s.empty() ? "" : " x ") + std::to_string(d);
    return s + " order " + std::to_string(c.order) + " dim " + std::to_string(c.dim);
}

// The dimension that is differenced: a vector's long one whatever dim says,
// any dim but 0 of a matrix its second.
size_t along(const std::vector<int> &dims, int dim) {
    if (dims.size() == 2 && (dims[0] == 1 || dims[1] == 1)) return dims[0] == 1 ? 1 : 0;
    if (dims.size() == 2) return dim == 0 ? 0 : 1;
    return size_t(dim);
}

std::vector<int> out_dims(const diff_case &c) {
    std::vector<int> o = c.dims;
    int &e = o[along(c.dims, c.dim)];
    e = e > c.order ? e - c.order : 0;
    return o;
}

size_t count(const std::vector<int> &dims) {
    size_t n = 1;
    for (int d : dims) n *= size_t(d);
    return n;
}

// The differences by their definition: along the dimension, with the
// stride of that dimension, in the element type and the kernels' order of
// operations.
template <class T>
std::vector<T> model(const std::vector<T> &x, const diff_case &c) {
    const std::vector<int> od = out_dims(c);
    const size_t ax = along(c.dims, c.dim);
    size_t stride = 1;
    for (size_t k = 0; k < ax; ++k) stride *= size_t(c.dims[k]);
    std::vector<size_t> in_ext(3, 1), out_ext(3, 1);
    for (size_t k = 0; k < c.dims.size(); ++k) in_ext[k] = size_t(c.dims[k]), out_ext[k] = size_t(od[k]);
    std::vector<T> out;
    for (size_t i2 = 0; i2 < out_ext[2]; ++i2)
        for (size_t i1 = 0; i1 < out_ext[1]; ++i1)
            for (size_t i0 = 0; i0 < out_ext[0]; ++i0) {
                const size_t k = i0 + in_ext[0] * (i1 + in_ext[1] * i2);
                const T x0 = x[k], x1 = x[k + stride];
                out.push_back(c.order == 1 ? T(x1 - x0) : T(T(T(x[k + 2 * stride] + x0) - x1) - x1));
            }
    return out;
}

template <class T>
std::vector<T> input(size_t n, unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<double> u(-100, 100);
    std::vector<T> v(n);
    for (auto &e : v) e = T(u(g));
    return v;
}

// Runs one case; `shift` elements of padding put the input that far past
// the start of its allocation. Returns the code, and the output in `got`.
template <class T>
pkrError run_case(const precision &p, const diff_case &c, const std::vector<T> &x, std::vector<T> &got,
                  size_t shift = 0) {
    std::vector<T> padded(shift, T(1e30));
    padded.insert(padded.end(), x.begin(), x.end());
    device_matrix din(as_bytes(padded));
    std::vector<int> id = c.dims, od = out_dims(c);
    const size_t n = count(od);
    out_buffer out(n * sizeof(T));
    const pkrError e = p.fn(out.p(), static_cast<T *>(din.p) + shift, od.data(), int(od.size()), id.data(),
                            int(id.size()), c.order, c.dim);
    const std::vector<unsigned char> b = out.read();
    got.resize(n);
    if (n) std::memcpy(got.data(), b.data(), b.size());
    return e;
}

template <class T>
void check_case(const precision &p, const diff_case &c, unsigned seed, size_t shift = 0) {
    const std::string what = std::string(p.name) + " " + describe(c) + (shift ? " shifted" : "");
    SCOPED_TRACE(what);
    const std::vector<T> x = input<T>(count(c.dims), seed);
#if defined(DEV_BACKEND_SIM)
    sim::clear_calls();
#endif
    std::vector<T> got;
    ASSERT_EQ(run_case(p, c, x, got, shift), 0);
    expect_bytes(as_bytes(got), as_bytes(model(x, c)), sizeof(T), what);
#if defined(DEV_BACKEND_SIM)
    // Bound, launched, unbound; the binding starts at the aligned address
    // below the input.
    const std::vector<sim::call> calls = sim::calls();
    std::vector<sim::call> seen;
    for (const sim::call &l : calls)
        if (l.kind == sim::call_kind::tex_bind || l.kind == sim::call_kind::launch ||
            l.kind == sim::call_kind::tex_unbind)
            seen.push_back(l);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].kind, sim::call_kind::tex_bind);
    EXPECT_EQ(seen[0].name, p.texel);
    EXPECT_EQ(seen[0].bytes, count(c.dims) * sizeof(T));
    EXPECT_EQ(seen[0].offset, shift * sizeof(T));
    EXPECT_EQ(seen[1].name, std::string("diff_kernel_") + c.kernel);
    EXPECT_EQ(seen[1].grid.x, (count(out_dims(c)) + 255) / 256);
    EXPECT_EQ(seen[1].block.x, 256u);
    EXPECT_EQ(seen[2].kind, sim::call_kind::tex_unbind);
#endif
}

void check_all(const precision &p, const diff_case &c, unsigned seed, size_t shift = 0) {
    if (p.size == 8)
        check_case<double>(p, c, seed, shift);
    else
        check_case<float>(p, c, seed, shift);
}

const diff_case cases[] = {
    // Vectors, whatever dim says.
    {{1, 5}, 1, 0, "1D"},
    {{1, 5}, 1, 1, "1D"},
    {{5, 1}, 1, 0, "1D"},
    {{5, 1}, 1, 7, "1D"},
    {{1, 300}, 2, 1, "1D_2ND"},
    {{9, 1}, 2, 0, "1D_2ND"},
    // Matrices: along the columns, along the rows (any dim but 0).
    {{3, 4}, 1, 0, "2D_D0f"},
    {{3, 4}, 1, 1, "2D_D1"},
    {{3, 4}, 2, 0, "2D_D0f_2ND"},
    {{17, 33}, 2, 1, "2D_D1_2ND"},
    {{5, 6}, 1, 3, "2D_D1"},
    // Column lengths whose reciprocal rounds down: 1/41 * 41 < 1.
    {{42, 3}, 1, 0, "2D_D0f"},
    {{43, 3}, 2, 0, "2D_D0f_2ND"},
    {{42, 7}, 1, 0, "2D_D0f"},
    // Three dimensions, every one of them.
    {{4, 3, 2}, 1, 0, "3D_D0f"},
    {{4, 3, 2}, 2, 0, "3D_D0f_2ND"},
    {{4, 3, 2}, 1, 1, "3D_D1f"},
    {{4, 3, 2}, 2, 1, "3D_D1f_2ND"},
    {{4, 3, 3}, 1, 2, "3D_D2"},
    {{4, 3, 3}, 2, 2, "3D_D2_2ND"},
    {{1, 5, 3}, 1, 1, "3D_D1f"},
    {{3, 1, 4}, 1, 2, "3D_D2"},
    {{42, 2, 2}, 1, 0, "3D_D0f"},
    // Pages of 41 outputs along dimension 1.
    {{41, 2, 3}, 1, 1, "3D_D1f"},
    {{41, 3, 2}, 2, 1, "3D_D1f_2ND"},
    {{41, 2, 25}, 1, 1, "3D_D1f"},
};

TEST(Diff, EveryShapeMatchesTheModel) {
    testenv::device_env env;
#if defined(DEV_BACKEND_SIM)
    start_log();
#endif
    unsigned seed = 1;
    for (const precision &p : precisions)
        for (const diff_case &c : cases) check_all(p, c, seed++);
}

// More than 999999 outputs take the exact integer quotients.
TEST(Diff, ExactQuotientsAboveTheLimit) {
    testenv::device_env env;
#if defined(DEV_BACKEND_SIM)
    start_log();
#endif
    check_all(precisions[1], {{1001, 1000}, 1, 0, "2D_D0"}, 3);
}

// A pointer one element past an aligned one is bound from the aligned
// address, and the kernels add the element offset.
TEST(Diff, InputPastAnAlignedPointer) {
    testenv::device_env env;
#if defined(DEV_BACKEND_SIM)
    start_log();
#endif
    for (const precision &p : precisions) {
        check_all(p, {{4, 3, 2}, 2, 1, "3D_D1f_2ND"}, 5, 1);
        check_all(p, {{1, 7}, 1, 0, "1D"}, 6, 3);
    }
}

// The worked examples of the three-dimensional second difference: steps of
// 4 and pages of 4 outputs.
TEST(Diff, StridedSecondDifference) {
    testenv::device_env env;
    std::vector<double> x(24);
    for (size_t i = 0; i < x.size(); ++i) x[i] = double(i * i);
    std::vector<double> got;
    ASSERT_EQ(run_case(precisions[0], {{4, 3, 2}, 2, 1, ""}, x, got), 0);
    ASSERT_EQ(got.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        const size_t k = i + 8 * (i / 4);
        EXPECT_EQ(got[i], x[k + 8] + x[k] - 2 * x[k + 4]) << i;
    }
}

struct refused_case {
    const char *what;
    std::vector<int> in_dims, out_dims;
    int in_ndims, out_ndims, order, dim;
};

// No kernel fits, or the shapes cannot be read: 4, with nothing bound,
// launched, written or stored.
TEST(Diff, RefusedArguments) {
    testenv::device_env env;
    const refused_case refused[] = {
        {"four output dimensions", {3, 4}, {2, 4, 1, 1}, 2, 4, 1, 0},
        {"negative output dimensions", {3, 4}, {2, 4}, 2, -1, 1, 0},
        {"one input dimension", {5}, {4}, 1, 1, 1, 0},
        {"four input dimensions", {3, 4, 1, 1}, {2, 4, 1, 1}, 4, 3, 1, 0},
        {"no input dimensions", {}, {}, 0, 0, 1, 0},
        {"order 0", {3, 4}, {3, 4}, 2, 2, 0, 0},
        {"order 3", {5, 4}, {2, 4}, 2, 2, 3, 0},
        {"order -1", {3, 4}, {4, 4}, 2, 2, -1, 0},
        {"dim 3 of three", {4, 3, 2}, {4, 3, 1}, 3, 3, 1, 3},
        {"dim -1 of three", {4, 3, 2}, {4, 3, 1}, 3, 3, 1, -1},
        {"a negative extent", {-3, 4}, {-4, 4}, 2, 2, 1, 0},
        {"a negative output extent", {3, 4}, {2, -4}, 2, 2, 1, 0},
    };
#if defined(DEV_BACKEND_SIM)
    start_log();
#endif
    device_matrix in(std::vector<unsigned char>(1024, 0));
    out_buffer out(1024);
    for (const precision &p : precisions)
        for (const refused_case &r : refused) {
            SCOPED_TRACE(std::string(p.name) + " " + r.what);
            std::vector<int> id = r.in_dims, od = r.out_dims;
            torvane_clear_error();
            EXPECT_EQ(p.fn(out.p(), in.p, od.data(), r.out_ndims, id.data(), r.in_ndims, r.order, r.dim), 4);
            EXPECT_EQ(last_error(), 0);
        }
    int dims[2] = {3, 4}, odims[2] = {2, 4};
    EXPECT_EQ(pkr_diff_f64(out.p(), in.p, odims, 2, nullptr, 2, 1, 0), 4);
    EXPECT_EQ(pkr_diff_f64(out.p(), in.p, nullptr, 2, dims, 2, 1, 0), 4);
    EXPECT_TRUE(out.untouched());
#if defined(DEV_BACKEND_SIM)
    for (const sim::call &l : sim::calls()) EXPECT_NE(l.kind, sim::call_kind::tex_bind) << "bound";
    for (const sim::call &l : sim::calls()) EXPECT_NE(l.kind, sim::call_kind::launch) << "launched";
#endif
}

// The output holds as many elements as its dimensions say, whatever the
// input's differences number: the kernels' index rules run over them and
// every read past the input is clamped to its last element. With x[t] = t^2:
// divisors of 0 (a column as long as the order, pages of no rows) give
// quotients of 0; no outputs is a refused launch, 7, stored.
TEST(Diff, OutputCountIsTheCallers) {
    testenv::device_env env;
    const struct {
        const char *what;
        std::vector<int> in_dims, out_dims;
        int order, dim;
        pkrError code;
        std::vector<double> want;
    } cases[] = {
        {"no outputs along a vector", {1, 5}, {0, 5}, 1, 0, 7, {}},
        {"the input's own shape", {3, 4}, {3, 4}, 1, 0, 0,
         {1, 3, 7, 9, 13, 15, 19, 21, 0, 0, 0, 0}},
        {"fewer than the differences", {3, 4}, {2, 1}, 1, 1, 0, {9, 15}},
        {"no output dimensions", {3, 4}, {}, 1, 0, 0, {1}},
        {"a column as long as the order", {2, 3}, {1, 3}, 2, 0, 0, {2, 2, 2}},
        {"pages of one row", {2, 1, 2}, {2, 1, 2}, 1, 1, 0, {4, 8, 5, 0}},
        {"second-difference pages from the output", {4, 5, 2}, {4}, 2, 1, 0, {32, 32, 32, 32}},
    };
    for (const precision &p : precisions)
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(p.name) + " " + c.what);
            std::vector<double> x(count(c.in_dims));
            for (size_t t = 0; t < x.size(); ++t) x[t] = double(t * t);
            std::vector<float> xf(x.begin(), x.end());
            device_matrix in(p.size == 8 ? as_bytes(x) : as_bytes(xf));
            std::vector<int> id = c.in_dims, od = c.out_dims;
            out_buffer out(c.want.size() * p.size);
            torvane_clear_error();
            EXPECT_EQ(p.fn(out.p(), in.p, od.data(), int(od.size()), id.data(), int(id.size()), c.order,
                           c.dim),
                      c.code);
            EXPECT_EQ(last_error(), c.code);
            std::vector<float> wf(c.want.begin(), c.want.end());
            EXPECT_EQ(out.read(), p.size == 8 ? as_bytes(c.want) : as_bytes(wf));
        }
}

// An input beyond one binding is 7 and stores nothing; no outputs at all
// (the input's extent not above the order) is a refused launch: 7, stored.
TEST(Diff, UnboundInputAndEmptyOutput) {
    testenv::device_env env;
    device_matrix in(std::vector<unsigned char>(1024, 0));
    out_buffer out(64);
    int big[2] = {16384, 16384}, big_out[2] = {16383, 16384};
    torvane_clear_error();
    EXPECT_EQ(pkr_diff_f32(out.p(), in.p, big_out, 2, big, 2, 1, 0), 7);
    EXPECT_EQ(last_error(), 0);
    int dims[2] = {2, 3}, none[2] = {0, 3};
    EXPECT_EQ(pkr_diff_f64(out.p(), in.p, none, 2, dims, 2, 2, 0), 7);
    EXPECT_EQ(last_error(), 7);
    EXPECT_TRUE(out.untouched());
}

// The pending error of earlier work is dropped and the call goes ahead; a
// successful call leaves the last error as it was.
TEST(Diff, PendingErrorDiscardedLastErrorKept) {
    testenv::device_env env;
    EXPECT_EQ(pkr_hankel_f32f32f32(nullptr, 0, nullptr, 1, nullptr), 7);  // stores 7
    leave_pending();
    std::vector<float> got;
    const std::vector<float> x = {1, 4, 9, 16, 25};
    ASSERT_EQ(run_case(precisions[1], {{1, 5}, 1, 0, ""}, x, got), 0);
    EXPECT_EQ(got, (std::vector<float>{3, 5, 7, 9}));
    EXPECT_EQ(dev::peek_last_error(), 0);
    EXPECT_EQ(last_error(), 7);
}

#if defined(DEV_BACKEND_SIM)
// A failed launch stores its mapped code and leaves the texture bound until
// the next call binds it again; failures of binding and unbinding are 7 and
// store nothing.
TEST(Diff, BindingAcrossFailures) {
    testenv::device_env env;
    start_log();
    const std::vector<double> x = {1, 2, 4, 8, 16, 32};
    std::vector<double> got;
    const diff_case c = {{2, 3}, 1, 1, ""};
    auto kinds = [] {
        std::vector<sim::call_kind> k;
        for (const sim::call &l : sim::calls()) {
            if (l.kind == sim::call_kind::tex_bind || l.kind == sim::call_kind::tex_unbind ||
                l.kind == sim::call_kind::launch)
                k.push_back(l.kind);
        }
        sim::clear_calls();
        return k;
    };
    using K = sim::call_kind;

    torvane_clear_error();
    sim::inject(sim::fault_kind::launch_config, 1, dev::err_memory_allocation);
    EXPECT_EQ(run_case(precisions[0], c, x, got), 1);
    EXPECT_EQ(last_error(), 1);
    EXPECT_EQ(kinds(), (std::vector<K>{K::tex_bind, K::launch}));

    torvane_clear_error();
    ASSERT_EQ(run_case(precisions[0], c, x, got), 0);
    EXPECT_EQ(got, (std::vector<double>{3, 6, 12, 24}));
    EXPECT_EQ(kinds(), (std::vector<K>{K::tex_bind, K::launch, K::tex_unbind}));

    sim::inject(sim::fault_kind::tex_bind, 1, dev::err_invalid_value);
    EXPECT_EQ(run_case(precisions[0], c, x, got), 7);
    EXPECT_EQ(kinds(), (std::vector<K>{K::tex_bind}));
    EXPECT_EQ(last_error(), 0);
    dev::get_last_error();

    sim::inject(sim::fault_kind::tex_unbind, 1, dev::err_invalid_texture);
    EXPECT_EQ(run_case(precisions[0], c, x, got), 7);
    EXPECT_EQ(got, (std::vector<double>{3, 6, 12, 24}));
    EXPECT_EQ(last_error(), 0);
    dev::get_last_error();  // what the failed unbinding left pending
}
#endif

}  // namespace
