// The engine stand-in on its own: counted references and holds, the checks
// that flag misuse, coherent host and device copies through the device seam,
// views, and the values that materialize computes.
#include "support.h"

#include "support/devenv.h"

using namespace mextest;

namespace {

struct Engine : HostTest {
    engine_t *e = pelkor::engine();
    buffer_t *alloc(uint32_t bytes) {
        buffer_t *b = nullptr;
        e->alloc(&b, bytes, e);
        EXPECT_NE(b, nullptr);
        return b;
    }
};

// A node of `kind` and `op` over `left`, of class `c`, shaped as `like`.
mxArray *node(const mxArray *like, int kind, uint32_t op, mxClassID c, bool complex, mxArray *left) {
    mxArray *g = gpu(mxDuplicateArray(like));
    stack_rec_t *rec = m_stack(g);
    rec->kind = kind;
    rec->buffer = nullptr;
    rec->op.op_code = op;
    rec->class_id = c;
    rec->complex = complex;
    mxSetField(g, 0, "leftop", left);
    return g;
}

std::vector<double> read(const mxArray *g, mxArray **out = nullptr) {
    err_t err{};
    mxArray *r = pelkor::read_back(g, &err);
    EXPECT_NE(r, nullptr) << (err.msg ? err.msg : "");
    if (out) *out = r;
    return r ? values(r) : std::vector<double>{};
}

}  // namespace

TEST_F(Engine, MisuseIsFlagged) {
    buffer_t *b = alloc(8);
    e->free(b);
    err_t r = e->dev_access(b, e);
    EXPECT_STREQ(r.msg, "buffer used after free");
    e->free(b);
    buffer_t *c = alloc(8);
    EXPECT_EQ(e->dev_access(c, e).msg, nullptr);
    e->end_call(e);                                  // its own call's hold: fine
    e->end_call(e);                                  // not unlocked since: leaked
    int x = 0;
    e->unlock(reinterpret_cast<buffer_t *>(&x));
    EXPECT_EQ(pelkor::faults(), (std::vector<std::string>{"use after free b1 (dev_access)", "double free b1",
                                                          "hold open at end_call b2", "unknown buffer (unlock)"}));
    EXPECT_EQ(pelkor::open_holds(), std::vector<std::string>{"b2"});
    pelkor::reset();
}

TEST_F(Engine, ReferencesAndHoldsAreCounted) {
    buffer_t *b = alloc(8);
    mxArray *g = gpu(counting(1, 1));
    EXPECT_EQ(e->attach(g, b).msg, nullptr);         // two owners now
    EXPECT_EQ(e->dev_first_write(b, e).msg, nullptr);
    EXPECT_EQ(e->dev_access(b, e).msg, nullptr);     // one hold per call, however often accessed
    e->unlock(b);
    EXPECT_TRUE(pelkor::open_holds().empty());
    e->free(b);
    EXPECT_FALSE(pelkor::state(b).dead);
    e->free(b);
    EXPECT_TRUE(pelkor::state(b).dead);
}

TEST_F(Engine, HostAndDeviceCopiesStayCoherent) {
    buffer_t *b = alloc(4 * sizeof(float));
    ASSERT_EQ(e->host_first_write(b, e).msg, nullptr);
    float *h = static_cast<float *>(b->host_ptr);
    for (int i = 0; i < 4; ++i) h[i] = float(i + 1);
    e->unlock(b);
#if defined(DEV_BACKEND_SIM)
    sim::log_calls(true);
#endif
    ASSERT_EQ(e->dev_access(b, e).msg, nullptr);     // host copy is newer: copied up once
    ASSERT_EQ(e->dev_access(b, e).msg, nullptr);
    std::vector<float> d(4);
    ASSERT_EQ(dev::memcpy_dtoh(d.data(), reinterpret_cast<void *>(b->dev_ptr), 16), 0);
    EXPECT_EQ(d, (std::vector<float>{1, 2, 3, 4}));
    const float twice[4] = {2, 4, 6, 8};
    ASSERT_EQ(dev::memcpy_htod(reinterpret_cast<void *>(b->dev_ptr), twice, 16), 0);
    ASSERT_EQ(e->host_access(b, e).msg, nullptr);    // device may have written: copied down
    EXPECT_EQ(h[3], 8);
    ASSERT_EQ(e->dev_first_write(b, e).msg, nullptr); // nothing to copy for a writer
#if defined(DEV_BACKEND_SIM)
    std::vector<sim::call_kind> kinds;
    for (const sim::call &c : sim::calls()) kinds.push_back(c.kind);
    sim::log_calls(false);
    EXPECT_EQ(kinds, (std::vector<sim::call_kind>{sim::call_kind::memcpy_htod, sim::call_kind::memcpy_dtoh,
                                                  sim::call_kind::memcpy_htod, sim::call_kind::memcpy_dtoh}));
#endif
    e->unlock(b);
    e->free(b);
}

TEST_F(Engine, ViewsLieInTheirRootAndDieWithIt) {
    buffer_t *root = alloc(96);
    buffer_t *v = nullptr, *bad = nullptr;
    e->subbuffer(&v, root, 48, 48, e);
    e->subbuffer(&bad, root, 64, 48, e);             // beyond the root
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(v->dev_ptr, root->dev_ptr + 48);
    EXPECT_EQ(static_cast<char *>(v->host_ptr), static_cast<char *>(root->host_ptr) + 48);
    EXPECT_TRUE(e->needs_copy(root));
    pelkor::set_needs_copy(0);
    EXPECT_FALSE(e->needs_copy(v));
    ASSERT_EQ(e->dev_first_write(v, e).msg, nullptr);
    EXPECT_EQ(pelkor::open_holds(), std::vector<std::string>{"b1"});  // the root holds for its views
    e->unlock(root);
    e->free(root);
    EXPECT_TRUE(pelkor::state(v).dead);
    EXPECT_EQ(pelkor::live_buffers(), 0u);
}

TEST_F(Engine, AViewWithAReferenceKeepsItsRootAlive) {
    buffer_t *root = alloc(96);
    buffer_t *v = nullptr, *bare = nullptr;
    e->subbuffer(&v, root, 48, 48, e);
    e->subbuffer(&bare, root, 0, 48, e);
    e->free(bare);                                   // made without a reference
    EXPECT_EQ(pelkor::faults(), std::vector<std::string>{"free without reference b3"});
    ASSERT_EQ(e->attach(counting(1, 1), v).msg, nullptr);
    e->free(root);
    EXPECT_FALSE(pelkor::state(root).dead);
    EXPECT_EQ(pelkor::state(root).refs, 1);          // the view's
    e->free(v);
    EXPECT_TRUE(pelkor::state(root).dead);
    EXPECT_TRUE(pelkor::state(bare).dead);
    EXPECT_EQ(pelkor::live_buffers(), 0u);
    pelkor::reset();
}

TEST_F(Engine, DeviceAllocationFailureGivesNoBuffer) {
    SIM_ONLY();
#if defined(DEV_BACKEND_SIM)
    sim::inject(sim::fault_kind::malloc, 1, dev::err_memory_allocation);
    buffer_t *b = reinterpret_cast<buffer_t *>(1);
    e->alloc(&b, 8, e);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(dev::peek_last_error(), 0);
    EXPECT_EQ(pelkor::log().back(), "alloc null 8");
#endif
}

TEST_F(Engine, MatlabDataLivesForTheCall) {
    mxArray *held = counting(2, 1, mxDOUBLE_CLASS, true), *idle = counting(1, 1);
    for (mxArray *a : {held, idle}) ASSERT_EQ(e->materialize(a, e).msg, nullptr);
    buffer_t *b = m_buffer(held);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(e->dev_access(b, e).msg, nullptr);
    std::vector<double> d(4);
    ASSERT_EQ(dev::memcpy_dtoh(d.data(), reinterpret_cast<void *>(b->dev_ptr), 32), 0);
    EXPECT_EQ(d, (std::vector<double>{1, -1, 2, -2}));  // interleaved on the device
    buffer_t *i = m_buffer(idle);
    e->end_call(e);
    EXPECT_TRUE(pelkor::state(i).dead);
    EXPECT_FALSE(pelkor::state(b).dead);
    e->unlock(b);
    EXPECT_TRUE(pelkor::state(b).dead);
    EXPECT_EQ(m_buffer(held), nullptr);
}

TEST_F(Engine, MaterializeConvertsValues) {
    mxArray *data = fake::matrix(1, 5, mxDOUBLE_CLASS);
    const double in[5] = {300, -2.5, 1.5, -300, 0.4};
    std::memcpy(mxGetData(data), in, sizeof in);
    EXPECT_EQ(read(node(data, 1, op_matlab_data, mxINT8_CLASS, false, data)),
              (std::vector<double>{127, -3, 2, -128, 0}));
    EXPECT_EQ(read(node(data, 1, op_matlab_data, mxLOGICAL_CLASS, false, data)),
              (std::vector<double>{1, 1, 1, 1, 1}));

    mxArray *c = counting(2, 2, mxSINGLE_CLASS, true);
    mxArray *src = gpu(c);
    mxArray *out = nullptr;
    mxArray *g = node(c, 2, op_complex_single_to_double, mxDOUBLE_CLASS, true, src);
    EXPECT_EQ(read(g, &out), (std::vector<double>{1, 2, 3, 4}));
    EXPECT_EQ(mxGetClassID(out), mxDOUBLE_CLASS);
    EXPECT_EQ(imag_values(out), (std::vector<double>{-1, -2, -3, -4}));
    EXPECT_EQ(m_stack(g)->kind, 0);
    EXPECT_EQ(m_stack(g)->bananas, 1u);

    err_t err{};
    EXPECT_EQ(pelkor::read_back(node(c, 2, 77, mxSINGLE_CLASS, true, src), &err), nullptr);
    EXPECT_STREQ(err.msg, "unsupported operation");
}

TEST_F(Engine, ScalarOfOneElement) {
    mxArray *z = counting(1, 1, mxDOUBLE_CLASS, true);
    engine_scalar_t v = e->scalar(z);
    EXPECT_EQ(v.re, 1);
    EXPECT_EQ(v.im, -1);
    const char *f[] = {"a"};
    v = e->scalar(mxCreateStructMatrix(1, 1, 1, f));
    EXPECT_EQ(v.re, 0);
    EXPECT_EQ(v.im, 0);
}

TEST_F(Engine, InjectedTriplesComeAfterTheCallsLetPass) {
    pelkor::inject("reclaim", err_t{9, "pelkor", "busy"}, 1, 1);
    EXPECT_EQ(e->reclaim(20971520, e).msg, nullptr);
    EXPECT_STREQ(e->reclaim(20971520, e).msg, "busy");
    EXPECT_EQ(e->reclaim(20971520, e).msg, nullptr);
    EXPECT_EQ(pelkor::log(), (std::vector<std::string>{"reclaim 20971520", "reclaim 20971520", "reclaim 20971520"}));
}

TEST_F(Engine, ImplicitClasses) {
    EXPECT_EQ(implicit(mxDOUBLE_CLASS, true), mxDOUBLE_CLASS);
    EXPECT_EQ(implicit(mxDOUBLE_CLASS, false), mxSINGLE_CLASS);
    EXPECT_EQ(implicit(mxINT32_CLASS, true), mxSINGLE_CLASS);
    EXPECT_EQ(implicit(mxSINGLE_CLASS, false), mxSINGLE_CLASS);
}

TEST_F(Engine, ReclaimGivesBackDeviceMemoryNoCallHolds) {
    const uint32_t n = 1024;
    buffer_t *host_current = alloc(n * 4), *device_only = alloc(n * 4), *held = alloc(n * 4);
    ASSERT_EQ(e->host_first_write(host_current, e).msg, nullptr);
    e->unlock(host_current);
    std::vector<float> pattern(n);
    for (uint32_t i = 0; i < n; ++i) pattern[i] = float(i) * 0.5f;
    ASSERT_EQ(e->dev_first_write(device_only, e).msg, nullptr);
    ASSERT_EQ(dev::memcpy_htod(reinterpret_cast<void *>(device_only->dev_ptr), pattern.data(), n * 4), 0);
    e->unlock(device_only);
    buffer_t *view = nullptr;
    e->subbuffer(&view, device_only, 16, 32, e);
    ASSERT_EQ(e->dev_access(held, e).msg, nullptr);

    ASSERT_EQ(e->reclaim(1, e).msg, nullptr);  // the one whose host copy is current
    EXPECT_EQ(host_current->dev_ptr, 0u);
    EXPECT_NE(device_only->dev_ptr, 0u);
    ASSERT_EQ(e->reclaim_more(1, e).msg, nullptr);  // copied down first
    EXPECT_EQ(device_only->dev_ptr, 0u);
    EXPECT_EQ(view->dev_ptr, 0u);
    EXPECT_EQ(std::memcmp(device_only->host_ptr, pattern.data(), n * 4), 0);
    ASSERT_EQ(e->reclaim_all(e).msg, nullptr);
    EXPECT_NE(held->dev_ptr, 0u);
#if defined(DEV_BACKEND_SIM)
    EXPECT_EQ(sim::stats().live_allocations, 1u);
#endif

    ASSERT_EQ(e->dev_access(view, e).msg, nullptr);  // placed anew, with its values
    ASSERT_NE(device_only->dev_ptr, 0u);
    EXPECT_EQ(view->dev_ptr, device_only->dev_ptr + 16);
    std::vector<float> back(n);
    ASSERT_EQ(dev::memcpy_dtoh(back.data(), reinterpret_cast<void *>(device_only->dev_ptr), n * 4), 0);
    EXPECT_EQ(back, pattern);
    for (buffer_t *b : {host_current, device_only, held}) {
        e->unlock(b);
        e->free(b);
    }
    EXPECT_EQ(pelkor::live_buffers(), 0u);
#if defined(DEV_BACKEND_SIM)
    EXPECT_EQ(sim::stats().live_allocations, 0u);
#endif
}
