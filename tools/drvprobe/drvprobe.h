#pragma once

#include <cstdio>

// Property list of the driver's kernel extension.
extern const char* const kDriverPlistPath;

// Stores the text between the first '(' and the first ')' of the file's
// "CFBundleGetInfoString" in buffer and returns 1; otherwise leaves an empty
// string there and returns 0. Never writes more than size bytes: with size 0
// nothing is written at all. A text that does not fit whole (with its zero)
// counts as not found: a cut version would be a wrong answer given as right.
int getDriverVersion(const char* plistPath, char* buffer, int size);
int getDriverVersion(char* buffer, int size);  // reads kDriverPlistPath

// The whole command: the version and a newline on out and 0, or the failure
// message on err and 1; 1 as well when writing the version fails.
int runDriverProbe(const char* plistPath, FILE* out, FILE* err);
