#pragma once
// Counts every operator new of the program that runs on a timer's thread, while armed.
// Linking this library replaces the program's operator new and delete (with malloc and
// free): the tick-contract test and the soak use it to prove that the step tick never
// allocates.

namespace tambrel::testing {

// Sets the count to 0 and starts counting.
void armTimerThreadAllocationCount() noexcept;
// Stops counting and gives the count since the last arm.
long long disarmTimerThreadAllocationCount() noexcept;

} // namespace tambrel::testing
