#include "drvprobe.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

enum class Format { Xml, Binary };
const char* kKey = "CFBundleGetInfoString";

class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/drvprobe-XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

void writeBytes(const std::string& path, const char* data, size_t n) {
  std::ofstream f(path, std::ios::binary);
  f.write(data, static_cast<std::streamsize>(n));
}

// Writes root (consumed) as a property list in the given format.
void writePlist(const std::string& path, plist_t root, Format fmt) {
  char* data = nullptr;
  uint32_t n = 0;
  if (fmt == Format::Xml) {
    plist_to_xml(root, &data, &n);
    writeBytes(path, data, n);
    plist_to_xml_free(data);
  } else {
    plist_to_bin(root, &data, &n);
    writeBytes(path, data, n);
    plist_to_bin_free(data);
  }
  plist_free(root);
}

plist_t infoDict(const std::string& info) {
  plist_t d = plist_new_dict();
  plist_dict_set_item(d, "CFBundleIdentifier", plist_new_string("org.example.driver"));
  plist_dict_set_item(d, kKey, plist_new_string(info.c_str()));
  return d;
}

std::string readAll(FILE* f) {
  std::rewind(f);
  std::string s;
  int c;
  while ((c = std::fgetc(f)) != EOF) s += static_cast<char>(c);
  return s;
}

class DriverVersion : public ::testing::TestWithParam<Format> {
protected:
  std::string plistWith(const std::string& info) {
    std::string p = dir_.file("Info.plist");
    writePlist(p, infoDict(info), GetParam());
    return p;
  }
  TempDir dir_;
};

// Sentinel-filled buffer so any write past size shows.
constexpr char kFill = '\x7f';
constexpr int kCap = 300;

struct Call {
  int rc;
  std::string text;
};

Call callWith(const std::string& path, int size) {
  char buf[kCap];
  std::memset(buf, kFill, sizeof buf);
  int rc = getDriverVersion(path.c_str(), buf, size);
  for (int i = size < 0 ? 0 : size; i < kCap; ++i)
    if (buf[i] != kFill) ADD_FAILURE() << "byte " << i << " written with size " << size;
  if (size <= 0) return {rc, ""};
  EXPECT_NE(std::memchr(buf, '\0', static_cast<size_t>(size)), nullptr) << "buffer not terminated";
  return {rc, buf};
}

TEST_P(DriverVersion, ParenthesisRule) {
  struct Case {
    const char* info;
    int rc;
    const char* text;
  } cases[] = {
      {"Driver 10.4.2 (310.40.05f01) 2024", 1, "310.40.05f01"},
      {"a (b (c) d) e", 1, "b (c"},  // first '(' to first ')', unbalanced part kept
      {"x () y", 1, ""},
      {"()", 1, ""},
      {") a (b) c", 0, ""},  // first ')' before first '(' fails despite a later ')'
      {"no parentheses", 0, ""},
      {"only ( open", 0, ""},
      {"only ) close", 0, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.info);
    Call r = callWith(plistWith(c.info), 256);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.text, c.text);
  }
}

TEST_P(DriverVersion, NeverWritesPastSize) {
  const std::string v255(255, 'v');
  struct Case {
    std::string info;
    int size;
    int rc;
    std::string text;
  } cases[] = {
      {"(abc)", 4, 1, "abc"},  // exactly fits with its zero
      {"(abc)", 3, 0, ""},     // too long: refused, not cut
      {"(abc)", 1, 0, ""},
      {"(abc)", 0, 0, ""},     // nothing may be written at all
      {"(abc)", -5, 0, ""},
      {"()", 1, 1, ""},
      {"(" + v255 + ")", 256, 1, v255},
      {"(" + v255 + "w)", 256, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.info.substr(0, 8) + " size " + std::to_string(c.size));
    Call r = callWith(plistWith(c.info), c.size);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.text, c.text);
  }
}

TEST_P(DriverVersion, FailsWithoutTextUnderKey) {
  struct Case {
    const char* name;
    std::function<plist_t()> make;
  } cases[] = {
      {"missing key",
       [] {
         plist_t d = plist_new_dict();
         plist_dict_set_item(d, "CFBundleVersion", plist_new_string("(1.0)"));
         return d;
       }},
      {"integer value",
       [] {
         plist_t d = plist_new_dict();
         plist_dict_set_item(d, kKey, plist_new_uint(42));
         return d;
       }},
      {"data value",
       [] {
         plist_t d = plist_new_dict();
         plist_dict_set_item(d, kKey, plist_new_data("(1.0)", 5));
         return d;
       }},
      {"array value",
       [] {
         plist_t d = plist_new_dict();
         plist_t a = plist_new_array();
         plist_array_append_item(a, plist_new_string("(1.0)"));
         plist_dict_set_item(d, kKey, a);
         return d;
       }},
      {"root is an array",
       [] {
         plist_t a = plist_new_array();
         plist_array_append_item(a, plist_new_string("(1.0)"));
         return a;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string p = dir_.file("Info.plist");
    writePlist(p, c.make(), GetParam());
    Call r = callWith(p, 256);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DriverVersion, ::testing::Values(Format::Xml, Format::Binary),
                         [](const auto& info) { return info.param == Format::Xml ? "Xml" : "Binary"; });

TEST(DriverVersionFile, FailsOnUnreadableFiles) {
  TempDir dir;
  writeBytes(dir.file("empty"), "", 0);
  const char garbage[] = "not a property list (1.0)";
  writeBytes(dir.file("garbage"), garbage, sizeof garbage - 1);
  mkdir(dir.file("directory").c_str(), 0755);
  for (const char* name : {"absent", "empty", "garbage", "directory"}) {
    SCOPED_TRACE(name);
    Call r = callWith(dir.file(name), 256);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "");
  }
}

struct Probe {
  int status;
  std::string out, err;
};

Probe probe(const std::string& path, const char* outPath = nullptr) {
  FILE* out = outPath ? std::fopen(outPath, "w") : std::tmpfile();
  FILE* err = std::tmpfile();
  Probe p{runDriverProbe(path.c_str(), out, err), outPath ? "" : readAll(out), readAll(err)};
  std::fclose(out);
  std::fclose(err);
  return p;
}

TEST(DriverProbe, PrintsVersionLineOrFailureMessage) {
  TempDir dir;
  struct Case {
    const char* info;
    int status;
    const char* out;
    const char* err;
  } cases[] = {
      {"Driver (310.40.05f01)", 0, "310.40.05f01\n", ""},
      {"()", 0, "\n", ""},
      {"none", 1, "", "Couldn't retrieve driver version.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.info);
    writePlist(dir.file("Info.plist"), infoDict(c.info), Format::Binary);
    Probe p = probe(dir.file("Info.plist"));
    EXPECT_EQ(p.status, c.status);
    EXPECT_EQ(p.out, c.out);
    EXPECT_EQ(p.err, c.err);
  }
}

TEST(DriverProbe, FailedPrintGivesStatusOne) {
  TempDir dir;
  writePlist(dir.file("Info.plist"), infoDict("(1.0)"), Format::Xml);
  // The print itself lands in the stream's buffer; only the flush fails.
  Probe p = probe(dir.file("Info.plist"), "/dev/full");
  EXPECT_EQ(p.status, 1);
  EXPECT_EQ(p.err, "");
}

// The installed tool reads the fixed driver path, absent on this machine.
TEST(DriverProbeBinary, FailsWithoutDriverExtension) {
  struct stat st;
  if (stat(kDriverPlistPath, &st) == 0) GTEST_SKIP() << "driver extension present";
  TempDir dir;
  const std::string out = dir.file("out"), err = dir.file("err");
  const std::string cmd = std::string("'") + DRVPROBE_BIN + "' -v ignored >'" + out + "' 2>'" + err + "'";
  int raw = std::system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  EXPECT_EQ(WEXITSTATUS(raw), 1);
  auto slurp = [](const std::string& p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  };
  EXPECT_EQ(slurp(out), "");
  EXPECT_EQ(slurp(err), "Couldn't retrieve driver version.\n");
}

}  // namespace
