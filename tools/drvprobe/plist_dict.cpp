#include "plist_dict.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// Whole file into memory; false on any read error (a directory included) or
// when it outgrows what the parser accepts.
bool readFile(const char* path, std::vector<char>& data) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
  if (!f) return false;
  char chunk[8192];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
    if (data.size() + got > UINT32_MAX) return false;
    data.insert(data.end(), chunk, chunk + got);
  }
  return !std::ferror(f.get());
}

}  // namespace

PlistDict::~PlistDict() {
  if (root_) plist_free(static_cast<plist_t>(root_));
}

bool PlistDict::load(const char* path) {
  if (root_) {
    plist_free(static_cast<plist_t>(root_));
    root_ = nullptr;
  }
  std::vector<char> data;
  if (!path || !readFile(path, data) || data.empty()) return false;
  const uint32_t length = static_cast<uint32_t>(data.size());
  data.push_back('\0');  // the XML reader is safer with a terminated buffer
  plist_t root = nullptr;
  plist_from_memory(data.data(), length, &root);
  if (!root) return false;
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    return false;
  }
  root_ = root;
  return true;
}

const char* PlistDict::text(const char* key) const {
  if (!root_ || !key) return nullptr;
  plist_t value = plist_dict_get_item(static_cast<plist_t>(root_), key);
  if (!value || plist_get_node_type(value) != PLIST_STRING) return nullptr;
  return plist_get_string_ptr(value, nullptr);
}
