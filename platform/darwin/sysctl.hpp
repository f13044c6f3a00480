#pragma once
// Stands in for sysctlbyname, for the few host facts the crash reporter records:
// hw.model (DMI product name), hw.cputype / hw.cpusubtype (Mach values of the host CPU),
// hw.physicalcpu, hw.logicalcpu / hw.ncpu, kern.osrelease (kernel release) and
// kern.osversion (kernel version string).
#include <cstddef>

namespace platform::darwin {

// Same contract as sysctlbyname for reads: with old == nullptr, *oldlen receives the size;
// a buffer too small fails with ENOMEM; an unknown name (or an absent fact) with ENOENT;
// writes are refused with EPERM. Returns 0 or -1 with errno set.
int sysctl_by_name(const char* name, void* old, std::size_t* oldlen, const void* newp = nullptr,
                   std::size_t newlen = 0);

}  // namespace platform::darwin
