// Helpers of the runtime tests: device contexts, captured and failing
// streams, and a parser for the allocator dumps.
#pragma once

#include "device/device.h"
#include "support/devenv.h"
#include "torvane.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace rt {

// Makes a context on device `ordinal` current on the calling thread.
inline dev::drv_context make_context(int ordinal = 0) {
    EXPECT_EQ(dev::drv_init(0), 0);
    dev::drv_device device = 0;
    EXPECT_EQ(dev::drv_device_get(&device, ordinal), 0);
    dev::drv_context ctx = nullptr;
    EXPECT_EQ(dev::drv_ctx_create(&ctx, device), 0);
    EXPECT_EQ(dev::drv_ctx_set_current(ctx), 0);
    return ctx;
}

// What `print` writes to a stream, and its result.
inline std::string capture(const std::function<int(FILE *)> &print, int *result = nullptr) {
    char *buf = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&buf, &len);
    const int r = print(f);
    fclose(f);
    std::string text(buf, len);
    free(buf);
    if (result) *result = r;
    return text;
}

inline std::string dump(int type, int *result = nullptr) {
    return capture([type](FILE *f) { return mmallocinfo(f, type); }, result);
}

// An unbuffered stream that takes whole writes up to `limit` bytes and fails
// every write from the first one that does not fit.
struct limited_stream {
    size_t limit, used = 0;
    bool failed = false;
    std::string text;
    FILE *f;
    explicit limited_stream(size_t lim) : limit(lim) {
        cookie_io_functions_t io{};
        io.write = [](void *c, const char *buf, size_t n) -> ssize_t {
            auto *self = static_cast<limited_stream *>(c);
            if (self->failed || self->used + n > self->limit) {
                self->failed = true;  // and stays so: the C library retries odd bytes
                return -1;
            }
            self->used += n;
            self->text.append(buf, n);
            return ssize_t(n);
        };
        f = fopencookie(this, "w", io);
        setvbuf(f, nullptr, _IONBF, 0);
    }
    ~limited_stream() { fclose(f); }
};

// One allocator state of a dump.
struct arena_line {
    uintptr_t addr;
    size_t size, count;
    unsigned occ;
    size_t osiz;
    unsigned flags;
    bool holds(const void *p, size_t bytes) const {
        const auto a = reinterpret_cast<uintptr_t>(p);
        return a >= addr && a + bytes <= addr + size;
    }
};
struct class_lines {
    size_t committed;
    std::vector<arena_line> arenas;
};
struct nexus_dump {
    std::string name;
    unsigned number = 0;
    std::vector<uintptr_t> pool;
    std::vector<class_lines> classes;
    unsigned long long total = 0;
    bool has_total = false;
    // The arena line that holds [p, p + bytes), or null.
    const arena_line *find(const void *p, size_t bytes = 1) const {
        for (const auto &c : classes)
            for (const auto &a : c.arenas)
                if (a.holds(p, bytes)) return &a;
        return nullptr;
    }
};

inline std::vector<nexus_dump> parse(const std::string &text) {
    std::vector<nexus_dump> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        char name[64];
        unsigned number;
        void *addr;
        size_t size, count, osiz, committed;
        unsigned occ, flags;
        unsigned long long total;
        if (sscanf(line.c_str(), ">--------- Memory type: %63[^#]#%u -------", name, &number) == 2) {
            nexus_dump d;
            d.name = name;
            while (!d.name.empty() && d.name.back() == ' ') d.name.pop_back();
            d.number = number;
            out.push_back(d);
        } else if (sscanf(line.c_str(), "| \\--> %p Msize: %zu Count: %zu Occ: %u Osiz: %zu Flags: 0x%x",
                          &addr, &size, &count, &occ, &osiz, &flags) == 6) {
            EXPECT_FALSE(out.empty() || out.back().classes.empty()) << line;
            out.back().classes.back().arenas.push_back(
                {reinterpret_cast<uintptr_t>(addr), size, count, occ, osiz, flags});
        } else if (line.size() > 5 && line.compare(line.size() - 5, 5, " pool") == 0 &&
                   sscanf(line.c_str(), "| \\--> %p pool", &addr) == 1) {
            EXPECT_FALSE(out.empty()) << line;
            out.back().pool.push_back(reinterpret_cast<uintptr_t>(addr));
        } else if (sscanf(line.c_str(), "|Allocated for slab: %zu bytes", &committed) == 1) {
            EXPECT_FALSE(out.empty()) << line;
            out.back().classes.push_back({committed, {}});
        } else if (sscanf(line.c_str(), "| Total allocations: %llu", &total) == 1) {
            EXPECT_FALSE(out.empty()) << line;
            out.back().total = total;
            out.back().has_total = true;
        } else {
            ADD_FAILURE() << "unexpected dump line: " << line;
        }
    }
    return out;
}

// The single allocator state a dump of one memory type holds (a default one
// when it printed nothing).
inline nexus_dump parse_one(const std::string &text) {
    auto all = parse(text);
    EXPECT_LE(all.size(), 1u);
    return all.empty() ? nexus_dump{} : all.front();
}

constexpr size_t MiB = size_t(1) << 20;

}  // namespace rt
