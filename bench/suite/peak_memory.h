// The process's resident memory and its high-water mark, which the kernel lets a process reset.
#ifndef KYBENCH_SUITE_PEAK_MEMORY_H
#define KYBENCH_SUITE_PEAK_MEMORY_H

namespace kybench {

// Sets the high-water mark to the current resident size; false when the kernel does not allow it.
bool ResetPeakResident();
double ResidentBytes();
double PeakResidentBytes();

}  // namespace kybench

#endif
