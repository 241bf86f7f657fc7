// Program start, the stand-in of the shell's "Open" verb for an executable.
#pragma once

#include <sys/types.h>

#include <string>

// Starts `path` as a program with `parameters` as its single argument (none when null or
// empty), in a session of its own, with stdin from /dev/null, stdout/stderr inherited and no
// other descriptor. Sets the owner-execute bit first when the file lacks it. The program is
// started through a short-lived intermediate process, so it never becomes our child and never
// stays a zombie. True once the program's exec has succeeded; false when the file is missing,
// not a regular file, or cannot be executed. Blocks only until the exec has happened.
bool StartProgram(const std::string& path, const char* parameters);

// As StartProgram, but the program stays this process's child (one fork, its own session), so
// that its end can be seen: the caller must reap it (waitpid) or it stays a zombie. Returns its
// process id once its exec has succeeded, or -1.
pid_t StartChildProgram(const std::string& path, const char* parameters);

// As StartChildProgram, but starts the file open on `fd` (read-only is enough) rather than
// whatever `path` names now, so that a file checked on that descriptor is the one that runs even
// if the path is replaced meanwhile; `path` is only the program's argv[0]. The owner-execute bit is
// set on the descriptor's file when it lacks it. A script is started too (its descriptor then
// stays open in the program, as its interpreter reads it). The caller keeps `fd` and closes it.
pid_t StartChildProgramFromFd(int fd, const std::string& path, const char* parameters);
