// Linux: libpq is linked like any other library.
#include "line/pq.h"

namespace quelmar::line {

const PqApi* Pq(std::string*) {
  static const PqApi api = [] {
    PqApi a;
#define QUELMAR_PQ_TAKE(name) a.name = &::name;
    QUELMAR_PQ_FUNCTIONS(QUELMAR_PQ_TAKE)
#undef QUELMAR_PQ_TAKE
    return a;
  }();
  return &api;
}

}  // namespace quelmar::line
