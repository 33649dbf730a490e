#include "teskcore.h"

namespace teskcore {

tesk::win32::ServerCounters& Counters() {
  static tesk::win32::ServerCounters counters;
  return counters;
}

}  // namespace teskcore
