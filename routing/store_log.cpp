#include "routing/store_log.h"

namespace vantelo::routing {
namespace {

TStoreLogSink& Sink() {
  static TStoreLogSink sink;
  return sink;
}

}  // namespace

void SetStoreLogSink(TStoreLogSink sink) { Sink() = std::move(sink); }

void StoreLog(TStoreLogLevel level, const std::string& line) {
  if (Sink()) Sink()(level, line);
}

}  // namespace vantelo::routing
