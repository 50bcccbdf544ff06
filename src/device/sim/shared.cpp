// Static shared memory of the simulated device. A kernel's __shared__
// variables are thread-local statics of its function (simkernel.h), each
// declared with a red zone beside it. Their places and sizes come from the
// symbol table of the module that holds the kernel: so a launch counts them
// toward the shared-memory limit, each block starts with them filled with the
// poison pattern, and a write past an array into a red zone is reported
// (AddressSanitizer reports it at the write; otherwise the red zone's pattern
// is checked after the block).
#include "internal.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define SIM_SHARED_ASAN 1
#endif

extern "C" void *__tls_get_addr(void *);

namespace sim {
namespace detail {

namespace {

struct tls_symbol {
    std::string name;
    size_t offset, size;
};

struct module_syms {
    size_t tls_module = 0;             // the module's TLS index
    std::vector<tls_symbol> tls;       // thread-local objects
    std::unordered_map<uintptr_t, std::string> functions;  // by address in the file
    uintptr_t load_bias = 0;
};

struct shared_var {
    size_t offset, size;
    bool red_zone;
    std::string name;  // the variable's own name
};

struct kernel_shared {
    size_t tls_module = 0;
    std::vector<shared_var> vars;
    size_t bytes = 0;  // without the red zones
};

struct find_module {
    uintptr_t addr;
    std::string path;
    uintptr_t bias = 0;
    size_t modid = 0;
    bool found = false;
};

int match_module(dl_phdr_info *info, size_t, void *data) {
    auto *f = static_cast<find_module *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        if (f->addr >= lo && f->addr < lo + ph.p_memsz) {
            f->path = info->dlpi_name && *info->dlpi_name ? info->dlpi_name : "/proc/self/exe";
            f->bias = info->dlpi_addr;
            f->modid = info->dlpi_tls_modid;
            f->found = true;
            return 1;
        }
    }
    return 0;
}

// Reads the symbol table of the file; empty when it has none (stripped).
void read_symbols(const std::string &path, module_syms &m) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    void *map = fstat(fd, &st) == 0 ? mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0)
                                    : MAP_FAILED;
    close(fd);
    if (map == MAP_FAILED) return;
    const char *base = static_cast<const char *>(map);
    const auto *eh = reinterpret_cast<const ElfW(Ehdr) *>(base);
    if (size_t(st.st_size) >= sizeof *eh && std::memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 &&
        eh->e_shoff && eh->e_shoff + size_t(eh->e_shnum) * sizeof(ElfW(Shdr)) <= size_t(st.st_size)) {
        const auto *sh = reinterpret_cast<const ElfW(Shdr) *>(base + eh->e_shoff);
        for (unsigned i = 0; i < eh->e_shnum; ++i) {
            if (sh[i].sh_type != SHT_SYMTAB || sh[i].sh_link >= eh->e_shnum) continue;
            const auto *sym = reinterpret_cast<const ElfW(Sym) *>(base + sh[i].sh_offset);
            const char *names = base + sh[sh[i].sh_link].sh_offset;
            size_t n = sh[i].sh_size / sizeof(ElfW(Sym));
            for (size_t k = 0; k < n; ++k) {
                const char *name = names + sym[k].st_name;
                int type = ELF64_ST_TYPE(sym[k].st_info);
                if (type == STT_TLS && std::strncmp(name, "_ZZ", 3) == 0)
                    m.tls.push_back({name, size_t(sym[k].st_value), size_t(sym[k].st_size)});
                else if (type == STT_FUNC && sym[k].st_value && *name)
                    m.functions.emplace(uintptr_t(sym[k].st_value), name);
            }
        }
    }
    munmap(map, size_t(st.st_size));
}

std::mutex cache_m;

module_syms &module_of(const find_module &f) {
    static auto *modules = new std::unordered_map<std::string, std::unique_ptr<module_syms>>;
    auto &slot = (*modules)[f.path];
    if (!slot) {
        slot.reset(new module_syms);
        slot->tls_module = f.modid;
        slot->load_bias = f.bias;
        read_symbols(f.path, *slot);
    }
    return *slot;
}

// "_ZZ<function>E<len><name>[_<n>]": the variable's own name.
std::string local_name(const char *rest) {
    size_t len = 0;
    while (*rest >= '0' && *rest <= '9') len = len * 10 + size_t(*rest++ - '0');
    return std::string(rest, std::min(len, std::strlen(rest)));
}

const kernel_shared &shared_of(const void *kernel) {
    static auto *kernels = new std::unordered_map<const void *, std::unique_ptr<kernel_shared>>;
    std::lock_guard<std::mutex> lock(cache_m);
    auto &slot = (*kernels)[kernel];
    if (slot) return *slot;
    slot.reset(new kernel_shared);
    find_module f;
    f.addr = reinterpret_cast<uintptr_t>(kernel);
    dl_iterate_phdr(&match_module, &f);
    if (!f.found || f.modid == 0) return *slot;
    module_syms &m = module_of(f);
    auto fn = m.functions.find(f.addr - m.load_bias);
    if (fn == m.functions.end()) return *slot;
    // Statics of a function: "_ZZ" and its mangled name, or for an extern "C"
    // function its plain name with its length.
    const std::string &sym = fn->second;
    const std::string prefix = sym.compare(0, 2, "_Z") == 0
                                   ? "_ZZ" + sym.substr(2) + "E"
                                   : "_ZZ" + std::to_string(sym.size()) + sym + "E";
    slot->tls_module = m.tls_module;
    for (const tls_symbol &s : m.tls) {
        if (s.name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string own = local_name(s.name.c_str() + prefix.size());
        bool rz = own.compare(0, 7, "sim_rz_") == 0;
        slot->vars.push_back({s.offset, s.size, rz, own});
        if (!rz) slot->bytes += s.size;
    }
    // The compiler may lay the variables out in either order: an array with
    // no red zone of its own above it takes the one of whatever shared
    // variable follows it in the module.
    const size_t own = slot->vars.size();
    for (size_t i = 0; i < own; ++i) {
        const shared_var v = slot->vars[i];
        if (v.red_zone) continue;
        bool covered = false;
        for (size_t j = 0; j < own; ++j)
            covered |= slot->vars[j].red_zone && slot->vars[j].offset == v.offset + v.size;
        for (const tls_symbol &s : m.tls)
            if (!covered && s.offset == v.offset + v.size && s.name.find("sim_rz_") != std::string::npos) {
                slot->vars.push_back({s.offset, s.size, true, ""});
                covered = true;
            }
    }
    return *slot;
}

// The calling thread's address of offset 0 of the module's TLS block.
unsigned char *tls_base(size_t module) {
    static thread_local std::unordered_map<size_t, unsigned char *> bases;
    auto it = bases.find(module);
    if (it != bases.end()) return it->second;
    struct {
        unsigned long module, offset;
    } index{module, 0};
    auto *p = static_cast<unsigned char *>(__tls_get_addr(&index));
    bases.emplace(module, p);
    return p;
}

}  // namespace

size_t static_shared_bytes(const void *kernel) { return kernel ? shared_of(kernel).bytes : 0; }

void static_shared_begin(const void *kernel) {
    const kernel_shared &k = shared_of(kernel);
    if (k.vars.empty()) return;
    unsigned char *base = tls_base(k.tls_module);
    for (const shared_var &v : k.vars) {
        if (!v.red_zone) {
            std::memset(base + v.offset, poison_byte, v.size);
            continue;
        }
#if SIM_SHARED_ASAN
        ASAN_POISON_MEMORY_REGION(base + v.offset, v.size);
#else
        std::memset(base + v.offset, red_zone_byte, v.size);
#endif
    }
}

const char *static_shared_end(const void *kernel) {
    const kernel_shared &k = shared_of(kernel);
    if (k.vars.empty()) return nullptr;
    unsigned char *base = tls_base(k.tls_module);
    const char *overrun = nullptr;
    for (const shared_var &v : k.vars) {
        if (!v.red_zone) continue;
#if SIM_SHARED_ASAN
        ASAN_UNPOISON_MEMORY_REGION(base + v.offset, v.size);
#else
        for (size_t i = 0; i < v.size && !overrun; ++i)
            if (base[v.offset + i] != red_zone_byte) {
                overrun = "of the kernel";
                for (const shared_var &a : k.vars)
                    if (!a.red_zone && a.offset + a.size == v.offset) overrun = a.name.c_str();
            }
#endif
    }
    return overrun;
}

}  // namespace detail
}  // namespace sim
