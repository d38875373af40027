#pragma once

#include <cblas.h>

#include <mutex>

namespace velkaro {

// Dense products run inside pool tasks that already keep every core busy; OpenBLAS's own threads
// would only compete with them (and with each other when several deblurs run at once).
inline void UseSerialBlas() {
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(1); });
}

}  // namespace velkaro
