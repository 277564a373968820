// Boost.Beast names used by the host, and the bridge that lets a handler
// thread write to a connection served by the io_context.
#ifndef WAGENT_NET_H
#define WAGENT_NET_H

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "agent/wagent/io_threads.h"

namespace wagent {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// A connection's executor: a strand of its lane's io_context, named as a
// concrete type. Asio's type-erased executor would allocate on every copy,
// and every asynchronous operation copies it several times.
using Strand = net::strand<net::io_context::executor_type>;
using Strand_Socket = tcp::socket::rebind_executor<Strand>::other;
using Strand_Stream = beast::basic_stream<tcp, Strand>;
using Strand_Timer = net::basic_waitable_timer<
    std::chrono::steady_clock, net::wait_traits<std::chrono::steady_clock>, Strand>;

typedef std::function<void(beast::error_code)> Completion;

// Starts an asynchronous operation on `executor` and waits for it to
// complete. Handlers write as they generate; blocking them on each write is what keeps a reply of any size in bounded
// memory. The stream's own timeouts end operations with a client that stops
// reading. On an io thread the pool puts another thread in its place while
// this one waits.
template <class Executor, class Start>
beast::error_code run_blocking(const Executor& executor, Start start) {
  struct State {
    std::mutex lock;
    std::condition_variable done_cv;
    bool done = false;
    beast::error_code ec;
  };
  auto state = std::make_shared<State>();
  net::post(executor, [state, start]() mutable {
    start(Completion([state](beast::error_code ec) {
      std::lock_guard<std::mutex> guard(state->lock);
      state->ec = ec;
      state->done = true;
      state->done_cv.notify_all();
    }));
  });
  Io_Threads::Blocking_Scope blocking;
  std::unique_lock<std::mutex> guard(state->lock);
  state->done_cv.wait(guard, [&] { return state->done; });
  return state->ec;
}

}  // namespace wagent

#endif
