// Whether an image file is in the kernel's hands through a loop device. An
// exclusive open protects a block device from being written while it is
// mounted, but an image file has no such lock: the file behind a mounted
// loop device opens for writing like any other.
#pragma once

#include <string>

namespace ambrelic::platform {

// True when path is a regular file that backs a loop device which the kernel
// holds exclusively (mounted, or claimed by another program). A loop device
// that cannot be checked counts as not held.
bool ImageHeldThroughLoopDevice(const std::string& path);

}  // namespace ambrelic::platform
