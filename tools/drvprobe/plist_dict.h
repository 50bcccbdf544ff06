#pragma once

// The little of a property-list dictionary the probe needs: load it from a
// file (XML or binary), look up a key and take its text.
class PlistDict {
public:
  PlistDict() = default;
  ~PlistDict();
  PlistDict(const PlistDict&) = delete;
  PlistDict& operator=(const PlistDict&) = delete;

  // False when the file cannot be read, is no property list, or its root is
  // not a dictionary.
  bool load(const char* path);

  // Zero-terminated text of the value under key; nullptr when nothing is
  // loaded, the key is missing or its value is not a string. Valid until the
  // dictionary is destroyed or reloaded.
  const char* text(const char* key) const;

private:
  void* root_ = nullptr;
};
