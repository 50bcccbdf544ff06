// The library's dynamic symbols, demangled, that contain one of the marks.
#pragma once

#include <cstdio>
#include <initializer_list>
#include <set>
#include <string>

namespace testenv {

inline std::set<std::string> exported_names(const char *library,
                                            std::initializer_list<const char *> marks) {
    std::set<std::string> names;
    FILE *p = popen(("nm -D --defined-only '" + std::string(library) + "' | c++filt").c_str(), "r");
    if (!p) return names;
    char line[4096];
    while (fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const size_t sp = s.find(' ', s.find(' ') + 1);  // after address and kind
        if (sp == std::string::npos) continue;
        const std::string name = s.substr(sp + 1);
        for (const char *mark : marks)
            if (name.find(mark) != std::string::npos) names.insert(name);
    }
    pclose(p);
    return names;
}

}  // namespace testenv
