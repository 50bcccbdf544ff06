// PTX text to tokens: names (directives, registers and instruction names
// with their modifiers), numbers, strings and punctuation, with the line of each.
#include "parser.h"

#include <cstring>

namespace sim {
namespace ptx {
namespace parsing {

bool id_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' || c == '%' || c == '.';
}

bool id_char(char c) { return id_start(c) || (c >= '0' && c <= '9'); }

std::vector<tok> lex(std::string_view s) {
    std::vector<tok> out;
    uint32_t line = 1;
    size_t i = 0, n = s.size();
    while (i < n) {
        char c = s[i];
        if (c == '\n') { ++line, ++i; continue; }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') { ++i; continue; }
        if (c == '/' && i + 1 < n && s[i + 1] == '/') {
            while (i < n && s[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            uint32_t at = line;
            i += 2;
            while (i + 1 < n && !(s[i] == '*' && s[i + 1] == '/')) line += s[i++] == '\n';
            if (i + 1 >= n) fail(at, "unterminated comment");
            i += 2;
            continue;
        }
        size_t b = i;
        if (id_start(c)) {
            while (i < n && id_char(s[i])) ++i;
            out.push_back({t_id, s.substr(b, i - b), line});
        } else if (c >= '0' && c <= '9') {
            bool hex = i + 1 < n && std::strchr("xXfFdD", s[i + 1]) && c == '0';
            while (i < n && (id_char(s[i]) ||
                             (!hex && (s[i] == '+' || s[i] == '-') && (s[i - 1] == 'e' || s[i - 1] == 'E'))))
                ++i;
            out.push_back({t_num, s.substr(b, i - b), line});
        } else if (c == '"') {
            ++i;
            while (i < n && s[i] != '"' && s[i] != '\n') i += (s[i] == '\\' && i + 1 < n) ? 2 : 1;
            if (i >= n || s[i] != '"') fail(line, "unterminated string");
            ++i;
            out.push_back({t_str, s.substr(b, i - b), line});
        } else if (std::strchr("{}()[];:,@!|+-<>=", c) && c) {
            ++i;
            out.push_back({t_punct, s.substr(b, 1), line});
        } else {
            fail(line, "unexpected character '" + std::string(1, c) + "'");
        }
    }
    out.push_back({t_end, {}, line});
    return out;
}

bool parse_uint(std::string_view s, uint64_t &v) {
    if (s.empty()) return false;
    if (s.back() == 'U' || s.back() == 'u') s.remove_suffix(1);
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) base = 16, s.remove_prefix(2);
    else if (s.size() > 2 && s[0] == '0' && (s[1] == 'b' || s[1] == 'B')) base = 2, s.remove_prefix(2);
    else if (s.size() > 1 && s[0] == '0') base = 8, s.remove_prefix(1);
    if (s.empty()) return false;
    unsigned __int128 x = 0;
    for (char c : s) {
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
        if (d >= base) return false;
        x = x * unsigned(base) + unsigned(d);
        if (x > ~uint64_t(0)) return false;
    }
    v = uint64_t(x);
    return true;
}

}  // namespace parsing
}  // namespace ptx
}  // namespace sim
