#include "agent/json_rpc/request_meter.h"

#include <map>
#include <memory>
#include <mutex>

#include "agent/platform/memory.h"

namespace json_rpc {

namespace {

const char* const outcome_names[RPC_OUTCOMES] = {"ok",      "error", "none",
                                                 "refused", "busy",  "invalid"};

thread_local Served_Request* answering = nullptr;

metrics::Gauge& in_flight() {
  static metrics::Gauge& g =
      metrics::registry()
          .family("wagent_rpc_requests_in_flight",
                  "JSON-RPC requests delivered to their handler whose work has not ended.",
                  metrics::Family::GAUGE)
          .gauge();
  return g;
}

}  // namespace

const Method_Meter* method_meter(const std::string& method) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<Method_Meter>>* meters =
      new std::map<std::string, std::unique_ptr<Method_Meter>>;
  static metrics::Family& requests = metrics::registry().family(
      "wagent_rpc_requests_total",
      "JSON-RPC messages by bound method (\"\" for none) and outcome.",
      metrics::Family::COUNTER, {"method", "outcome"});
  static metrics::Family& latency = metrics::registry().family(
      "wagent_rpc_request_duration_seconds",
      "Time from a JSON-RPC request's arrival to the end of its handler's work.",
      metrics::Family::HISTOGRAM, {"method"});
  in_flight();
  std::lock_guard<std::mutex> guard(lock);
  std::unique_ptr<Method_Meter>& m = (*meters)[method];
  if (!m) {
    m.reset(new Method_Meter);
    for (int i = 0; i < RPC_OUTCOMES; ++i)
      m->outcomes[i] = &requests.counter({method, outcome_names[i]});
    m->latency = &latency.histogram({method});
  }
  return m.get();
}

Served_Request::Served_Request(int type, const Method_Meter* meter,
                               Meter_Clock::time_point arrived, bool large)
    : JSON_RPC_Request(type), meter_(meter), arrived_(arrived), large_(large) {
  in_flight().add(1);
}

Served_Request::~Served_Request() {
  const int outcome = outcome_.load(std::memory_order_relaxed);
  meter_->outcomes[outcome == RPC_OUTCOMES ? RPC_NO_REPLY : outcome]->add();
  meter_->latency->observe(Meter_Clock::now() - arrived_);
  in_flight().add(-1);
  if (large_) {
    // Large params give their memory back when their last holder, often a
    // worker thread, lets them go.
    params = json_spirit::Value();
    platform::release_free_heap();
  }
}

void Served_Request::answered(Rpc_Outcome outcome) {
  int none = RPC_OUTCOMES;
  outcome_.compare_exchange_strong(none, outcome, std::memory_order_relaxed);
}

Answer_Scope::Answer_Scope(JSON_RPC_Object* object) : previous_(answering) {
  answering = dynamic_cast<Served_Request*>(object);
}

Answer_Scope::~Answer_Scope() { answering = previous_; }

void note_answer(Rpc_Outcome outcome) {
  if (Served_Request* r = answering) r->answered(outcome);
}

}  // namespace json_rpc
