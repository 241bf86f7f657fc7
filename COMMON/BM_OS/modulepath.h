// The executable's own path and the network-location check made before the launcher runs.
#pragma once

#include <string>

// Full path of the running executable (/proc/self/exe), or "" when it cannot be read.
std::string ModuleFileName();

// True when `path` begins with two slashes or two backslashes, or lies on a file system that
// statfs reports as a network one (NFS, CIFS/SMB, AFS, Coda, NCP, Ceph, ...). A path that cannot
// be examined is not a network path.
bool IsNetworkPath(const std::string& path);
