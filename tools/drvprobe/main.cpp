#include "drvprobe.h"

#include <cstdio>

int main() { return runDriverProbe(kDriverPlistPath, stdout, stderr); }
