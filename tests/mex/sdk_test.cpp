// The SDK runtime against the recording fake host and the engine stand-in:
// what each call sequence asks of the engine, in order, and what every error
// path raises and releases.
#include "calls.h"
#include "support.h"

#include "device/device.h"

#include <algorithm>
#include <functional>
#include <optional>

using namespace mextest;

namespace {

using body = std::function<err_t(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[])>;
body g_body;

// Objects dropped as the host destroys them: each GPU array gives back its
// buffer's reference once.
void destroy(const std::vector<mxArray *> &objects) {
    std::vector<mxArray *> seen;
    for (mxArray *a : objects)
        if (a && std::find(seen.begin(), seen.end(), a) == seen.end()) {
            seen.push_back(a);
            pelkor::drop(a);
        }
}

// One MEX call. A failed call's objects are destroyed as the host does:
// those in plhs and any other the call made.
std::optional<fake::raised> run(std::vector<mxArray *> in, body b, std::vector<mxArray *> *out = nullptr) {
    g_body = std::move(b);
    std::vector<mxArray *> plhs(4, nullptr);
    std::vector<const mxArray *> prhs(in.begin(), in.end());
    made_objects().clear();
    try {
        mexFunction(1, plhs.data(), int(prhs.size()), prhs.data());
    } catch (const fake::raised &r) {
        std::vector<mxArray *> discarded = plhs;
        discarded.insert(discarded.end(), made_objects().begin(), made_objects().end());
        destroy(discarded);
        return r;
    }
    if (out) *out = plhs;
    return std::nullopt;
}

std::optional<fake::raised> run(body b) { return run({}, std::move(b)); }

err_t none(int, mxArray *[], int, const mxArray *[]) { return err_ok(); }

using strings = std::vector<std::string>;

struct Sdk : HostTest {
    // The first call finds the engine; the tests then look at one call alone.
    void SetUp() override {
        HostTest::SetUp();
        ASSERT_FALSE(run(none));
        pelkor::clear_log();
        fake::clear_log();
    }
};

}  // namespace

err_t pkrFunction(int nlhs, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    return g_body ? g_body(nlhs, plhs, nrhs, prhs) : err_ok();
}

// ------------------------------------------------------------ the engine handle

TEST_F(HostTest, EngineNotFoundIsAskedForAgainAndLocksOnceFound) {
    struct answer {
        const char *what;
        fake::function f;
    };
    const std::vector<answer> answers = {
        {"missing", nullptr},
        {"raises", [](int, mxArray **, int, mxArray **) { fake::fail("x:y", "no engine here"); }},
        {"null handle", [](int, mxArray **o, int, mxArray **) { o[0] = fake::scalar_u64(0); }},
        {"text", [](int, mxArray **o, int, mxArray **) { o[0] = mxCreateString("engine"); }},
        {"empty", [](int, mxArray **o, int, mxArray **) { o[0] = fake::matrix(0, 0, mxDOUBLE_CLASS); }},
        {"too small", [](int, mxArray **o, int, mxArray **) { o[0] = fake::matrix(1, 1, mxUINT8_CLASS); }},
        {"no output", [](int, mxArray **, int, mxArray **) {}},
    };
    bool entered = false;
    g_body = [&](int, mxArray *[], int, const mxArray *[]) {
        entered = true;
        return err_ok();
    };
    for (const answer &a : answers) {
        SCOPED_TRACE(a.what);
        if (a.f) fake::define("gpu_entry", a.f);
        else fake::undefine("gpu_entry");
        fake::clear_log();
        std::optional<fake::raised> r;
        try {
            std::vector<mxArray *> plhs(1);
            mexFunction(0, plhs.data(), 0, nullptr);
        } catch (const fake::raised &e) {
            r = e;
        }
        ASSERT_TRUE(r);
        EXPECT_EQ(r->id, "Pelkor:SDK");
        EXPECT_EQ(r->message, "unable to find Pelkor engine (calls:472)");
        EXPECT_EQ(fake::log(), (strings{"trap 1", "call gpu_entry", "trap 0"}));
        EXPECT_EQ(fake::locks(), 0);
        EXPECT_EQ(call_gpgpu(), nullptr);
        EXPECT_FALSE(entered);
    }
    define_host_functions();
    fake::clear_log();
    for (int i = 0; i < 2; ++i) ASSERT_FALSE(run(none));
    EXPECT_EQ(call_gpgpu(), pelkor::engine());
    EXPECT_EQ(fake::locks(), 1);
    int fetches = 0;
    for (const std::string &e : fake::log()) fetches += e == "call gpu_entry";
    EXPECT_EQ(fetches, 1);
}

// ------------------------------------------------------------ call sequences

struct sequence {
    const char *name;
    std::function<std::vector<mxArray *>()> inputs;
    body b;
    strings engine_calls;     // from the start of pkrFunction
    const char *raised;       // null: none
};

TEST_F(Sdk, CallSequencesAskTheEngineInOrder) {
    uint64_t d = 0;
    void *h = nullptr;
    auto no_inputs = [] { return std::vector<mxArray *>{}; };
    auto one_gpu = [] { return std::vector<mxArray *>{gpu(counting(2, 2))}; };
    auto one_data = [] { return std::vector<mxArray *>{counting(2, 2)}; };
    // Failed calls end with the host destroying their objects ("drop"). Every
    // call gives back exactly the references it took: once the host has
    // destroyed the outputs and the inputs too, nothing is left.
    const std::vector<sequence> table = {
        {"output accessed twice", no_inputs,
         [&](int, mxArray *o[], int, const mxArray *[]) {
             o[0] = pkr_new(2, 3, mxSINGLE_CLASS, false);
             err_t e = pkr_mem(&d, o[0]);
             return err_failed(e) ? e : pkr_mem(&d, o[0]);
         },
         {"alloc_array b1 24", "attach b1", "dev_first_write b1", "dev_access b1", "end_call", "unlock b1",
          "free b1"},
         nullptr},
        {"output on the host", no_inputs,
         [&](int, mxArray *o[], int, const mxArray *[]) {
             o[0] = pkr_new(1, 1, mxDOUBLE_CLASS, true);
             err_t e = pkr_mem_host(&h, o[0]);
             return err_failed(e) ? e : pkr_mem_host(&h, o[0]);
         },
         {"alloc_array b1 16", "attach b1", "host_first_write b1", "host_access b1", "end_call", "unlock b1",
          "free b1"},
         nullptr},
        {"GPU input twice", one_gpu,
         [&](int, mxArray *[], int, const mxArray *i[]) {
             err_t e = pkr_mem(&d, i[0]);
             return err_failed(e) ? e : pkr_mem_host(&h, i[0]);
         },
         {"materialize garray", "dev_access b1", "materialize garray", "host_access b1", "end_call",
          "unlock b1", "unlock b1"},
         nullptr},
        {"MATLAB input", one_data,
         [&](int, mxArray *[], int, const mxArray *i[]) { return pkr_mem(&d, i[0]); },
         {"materialize data b1", "dev_access b1", "end_call", "unlock b1"}, nullptr},
        {"temporary", no_inputs,
         [&](int, mxArray *[], int, const mxArray *[]) { return pkr_alloc(&d, 64); },
         {"alloc b1 64", "dev_first_write b1", "end_call", "free b1"}, nullptr},
        {"temporary linked to an accessed output", no_inputs,
         [&](int, mxArray *o[], int, const mxArray *[]) {
             o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
             uint64_t t = 0;
             pkr_mem(&d, o[0]);
             pkr_alloc(&t, 16);
             return pkr_link(o[0], t);
         },
         {"alloc_array b1 16", "attach b1", "dev_first_write b1", "alloc b2 16", "dev_first_write b2",
          "unlock b1", "free b1", "free b1", "attach b2", "end_call", "unlock b2", "free b2"},
         nullptr},
        {"temporary linked to a fresh output", no_inputs,
         [&](int, mxArray *o[], int, const mxArray *[]) {
             o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
             uint64_t t = 0;
             pkr_alloc(&t, 16);
             return pkr_link(o[0], t);
         },
         {"alloc_array b1 16", "alloc b2 16", "dev_first_write b2", "unlock b1", "free b1", "attach b2",
          "end_call", "unlock b2", "free b2"},
         nullptr},
        {"two outputs in one buffer", no_inputs,
         [&](int, mxArray *o[], int, const mxArray *[]) {
             const dim_t sizes[] = {2, 2};
             err_t e = pkr_new_offset(&o[0], &o[1], 2, sizes, mxSINGLE_CLASS, false, 3);
             if (!err_failed(e)) e = pkr_mem(&d, o[1]);
             return err_failed(e) ? e : pkr_mem(&d, o[0]);
         },
         {"alloc b1 96", "subbuffer b2 b1 48 48", "attach b2", "attach b2", "dev_first_write b2",
          "dev_access b1", "end_call", "unlock b1", "free b2"},
         nullptr},
        {"punt of an output", one_gpu,
         [&](int, mxArray *o[], int, const mxArray *i[]) {
             o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
             pkr_mem(&d, o[0]);
             return pkr_punt(7, o[0], i[0], nullptr);
         },
         {"alloc_array b2 16", "attach b2", "dev_first_write b2", "unlock b2", "free b2", "free b2", "end_call"},
         nullptr},
        {"duplicate sharing the input", one_gpu,
         [&](int, mxArray *o[], int, const mxArray *i[]) {
             pelkor::set_needs_copy(0);
             err_t e = call_duplicate(&o[0], i[0]);
             return err_failed(e) ? e : pkr_mem(&d, o[0]);
         },
         {"materialize garray", "needs_copy b1", "share b1", "unlock b1", "attach b1", "dev_first_write b1",
          "end_call", "unlock b1", "free b1"},
         nullptr},
        {"duplicate copying the input", one_gpu,
         [&](int, mxArray *o[], int, const mxArray *i[]) {
             pelkor::set_needs_copy(1);
             return call_duplicate(&o[0], i[0]);
         },
         {"materialize garray", "needs_copy b1", "copy b2 b1", "end_call", "unlock b2"}, nullptr},
        {"entry error after access releases the output", no_inputs,
         [&](int, mxArray *o[], int, const mxArray *[]) {
             o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
             pkr_mem(&d, o[0]);
             pkr_alloc(&d, 8);
             return err_set(591, "knorlmex", "wrong number of inputs");
         },
         {"alloc_array b1 16", "attach b1", "dev_first_write b1", "alloc b2 8", "dev_first_write b2",
          "unlock b1", "free b1", "free b2", "end_call", "drop b1"},
         "wrong number of inputs (knorlmex:591)"},
        {"engine error in an access releases the call", one_gpu,
         [&](int, mxArray *o[], int, const mxArray *i[]) {
             o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
             pkr_mem(&d, i[0]);
             pelkor::inject("dev_first_write", err_t{77, "pelkor", "device lost"});
             return pkr_mem(&d, o[0]);
         },
         {"alloc_array b2 16", "materialize garray", "dev_access b1", "attach b2", "dev_first_write b2",
          "unlock b2", "free b2", "unlock b1", "end_call", "drop b2"},
         "device lost (pelkor:77)"},
        {"raise inside pkrFunction releases the call", one_gpu,
         [&](int, mxArray *o[], int, const mxArray *i[]) {
             o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
             pkr_mem(&d, i[0]);
             pelkor::inject("alloc_array", err_t{1, "pelkor", "x"});
             pkr_new(2, 2, mxSINGLE_CLASS, false);
             return err_ok();
         },
         {"alloc_array b2 16", "materialize garray", "dev_access b1", "alloc_array null 16", "unlock b2",
          "unlock b1", "end_call", "drop b2"},
         "unable to allocate GPU memory (calls:72)"},
    };
    for (const sequence &s : table) {
        SCOPED_TRACE(s.name);
        pelkor::reset();
        std::vector<mxArray *> in = s.inputs();
        pelkor::clear_log();
        std::vector<mxArray *> out;
        std::optional<fake::raised> r = run(in, s.b, &out);
        EXPECT_EQ(pelkor::log(), s.engine_calls);
        if (s.raised) {
            ASSERT_TRUE(r);
            EXPECT_EQ(r->message, s.raised);
            EXPECT_EQ(r->id, std::string(s.raised).find("(calls:") != std::string::npos ? "Pelkor:SDK"
                                                                                        : "pelkor:runtime");
            EXPECT_EQ(pelkor::live_buffers(), in.size());  // only the inputs' own
        } else {
            EXPECT_FALSE(r) << r->message;
        }
        EXPECT_TRUE(pelkor::open_holds().empty()) << ::testing::PrintToString(pelkor::open_holds());
        destroy(out);
        destroy(in);
        EXPECT_EQ(pelkor::live_buffers(), 0u);
        EXPECT_TRUE(pelkor::faults().empty()) << ::testing::PrintToString(pelkor::faults());
    }
}

TEST_F(Sdk, PuntReturnsNothingRaisedAndEndsTheCall) {
    std::vector<mxArray *> out;
    auto r = run({}, [](int, mxArray *o[], int, const mxArray *[]) {
        o[0] = pkr_new(1, 1, mxSINGLE_CLASS, false);
        return pkr_punt(3, o[0], nullptr, nullptr);
    }, &out);
    EXPECT_FALSE(r);
    EXPECT_EQ(pelkor::log().back(), "end_call");
    EXPECT_EQ(m_stack(out[0])->kind, 2);
    EXPECT_EQ(mxGetField(out[0], 0, "leftop"), nullptr);
}

// ------------------------------------------------------------ list limits

TEST_F(Sdk, TheTwentyFirstEntryOfEachListIsRefused) {
    struct limit {
        const char *what;
        std::function<err_t(const mxArray *in)> op;
        const char *expected;
        const char *id;
    };
    const char *full = "internal error: too many internal allocations";
    const std::vector<limit> limits = {
        {"pkr_mem", [](const mxArray *in) { uint64_t d; return pkr_mem(&d, in); }, "326", "pelkor:runtime"},
        {"pkr_mem_host", [](const mxArray *in) { void *h; return pkr_mem_host(&h, in); }, "352", "pelkor:runtime"},
        {"pkr_alloc", [](const mxArray *) { uint64_t d; return pkr_alloc(&d, 4); }, "365", "pelkor:runtime"},
        {"call_duplicate", [](const mxArray *in) { mxArray *d; return call_duplicate(&d, in); }, "392",
         "pelkor:runtime"},
        {"pkr_new", [](const mxArray *) { pkr_new(1, 1, mxSINGLE_CLASS, false); return err_ok(); }, "68",
         "Pelkor:SDK"},
        {"pkr_new_offset",
         [](const mxArray *) {
             mxArray *a, *b;
             const dim_t one[] = {1};
             return pkr_new_offset(&a, &b, 1, one, mxSINGLE_CLASS, false, 0);
         },
         "110", "Pelkor:SDK"},
    };
    for (const limit &l : limits) {
        SCOPED_TRACE(l.what);
        pelkor::reset();
        pelkor::set_needs_copy(1);
        mxArray *in = gpu(counting(1, 1));
        int done = 0;
        auto r = run({in}, [&](int, mxArray *[], int, const mxArray *i[]) {
            for (;; ++done) {
                err_t e = l.op(i[0]);
                if (err_failed(e)) return e;
            }
        });
        EXPECT_EQ(done, 20);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->id, l.id);
        EXPECT_EQ(r->message, std::string(full) + " (calls:" + l.expected + ")");
        EXPECT_EQ(pelkor::live_buffers(), 1u);  // the input's; nothing of the call is left
        EXPECT_TRUE(pelkor::open_holds().empty());
    }
}

// ------------------------------------------------------------ GPU array objects

TEST_F(Sdk, DimensionsOfNewArrays) {
    const std::vector<std::pair<std::vector<dim_t>, std::vector<uint64_t>>> cases = {
        {{4, 5, 1, 1}, {4, 5}}, {{4, 1, 3, 1}, {4, 1, 3}}, {{7}, {7, 1}}, {{0}, {0, 0}},
        {{}, {0, 0}},           {{1, 1}, {1, 1}},          {{2, 3, 4}, {2, 3, 4}},
    };
    for (const auto &c : cases) {
        std::vector<mxArray *> out;
        ASSERT_FALSE(run({}, [&](int, mxArray *o[], int, const mxArray *[]) {
            o[0] = pkr_new_array(c.first.size(), c.first.data(), mxSINGLE_CLASS, false);
            return err_ok();
        }, &out));
        EXPECT_EQ(dims_of(out[0]), c.second) << ::testing::PrintToString(c.first);
        EXPECT_EQ(pkr_numel(out[0]), c.first.empty() ? 0u : [&] {
            dim_t n = 1;
            for (dim_t s : c.first) n *= s;
            return n;
        }());
    }
}

TEST_F(Sdk, RecordBytesOfANewArray) {
    std::vector<mxArray *> out;
    ASSERT_FALSE(run({}, [&](int, mxArray *o[], int, const mxArray *[]) {
        o[0] = pkr_new_N(1024, 768, mxDOUBLE_CLASS, true, 5);  // 12 MiB
        o[1] = pkr_new_sparse(3, 4, mxSINGLE_CLASS, false, 9);
        return err_ok();
    }, &out));
    const mxArray *stack = mxGetField(out[0], 0, "stack");
    ASSERT_EQ(mxGetClassID(stack), mxINT8_CLASS);
    ASSERT_EQ(mxGetNumberOfElements(stack), 56u);
    const auto *bytes = static_cast<const unsigned char *>(mxGetData(stack));
    auto word = [&](size_t off, size_t n) {
        uint64_t v = 0;
        std::memcpy(&v, bytes + off, n);
        return v;
    };
    EXPECT_EQ(word(0, 8), reinterpret_cast<uint64_t>(pelkor::engine()));
    EXPECT_EQ(word(8, 4), uint64_t(mxDOUBLE_CLASS));
    EXPECT_EQ(word(12, 4), 0u);             // kind
    EXPECT_EQ(word(16, 1), 1u);             // complex
    EXPECT_EQ(word(17, 1), 0u);             // sparse
    EXPECT_EQ(word(20, 4), 5u);             // tesk
    EXPECT_EQ(word(24, 4), 1u);             // bananas
    EXPECT_EQ(word(28, 4), 12u);            // kiwis
    EXPECT_EQ(word(32, 8), 0u);             // nzmax
    EXPECT_EQ(word(40, 8), reinterpret_cast<uint64_t>(m_buffer(out[0])));
    EXPECT_EQ(m_buffer(out[0])->nbytes, 1024u * 768 * 16);
    EXPECT_EQ(word(48, 8), 0u);             // reserved
    for (const char *f : {"leftop", "rightop"}) EXPECT_EQ(mxGetField(out[0], 0, f), nullptr);
    const stack_rec_t *sparse = m_stack(out[1]);
    EXPECT_EQ(sparse->sparse, 1);
    EXPECT_EQ(sparse->nzmax, 9u);
    EXPECT_EQ(sparse->bananas, 1u);
    // Values, then row indices, then column starts, in one block.
    char block[4 * 9 + 8 * 9 + 8 * 5];
    EXPECT_EQ(static_cast<char *>(pkr_sparse_ir(out[1], block)), block + 4 * 9);
    EXPECT_EQ(static_cast<char *>(pkr_sparse_jc(out[1], block)), block + 4 * 9 + 8 * 9);
}

TEST_F(Sdk, OffsetPairSharesOneBuffer) {
    std::vector<mxArray *> out;
    ASSERT_FALSE(run({}, [&](int, mxArray *o[], int, const mxArray *[]) {
        const dim_t sizes[] = {2, 2};
        return pkr_new_offset(&o[0], &o[1], 2, sizes, mxSINGLE_CLASS, false, 3);
    }, &out));
    buffer_t *a = m_buffer(out[0]), *b = m_buffer(out[1]);
    EXPECT_EQ(a->nbytes, 96u);
    EXPECT_TRUE(a->is_root);
    EXPECT_FALSE(b->is_root);
    EXPECT_EQ(b->parent, a);
    EXPECT_EQ(b->nbytes, 48u);
    EXPECT_EQ(b->dev_ptr, a->dev_ptr + 48);
    EXPECT_EQ(m_stack(out[1])->kiwis, 0u);
}

TEST_F(Sdk, OffsetPairTooLargeForThirtyTwoBitCountsRaises) {
    // Two 2^29-element single arrays need 2^32 bytes: the count would wrap to 0.
    auto r = run({}, [](int, mxArray *o[], int, const mxArray *[]) {
        o[0] = pkr_new(1, 1, mxSINGLE_CLASS, false);
        const dim_t sizes[] = {dim_t(1) << 29};
        return pkr_new_offset(&o[1], &o[2], 1, sizes, mxSINGLE_CLASS, false, 0);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "Pelkor:SDK");
    EXPECT_EQ(r->message, "GPU array too large for the engine (calls:112)");
    EXPECT_EQ(pelkor::live_buffers(), 0u);
    for (const std::string &e : pelkor::log()) EXPECT_NE(e.rfind("alloc ", 0), 0u) << e;
}

TEST_F(Sdk, FailedGarrayCallRaisesAndReleasesTheCall) {
    auto r = run({}, [](int, mxArray *o[], int, const mxArray *[]) {
        o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
        fake::define("garray", [](int, mxArray **, int, mxArray **) { fake::fail("x:y", "no class"); });
        o[1] = pkr_new(2, 2, mxSINGLE_CLASS, false);
        return err_ok();
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "Pelkor:SDK");
    EXPECT_EQ(r->message, "unable to create GPU array object (calls:62)");
    EXPECT_EQ(pelkor::live_buffers(), 0u);
}

// ------------------------------------------------------------ inputs

TEST_F(Sdk, IteratorIdsOfGpuInputs) {
    struct inputs {
        std::vector<int> tesks;  // -1: MATLAB data
        bool raises;
    };
    const std::vector<inputs> cases = {
        {{1, 2}, true}, {{1, -1, 2}, true}, {{1, 0, 2}, false}, {{3, 3, 0, 3}, false}, {{0, 5, -1, 5}, false},
        {{2, 0, 1, 1, 2}, true},
    };
    for (const inputs &c : cases) {
        std::vector<mxArray *> in;
        for (int t : c.tesks) in.push_back(t < 0 ? counting(1, 1) : gpu(counting(1, 1), unsigned(t)));
        bool entered = false;
        auto r = run(in, [&](int, mxArray *[], int, const mxArray *[]) {
            entered = true;
            return err_ok();
        });
        EXPECT_EQ(bool(r), c.raises) << ::testing::PrintToString(c.tesks);
        EXPECT_EQ(entered, !c.raises);
        if (r) {
            EXPECT_EQ(r->message, "unsupported: using multiple iterators (calls:496)");
        }
    }
}

TEST_F(Sdk, LargeExpressionsAreMaterializedBeforeTheCall) {
    const unsigned max = pelkor::engine()->kiwis_max;
    struct input {
        unsigned bananas, kiwis;
        bool materialized;
    };
    for (const input &c : std::vector<input>{{20, max, false}, {21, 0, true}, {1, max + 1, true}, {1, 0, false}}) {
        mxArray *g = gpu(counting(1, 1), 0, c.bananas, c.kiwis);
        pelkor::clear_log();
        ASSERT_FALSE(run({g}, none));
        EXPECT_EQ(!pelkor::log().empty() && pelkor::log()[0] == "materialize garray", c.materialized)
            << c.bananas << " " << c.kiwis;
    }
    mxArray *g = gpu(counting(1, 1), 0, 30);
    pelkor::inject("materialize", err_t{12, "pelkor", "out of memory"});
    bool entered = false;
    auto r = run({g}, [&](int, mxArray *[], int, const mxArray *[]) {
        entered = true;
        return err_ok();
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "Pelkor:SDK");
    EXPECT_EQ(r->message, "out of memory (pelkor:12)");
    EXPECT_FALSE(entered);
}

TEST_F(Sdk, PendingDeviceErrorIsClearedAtTheEnd) {
    int x = 0;
    ASSERT_NE(dev::free(&x), 0);  // not a device block: leaves an error pending
    ASSERT_NE(dev::peek_last_error(), 0);
    ASSERT_FALSE(run(none));
    EXPECT_EQ(dev::peek_last_error(), 0);
}

// ------------------------------------------------------------ profiling pre-hook

TEST_F(Sdk, ProfilingHandsTheCallToTarvexInternalOnce) {
    std::vector<std::string> seen;
    int nested = 0;
    fake::define("mfilename", [](int, mxArray **o, int, mxArray **) { o[0] = mxCreateString("caller"); });
    fake::define("tarvex_internal", [&](int, mxArray **, int n, mxArray **in) {
        char *name = mxArrayToString(in[0]);
        seen.push_back(std::string(name) + " " + std::to_string(int(mxGetScalar(in[1]))) + " " +
                       std::to_string(n - 2));
        mxFree(name);
        EXPECT_EQ(pelkor::engine()->tarvex_on, 0);
        ++nested;
        std::vector<mxArray *> plhs(1);  // the module again, as the profiler does: no second run
        mexFunction(0, plhs.data(), 0, nullptr);
    });
    pelkor::engine()->tarvex_on = 1;
    fake::clear_log();
    int entered = 0;
    ASSERT_FALSE(run({counting(1, 1), counting(1, 1)}, [&](int, mxArray *[], int, const mxArray *[]) {
        ++entered;
        return err_ok();
    }));
    EXPECT_EQ(seen, strings{"caller 1 2"});
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(entered, 2);  // the nested call and the call itself
    EXPECT_EQ(pelkor::engine()->tarvex_on, 1);
    EXPECT_EQ(fake::log(), (strings{"call mfilename", "shared_data_copy", "shared_data_copy", "trap 1",
                                    "call tarvex_internal", "trap 0"}));

    fake::define("tarvex_internal", [](int, mxArray **, int, mxArray **) { fake::fail("x:y", "mismatch"); });
    entered = 0;
    auto r = run({}, none);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "Pelkor:SDK");
    EXPECT_EQ(r->message, "GPU output did not match CPU output (Pelkor or precision bug); perhaps try a "
                          "smaller data size? (calls:458)");
    EXPECT_EQ(pelkor::engine()->tarvex_on, 1);
    EXPECT_EQ(fake::trap_flag(), 0);
}

// ------------------------------------------------------------ casts, wraps, punts

TEST_F(Sdk, CastCodes) {
    struct cast {
        mxClassID from;
        bool complex;
        mxClassID to;
        uint32_t op;
    };
    const std::vector<cast> casts = {
        {mxSINGLE_CLASS, false, mxDOUBLE_CLASS, 1026}, {mxSINGLE_CLASS, true, mxDOUBLE_CLASS, 516},
        {mxDOUBLE_CLASS, true, mxSINGLE_CLASS, 517},   {mxDOUBLE_CLASS, false, mxSINGLE_CLASS, 1026},
        {mxSINGLE_CLASS, true, mxINT8_CLASS, 1026},
    };
    for (const cast &c : casts) {
        mxArray *g = gpu(counting(2, 3, c.from, c.complex), 4, 5, 6);
        mxArray *r = nullptr;
        ASSERT_FALSE(run({g}, [&](int, mxArray *[], int, const mxArray *i[]) {
            r = pkr_cast(i[0], c.to);
            return err_ok();
        }));
        const stack_rec_t *rec = m_stack(r);
        EXPECT_EQ(rec->kind, 2);
        EXPECT_EQ(rec->op.op_code, c.op);
        EXPECT_EQ(rec->op.op_flag, 0);
        EXPECT_EQ(rec->class_id, c.to);
        EXPECT_EQ(rec->complex, c.complex);
        EXPECT_EQ(rec->tesk, 4u);
        EXPECT_EQ(rec->bananas, 5u);
        EXPECT_EQ(rec->kiwis, 6u);
        EXPECT_EQ(dims_of(r), (std::vector<uint64_t>{2, 3}));
        EXPECT_TRUE(m_is_garray(mxGetField(r, 0, "leftop")));
    }
}

TEST_F(Sdk, CastToItsOwnClassIsTheSharedDataCopy) {
    mxArray *g = gpu(counting(2, 2, mxSINGLE_CLASS));
    mxArray *r = nullptr;
    fake::clear_log();
    ASSERT_FALSE(run({g}, [&](int, mxArray *[], int, const mxArray *i[]) {
        fake::clear_log();
        r = pkr_cast(i[0], mxSINGLE_CLASS);
        return err_ok();
    }));
    EXPECT_EQ(fake::log(), strings{"shared_data_copy"});
    EXPECT_NE(r, g);
    EXPECT_EQ(m_buffer(r), m_buffer(g));
}

TEST_F(Sdk, CastAndWrapOfMatlabData) {
    mxArray *data = counting(3, 1, mxDOUBLE_CLASS, true);
    mxArray *r = nullptr, *w = nullptr;
    ASSERT_FALSE(run({data}, [&](int, mxArray *[], int, const mxArray *i[]) {
        r = pkr_cast(i[0], mxINT8_CLASS);
        pelkor::engine()->double_enabled = 0;
        w = pkr_wrap(i[0]);
        return err_ok();
    }));
    for (mxArray *a : {r, w}) {
        const stack_rec_t *rec = m_stack(a);
        EXPECT_EQ(rec->kind, 1);
        EXPECT_EQ(rec->op.op_code, 3u);
        EXPECT_EQ(rec->complex, 1);
        EXPECT_EQ(rec->bananas, 1u);
        EXPECT_EQ(rec->kiwis, 0u);
        EXPECT_EQ(dims_of(a), (std::vector<uint64_t>{3, 1}));
        EXPECT_EQ(values(mxGetField(a, 0, "leftop")), (std::vector<double>{1, 2, 3}));
    }
    EXPECT_EQ(m_stack(r)->class_id, mxINT8_CLASS);
    EXPECT_EQ(m_stack(w)->class_id, mxSINGLE_CLASS);
}

TEST_F(Sdk, PuntBuildsTheExpressionNode) {
    mxArray *l = gpu(counting(2, 2, mxSINGLE_CLASS), 0, 5, 2);
    mxArray *r = gpu(counting(2, 2, mxSINGLE_CLASS), 0, 5, 3);
    mxArray *scalar = counting(1, 1, mxDOUBLE_CLASS, true);
    std::vector<mxArray *> out;
    ASSERT_FALSE(run({l, r, scalar}, [&](int, mxArray *o[], int, const mxArray *i[]) {
        o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
        o[1] = pkr_new(2, 2, mxSINGLE_CLASS, false);
        pkr_punt(42, o[0], i[0], i[1]);
        return pkr_punt(43, o[1], nullptr, i[2]);
    }, &out));
    const stack_rec_t *two = m_stack(out[0]);
    EXPECT_EQ(two->kind, 2);
    EXPECT_EQ(two->op.op_code, 42u);
    EXPECT_EQ(two->op.op_flag, 0);
    EXPECT_EQ(two->bananas, 11u);
    EXPECT_EQ(two->kiwis, 5u);
    EXPECT_EQ(m_buffer(mxGetField(out[0], 0, "leftop")), m_buffer(l));
    EXPECT_EQ(m_buffer(mxGetField(out[0], 0, "rightop")), m_buffer(r));
    const stack_rec_t *one = m_stack(out[1]);
    EXPECT_EQ(one->bananas, 1u);
    EXPECT_EQ(one->kiwis, 0u);
    const mxArray *s = mxGetField(out[1], 0, "leftop");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(mxGetField(out[1], 0, "rightop"), nullptr);
    EXPECT_EQ(mxGetClassID(s), mxSINGLE_CLASS);
    EXPECT_EQ(values(s), std::vector<double>{1});
    EXPECT_EQ(imag_values(s), std::vector<double>{-1});
    EXPECT_EQ(pelkor::live_buffers(), 2u);  // the outputs' buffers went back
}

// ------------------------------------------------------------ link and duplicate

TEST_F(Sdk, LinkRefusesWhatIsNoTemporaryOrNoOutput) {
    mxArray *in = gpu(counting(2, 2, mxSINGLE_CLASS));
    std::vector<mxArray *> out;
    ASSERT_FALSE(run({in}, [&](int, mxArray *o[], int, const mxArray *i[]) {
        o[0] = pkr_new(2, 2, mxSINGLE_CLASS, false);
        uint64_t d = 0, t = 0;
        pkr_mem(&d, o[0]);
        pkr_alloc(&t, 16);
        pelkor::clear_log();
        err_t e = pkr_link(o[0], d);  // the output's own address
        EXPECT_EQ(e.line, 374);
        EXPECT_STREQ(e.msg, "pkr_link: address is not a temporary of this call");
        e = pkr_link(const_cast<mxArray *>(i[0]), t);
        EXPECT_EQ(e.line, 375);
        EXPECT_STREQ(e.msg, "pkr_link: array is not an output of this call");
        EXPECT_TRUE(pelkor::log().empty());
        return err_ok();
    }, &out));
    EXPECT_NE(m_buffer(out[0]), nullptr);
    EXPECT_FALSE(pelkor::state(m_buffer(out[0])).dead);
    EXPECT_FALSE(pelkor::state(m_buffer(in)).dead);
    EXPECT_EQ(pelkor::live_buffers(), 2u);  // input and output; the temporary went at the end
}

TEST_F(Sdk, LinkIntoEitherOutputOfAPairKeepsTheOther) {
    // Outputs A (1s) and B (2s) in one buffer; temporaries of 7s and 8s linked
    // into one of them or both, after accessing A or B first.
    struct link_case {
        const char *what;
        bool b_first;
        std::vector<int> linked;  // 0: A, 1: B, in order
    };
    const std::vector<link_case> cases = {
        {"A, A accessed first", false, {0}}, {"A, B accessed first", true, {0}},
        {"B, A accessed first", false, {1}}, {"B, B accessed first", true, {1}},
        {"both", false, {1, 0}},
    };
    for (const link_case &c : cases) {
        SCOPED_TRACE(c.what);
        pelkor::reset();
        std::vector<mxArray *> out;
        ASSERT_FALSE(run({}, [&](int, mxArray *o[], int, const mxArray *[]) {
            const dim_t sizes[] = {2, 2};
            err_t e = pkr_new_offset(&o[0], &o[1], 2, sizes, mxSINGLE_CLASS, false, 0);
            for (int k : c.b_first ? std::vector<int>{1, 0} : std::vector<int>{0, 1}) {
                void *h = nullptr;
                if (!err_failed(e)) e = pkr_mem_host(&h, o[k]);
                if (!err_failed(e)) std::fill_n(static_cast<float *>(h), 4, float(k + 1));
            }
            for (int k : c.linked) {
                uint64_t t = 0;
                if (!err_failed(e)) e = pkr_alloc(&t, 16);
                const std::vector<float> v(4, float(7 + k));
                if (!err_failed(e)) EXPECT_EQ(dev::memcpy_htod(reinterpret_cast<void *>(t), v.data(), 16), 0);
                if (!err_failed(e)) e = pkr_link(o[k], t);
            }
            return e;
        }, &out));
        for (int k = 0; k < 2; ++k) {
            bool linked = std::find(c.linked.begin(), c.linked.end(), k) != c.linked.end();
            err_t err{};
            mxArray *v = pelkor::read_back(out[k], &err);
            ASSERT_NE(v, nullptr) << err.msg;
            EXPECT_EQ(values(v), std::vector<double>(4, linked ? 7 + k : k + 1)) << k;
        }
        EXPECT_TRUE(pelkor::open_holds().empty());
        destroy(out);
        EXPECT_EQ(pelkor::live_buffers(), 0u);
        EXPECT_TRUE(pelkor::faults().empty()) << ::testing::PrintToString(pelkor::faults());
    }

    // With the output list full, B cannot move to an entry of its own.
    pelkor::reset();
    std::vector<mxArray *> out;
    ASSERT_FALSE(run({}, [&](int, mxArray *o[], int, const mxArray *[]) {
        const dim_t sizes[] = {2, 2};
        err_t e = pkr_new_offset(&o[0], &o[1], 2, sizes, mxSINGLE_CLASS, false, 0);
        for (int i = 0; i < 19; ++i) pkr_new(1, 1, mxSINGLE_CLASS, false);
        uint64_t t = 0;
        if (!err_failed(e)) e = pkr_alloc(&t, 16);
        buffer_t *view = m_buffer(o[1]);
        e = pkr_link(o[1], t);
        EXPECT_EQ(e.line, 376);
        EXPECT_STREQ(e.msg, "internal error: too many internal allocations");
        EXPECT_EQ(m_buffer(o[1]), view);
        return err_ok();
    }, &out));
    destroy(made_objects());
    EXPECT_EQ(pelkor::live_buffers(), 0u);
}

TEST_F(Sdk, DuplicateGivesTheInputItsOwnRecord) {
    mxArray *in = gpu(counting(2, 2, mxSINGLE_CLASS), 2);
    mxArray *stack_before = mxGetField(in, 0, "stack");
    std::vector<mxArray *> out;
    pelkor::set_needs_copy(0);
    fake::clear_log();
    ASSERT_FALSE(run({in}, [&](int, mxArray *o[], int, const mxArray *i[]) {
        return call_duplicate(&o[0], i[0]);
    }, &out));
    EXPECT_NE(mxGetField(in, 0, "stack"), stack_before);
    EXPECT_EQ(m_buffer(out[0]), m_buffer(in));
    EXPECT_EQ(pelkor::state(m_buffer(in)).refs, 2);
    const strings &host = fake::log();
    EXPECT_NE(std::find(host.begin(), host.end(), "unshare"), host.end());
    EXPECT_NE(std::find(host.begin(), host.end(), "shared_copy"), host.end());

    pelkor::set_needs_copy(1);
    ASSERT_FALSE(run({in}, [&](int, mxArray *o[], int, const mxArray *i[]) {
        return call_duplicate(&o[0], i[0]);
    }, &out));
    EXPECT_NE(m_buffer(out[0]), m_buffer(in));
    EXPECT_EQ(m_tesk(out[0]), 2u);
    EXPECT_EQ(dims_of(out[0]), (std::vector<uint64_t>{2, 2}));
}

TEST_F(Sdk, AllocFailureOfATemporaryIsReturned) {
    pelkor::inject("alloc", err_t{1, "pelkor", "x"});
    auto r = run({}, [](int, mxArray *o[], int, const mxArray *[]) {
        o[0] = pkr_new(1, 1, mxSINGLE_CLASS, false);
        uint64_t d = 0;
        return pkr_alloc(&d, 8);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, "pelkor:runtime");
    EXPECT_EQ(r->message, "unable to allocate GPU memory (calls:366)");
    EXPECT_EQ(pelkor::live_buffers(), 0u);
}

TEST_F(Sdk, ErrorTripleKeepsTheLastSiteOnSuccess) {
    err_t e = err_set(591, "knorlmex", "wrong number of inputs");
    EXPECT_EQ(e.line, 591);
    err_t ok = err_ok();
    EXPECT_EQ(ok.msg, nullptr);
    EXPECT_EQ(ok.line, 591);
    EXPECT_STREQ(ok.file, "knorlmex");
    EXPECT_TRUE(err_is_punt(err_punt()));
    EXPECT_EQ(_err.msg, pkr_punt_msg);
    testing::internal::CaptureStdout();
    pkr_diag(257, "set_paths", "Warning: Falling back to %s for compile.", "/home/u");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Pelkor:257(set_paths) Warning: Falling back to /home/u for compile.\n");
}

TEST_F(Sdk, PuntOfWhatIsNoGpuArrayIsRefused) {
    auto r = run({}, [](int, mxArray *o[], int, const mxArray *[]) {
        o[0] = fake::matrix(1, 1, mxSINGLE_CLASS);
        return pkr_punt(7, o[0], nullptr, nullptr);
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->message, "pkr_punt: output is not a GPU array (calls:402)");
}

TEST_F(Sdk, EngineFailuresOfEachStepReleaseTheCall) {
    struct failure {
        const char *op;  // injected
        std::function<err_t(mxArray *o[], const mxArray *in)> b;
        const char *raised;
    };
    const dim_t two[] = {2, 2};
    const std::vector<failure> table = {
        {"alloc", [&](mxArray *o[], const mxArray *) {
             return pkr_new_offset(&o[0], &o[1], 2, two, mxSINGLE_CLASS, false, 0);
         }, "unable to allocate GPU memory (calls:114)"},
        {"subbuffer", [&](mxArray *o[], const mxArray *) {
             return pkr_new_offset(&o[0], &o[1], 2, two, mxSINGLE_CLASS, false, 0);
         }, "unable to allocate GPU memory (calls:116)"},
        {"attach", [&](mxArray *o[], const mxArray *) {
             return pkr_new_offset(&o[0], &o[1], 2, two, mxSINGLE_CLASS, false, 0);
         }, "injected (pelkor:5)"},
        {"copy", [](mxArray *o[], const mxArray *in) {
             pelkor::set_needs_copy(1);
             return call_duplicate(&o[0], in);
         }, "injected (pelkor:5)"},
        {"share", [](mxArray *o[], const mxArray *in) {
             pelkor::set_needs_copy(0);
             return call_duplicate(&o[0], in);
         }, "injected (pelkor:5)"},
        {"materialize", [](mxArray *o[], const mxArray *in) {
             return call_duplicate(&o[0], in);
         }, "injected (pelkor:5)"},
        {"host_access", [](mxArray *[], const mxArray *in) {
             void *h;
             return pkr_mem_host(&h, in);
         }, "injected (pelkor:5)"},
        {"dev_first_write", [](mxArray *[], const mxArray *) {
             uint64_t d;
             return pkr_alloc(&d, 4);
         }, "injected (pelkor:5)"},
    };
    for (const failure &f : table) {
        SCOPED_TRACE(f.op);
        pelkor::reset();
        mxArray *in = gpu(counting(2, 2, mxSINGLE_CLASS));
        auto r = run({in}, [&](int, mxArray *o[], int, const mxArray *i[]) {
            uint64_t d;
            o[2] = pkr_new(1, 1, mxSINGLE_CLASS, false);  // something of the call to release
            pkr_mem(&d, o[2]);
            pelkor::inject(f.op, err_t{5, "pelkor", "injected"});
            return f.b(o, i[0]);
        });
        ASSERT_TRUE(r);
        EXPECT_EQ(r->message, f.raised);
        EXPECT_EQ(pelkor::live_buffers(), 1u);
        EXPECT_TRUE(pelkor::open_holds().empty());
        EXPECT_FALSE(pelkor::state(m_buffer(in)).dead);
        EXPECT_EQ(pelkor::state(m_buffer(in)).refs, 1);
    }
}
