#pragma once

// The process's limit on open file descriptors (sockets included).
namespace DescriptorLimit {

// Raises the soft limit to the hard limit. Returns the soft limit in force
// afterwards, or -1 where the system has no such limit.
long raiseToHard();

// The soft limit in force, or -1 where the system has no such limit.
long current();

} // namespace DescriptorLimit
