// FFTW planner safety for the whole process. FFTW's planner (plan creation and
// plan destruction) is not reentrant, and its state is global to the library,
// which every module that transforms shares: a lock private to one module
// cannot keep another module's planner calls apart. FFTW's own planner lock
// (from libfftw3_threads / libfftw3f_threads) is process-wide, so every module
// installs it once before planning. Executing a plan needs no lock.
#pragma once

namespace sx {

// Installs FFTW's planner lock for both precisions (fftw3 and fftw3f). Call
// before a module's first plan; idempotent, thread-safe and cheap afterwards.
void fftw_planner_make_safe();

}  // namespace sx
