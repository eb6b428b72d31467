// Which process made a file or folder, so that a later run can tell what a
// process that ended without cleaning up (SIGKILL, a crash, a power cut) left
// from what a live run is still using.
#pragma once

#include <string>

namespace quovix {

std::string hostName();

// The PID namespace this process sees ("pid:[4026531836]"): containers that
// share a folder and a host name (the containers of one pod) see each other's
// process numbers as free, so a record is only judged by a process of the
// same namespace.
std::string pidNamespace();

// Eight hex digits of a checksum of the host name and the PID namespace, for
// file names that must say where their process ran.
std::string hostTag();

// Whether process `pid` of this host and namespace no longer exists; false
// for this process and whenever it cannot be told.
bool processGone(long pid);

} // namespace quovix
