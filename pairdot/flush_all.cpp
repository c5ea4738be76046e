#include "flush_all.hpp"

#include <cstdio>

namespace pairdot {

void flush_all() {
#ifdef _WIN32
  _flushall();
#else
  std::fflush(nullptr);
#endif
}

} // namespace pairdot
