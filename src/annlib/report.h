// Failure reporting shared by the library's files.
#pragma once

// Records "PATH: WHY" as the reason of the current failure, prints it as the
// library's diagnostic unless quiet, and returns -1 for the caller to pass on.
int fail_ann(const char* path, const char* why);
