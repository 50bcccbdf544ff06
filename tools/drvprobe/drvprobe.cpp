#include "drvprobe.h"

#include "plist_dict.h"

#include <cstring>

const char* const kDriverPlistPath = "/System/Library/Extensions/NVDAResman.kext/Contents/Info.plist";

int getDriverVersion(const char* plistPath, char* buffer, int size) {
  const bool writable = buffer && size > 0;
  PlistDict dict;
  const char* info = dict.load(plistPath) ? dict.text("CFBundleGetInfoString") : nullptr;
  if (info && writable) {
    const char* open = std::strchr(info, '(');
    const char* close = std::strchr(info, ')');
    if (open && close && open < close) {
      const size_t n = static_cast<size_t>(close - open - 1);
      if (n < static_cast<size_t>(size)) {
        std::memcpy(buffer, open + 1, n);
        buffer[n] = '\0';
        return 1;
      }
    }
  }
  if (writable) buffer[0] = '\0';
  return 0;
}

int getDriverVersion(char* buffer, int size) { return getDriverVersion(kDriverPlistPath, buffer, size); }

int runDriverProbe(const char* plistPath, FILE* out, FILE* err) {
  char version[256];
  if (getDriverVersion(plistPath, version, sizeof version) == 1) {
    // A buffered print only fails for sure once flushed.
    if (std::fprintf(out, "%s\n", version) < 0 || std::fflush(out) != 0) return 1;
    return 0;
  }
  std::fputs("Couldn't retrieve driver version.\n", err);
  return 1;
}
