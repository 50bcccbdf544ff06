// The engine stand-in's side of the end-to-end tests, as one MEX file:
//   h = pelkor_host('entry')                    the engine handle, as gpu_entry hands it out
//   g = pelkor_host('make', data, tesk, nodes, mib)   a GPU array holding data on the device
//   x = pelkor_host('read', g)                  its values read back from the device
//   r = pelkor_host('record', g)                its array record, field by field
//   b = pelkor_host('buffer', g)                its buffer: id, nbytes, is_root, parent, refs, held, dead
//   c = pelkor_host('log' | 'faults' | 'holds') the engine's call log, faults, open holds
//   n = pelkor_host('live')                     live buffers
//   pelkor_host('free', g)                      drops the array's reference to its buffer, as
//                                               the engine does when the array is cleared
//   pelkor_host('reclaim')                      gives back the device memory of every buffer
//                                               no call holds (reclaim_all)
//   pelkor_host('clear')                        forgets the log
//   pelkor_host('reset')                        frees everything, back to the defaults
//   pelkor_host('inject', op, line, file, msg [, count [, after]])
//   pelkor_host('set', name, value), v = pelkor_host('get', name)   tarvex_on, kiwis_max,
//                                               double_enabled; 'set' also needs_copy (0 shares, 1 copies)
//   pelkor_host('pending')                      leaves a runtime error pending on the device
//   e = pelkor_host('peek')                     the pending runtime error, not cleared
#include "control.h"

#include "device/device.h"

#include <cstring>
#include <deque>
#include <string>

namespace {

std::string text(const mxArray *a) {
    char *s = mxArrayToString(a);
    std::string t = s ? s : "";
    mxFree(s);
    return t;
}

mxArray *cells(const std::vector<std::string> &v) {
    mxArray *c = mxCreateCellMatrix(1, v.size());
    for (size_t i = 0; i < v.size(); ++i) mxSetCell(c, i, mxCreateString(v[i].c_str()));
    return c;
}

mxArray *number(double v) { return mxCreateDoubleScalar(v); }

mxArray *fields(const std::vector<std::pair<const char *, double>> &f) {
    std::vector<const char *> names;
    for (auto &p : f) names.push_back(p.first);
    mxArray *s = mxCreateStructMatrix(1, 1, static_cast<int>(names.size()), names.data());
    for (auto &p : f) mxSetField(s, 0, p.first, number(p.second));
    return s;
}

const stack_rec_t *record_of(const mxArray *g) {
    if (!m_is_garray(g)) mexErrMsgIdAndTxt("pelkor:host", "not a GPU array");
    return m_stack(g);
}

}  // namespace

void mexFunction(int, mxArray *plhs[], int nrhs, const mxArray *prhs[]) {
    if (nrhs < 1) mexErrMsgIdAndTxt("pelkor:host", "usage: pelkor_host(command, ...)");
    const std::string c = text(prhs[0]);
    engine_t *e = pelkor::engine();
    if (c == "entry") {
        plhs[0] = mxCreateNumericMatrix(1, 1, mxUINT64_CLASS, mxREAL);
        *static_cast<uint64_t *>(mxGetData(plhs[0])) = reinterpret_cast<uint64_t>(e);
    } else if (c == "make") {
        plhs[0] = pelkor::make_garray(prhs[1], static_cast<unsigned>(mxGetScalar(prhs[2])),
                                      static_cast<unsigned>(mxGetScalar(prhs[3])),
                                      static_cast<unsigned>(mxGetScalar(prhs[4])));
        if (!plhs[0]) mexErrMsgIdAndTxt("pelkor:host", "the engine cannot hold this data");
    } else if (c == "read") {
        err_t err{};
        plhs[0] = pelkor::read_back(prhs[1], &err);
        if (!plhs[0]) mexErrMsgIdAndTxt("pelkor:host", "%s", err.msg);
    } else if (c == "record") {
        const stack_rec_t *r = record_of(prhs[1]);
        plhs[0] = fields({{"engine_ok", r->engine == e},
                          {"class_id", r->class_id},
                          {"kind", r->kind},
                          {"complex", r->complex},
                          {"sparse", r->sparse},
                          {"tesk", r->tesk},
                          {"bananas", r->bananas},
                          {"kiwis", r->kiwis},
                          {"nzmax", double(r->nzmax)},
                          {"op_code", r->op.op_code},
                          {"op_flag", r->op.op_flag},
                          {"has_buffer", r->kind == rec_kind_buffer && r->buffer},
                          {"reserved", double(r->reserved)}});
    } else if (c == "buffer") {
        const buffer_t *b = m_buffer(prhs[1]);
        if (!b) mexErrMsgIdAndTxt("pelkor:host", "no buffer");
        pelkor::buffer_state s = pelkor::state(b);
        plhs[0] = fields({{"id", std::stod(pelkor::id(b).substr(1))},
                          {"nbytes", b->nbytes},
                          {"is_root", b->is_root},
                          {"parent", b->parent ? std::stod(pelkor::id(b->parent).substr(1)) : 0},
                          {"refs", s.refs},
                          {"held", s.held},
                          {"dead", s.dead}});
    } else if (c == "free") {
        record_of(prhs[1]);
        e->free(m_buffer(prhs[1]));
    } else if (c == "reclaim") {
        err_t r = e->reclaim_all(e);
        if (r.msg) mexErrMsgIdAndTxt("pelkor:host", "%s", r.msg);
    } else if (c == "log") {
        plhs[0] = cells(pelkor::log());
    } else if (c == "faults") {
        plhs[0] = cells(pelkor::faults());
    } else if (c == "holds") {
        plhs[0] = cells(pelkor::open_holds());
    } else if (c == "live") {
        plhs[0] = number(double(pelkor::live_buffers()));
    } else if (c == "clear") {
        pelkor::clear_log();
    } else if (c == "reset") {
        pelkor::reset();
    } else if (c == "inject") {
        // The triple's texts must outlive the call that returns them.
        static std::deque<std::string> texts;
        texts.push_back(text(prhs[3]));
        const char *file = texts.back().c_str();
        texts.push_back(text(prhs[4]));
        pelkor::inject(text(prhs[1]), err_t{static_cast<int>(mxGetScalar(prhs[2])), file, texts.back().c_str()},
                       nrhs > 5 ? static_cast<int>(mxGetScalar(prhs[5])) : 1,
                       nrhs > 6 ? static_cast<int>(mxGetScalar(prhs[6])) : 0);
    } else if (c == "set" || c == "get") {
        const std::string name = text(prhs[1]);
        const bool set = c == "set";
        const double v = set ? mxGetScalar(prhs[2]) : 0;
        double now = 0;
        if (name == "tarvex_on") {
            if (set) e->tarvex_on = v != 0;
            now = e->tarvex_on;
        } else if (name == "kiwis_max") {
            if (set) e->kiwis_max = static_cast<uint32_t>(v);
            now = e->kiwis_max;
        } else if (name == "double_enabled") {
            if (set) e->double_enabled = v != 0;
            now = e->double_enabled;
        } else if (name == "needs_copy" && set) {
            pelkor::set_needs_copy(static_cast<int>(v));
        } else {
            mexErrMsgIdAndTxt("pelkor:host", "unknown setting %s", name.c_str());
        }
        if (!set) plhs[0] = number(now);
    } else if (c == "pending") {
        int x = 0;
        dev::free(&x);  // not a device block
    } else if (c == "peek") {
        plhs[0] = number(dev::peek_last_error());
    } else {
        mexErrMsgIdAndTxt("pelkor:host", "unknown command %s", c.c_str());
    }
}
