#include "core/fftw_planner.h"

#include <fftw3.h>

#include <mutex>

namespace sx {

void fftw_planner_make_safe() {
    static std::once_flag once;
    std::call_once(once, [] {
        fftw_make_planner_thread_safe();
        fftwf_make_planner_thread_safe();
    });
}

}  // namespace sx
