// Running an external program to completion.
#pragma once

// Runs argv[0] (an absolute path) with the null-terminated argument list and
// environment list (null for none), inheriting the caller's descriptors, and
// waits for it. Returns its exit status (0 to 255; 255 also when it could not
// be executed), or -1 when it was killed by a signal or could not be waited
// for (reported), or could not be started.
int run_program(const char* const argv[], const char* const envp[]);
