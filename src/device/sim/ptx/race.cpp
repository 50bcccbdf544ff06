// Names of PTX instructions in the race checker's reports: a frame per
// instruction carries a made-up program counter (ops.h, race_pc) that the
// checker's symbolizer hook (race_hook.cpp) turns into the function and
// line. The names outlive their modules, since a report may show an access
// of a module unloaded since.
#include "module.h"

#if defined(__SANITIZE_THREAD__)
#include <atomic>

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#endif

namespace sim {
namespace ptx {

#if defined(__SANITIZE_THREAD__)
namespace {

struct site_name {
    const char *func;
    uint32_t line;
};
constexpr uint32_t max_sites = uint32_t(1) << 22;

// Written once per site before `published` counts it; read without a lock
// from inside the checker, where no lock may be taken.
site_name *sites() {
    static site_name *t = static_cast<site_name *>(std::calloc(max_sites, sizeof(site_name)));
    return t;
}
std::atomic<uint32_t> published{1};

}  // namespace

void name_race_sites(module &m) {
    static std::mutex mu;
    static std::map<std::pair<std::string, uint32_t>, uint32_t> ids;
    static std::set<std::string> names;
    std::lock_guard<std::mutex> lock(mu);
    site_name *t = sites();
    for (function &f : m.funcs) {
        const char *name = names.insert(f.name).first->c_str();
        for (insn &i : f.code) {
            auto it = ids.find({f.name, i.line});
            if (it == ids.end()) {
                const uint32_t id = published.load();
                if (!t || id >= max_sites) {
                    i.site = 0;
                    continue;
                }
                t[id] = site_name{name, i.line};
                published.store(id + 1, std::memory_order_release);
                it = ids.emplace(std::make_pair(f.name, i.line), id).first;
            }
            i.site = it->second;
        }
    }
}

bool race_site_name(uintptr_t pc, const char **func, int *line) {
    if ((pc >> 60) != 1) return false;
    const uint32_t id = uint32_t((pc & ((uintptr_t(1) << 60) - 1)) >> 4);
    if (id == 0 || id >= published.load(std::memory_order_acquire)) return false;
    *func = sites()[id].func;
    *line = int(sites()[id].line);
    return true;
}

}  // namespace ptx
}  // namespace sim
#else
void name_race_sites(module &) {}
bool race_site_name(uintptr_t, const char **, int *) { return false; }

}  // namespace ptx
}  // namespace sim
#endif
