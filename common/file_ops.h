// Small file operations on mounted media.
#pragma once

#include <sys/types.h>

// Copies one regular file or symbolic link; into an existing directory under
// the source's own name. Other kinds of source copy nothing and give 0. A
// regular file is written as a new file beside the target (its name and
// ".new") and renamed over it once whole: whatever the target's name stands
// for (a link to another file, another name of a file) is never written
// into, and a copy cut short leaves it, and every other file, as it was.
int copy_file(const char* source, const char* destination);

// Creates the directory and every missing parent with the given mode.
int make_dirs(const char* path, mode_t mode);

// Removes a file, or a directory with everything inside it. Links are
// removed as links; nothing outside the tree is touched.
int remove_path(const char* path);

// Removes everything inside a directory, leaving the directory.
int remove_dir_contents(const char* directory);
