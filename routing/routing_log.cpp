#include "routing/routing_log.h"

namespace vantelo::routing {
namespace {

TRoutingLogSink& Sink() {
  static TRoutingLogSink sink;
  return sink;
}

}  // namespace

void SetRoutingLogSink(TRoutingLogSink sink) { Sink() = std::move(sink); }

void RoutingLog(TRoutingLogSource source, TRoutingLogLevel level, const std::string& line) {
  if (Sink()) Sink()(source, level, line);
}

}  // namespace vantelo::routing
