#include "agent/wagent/upstream.h"

#include <ace/Log_Msg.h>

#include "agent/chost/host_manager.h"
#include "agent/clntio/http_client.h"
#include "agent/json_rpc/global_channel.h"
#include "agent/wagent/ws_session.h"

namespace wagent {

namespace {
const std::chrono::seconds first_backoff(1);
const std::chrono::seconds max_backoff(30);

struct Upstream_Series {
  metrics::Gauge& connected;
  metrics::Counter& reconnects;
};
Upstream_Series& upstream_series() {
  static Upstream_Series series{
      metrics::registry()
          .family("wagent_upstream_connected",
                  "1 while the upstream WebSocket is connected, else 0.", metrics::Family::GAUGE)
          .gauge(),
      metrics::registry()
          .family("wagent_upstream_reconnects_total",
                  "Connection attempts to the upstream after a failure or a drop.",
                  metrics::Family::COUNTER)
          .counter()};
  return series;
}
}

Upstream::Upstream(Host_Context& context, std::string host,
                   unsigned short port, std::string target,
                   std::string session_key, bool tls)
    : context_(context),
      strand_(net::make_strand(context.ioc)),
      timer_(strand_),
      backoff_(first_backoff, max_backoff),
      host_(std::move(host)),
      port_(port),
      target_(std::move(target)),
      session_key_(std::move(session_key)) {
  upstream_series();
  if (!tls) return;
  tls_.emplace(net::ssl::context::tls_client);
  tls_->set_options(net::ssl::context::default_workarounds |
                    net::ssl::context::no_sslv2 | net::ssl::context::no_sslv3 |
                    net::ssl::context::no_tlsv1 | net::ssl::context::no_tlsv1_1);
  const std::string authorities = clntio::trusted_authorities();
  beast::error_code ec;
  if (authorities.empty())
    tls_->set_default_verify_paths(ec);
  else
    tls_->load_verify_file(authorities, ec);
  if (ec)
    ACE_ERROR((LM_ERROR, "%N:%l: upstream: cannot load the trusted "
                         "authorities %C: %C\n",
               authorities.empty() ? "of the system" : authorities.c_str(),
               ec.message().c_str()));
}

void Upstream::start() {
  registered_ = Host_Manager::instance()->access_key_size() != 0;
  WebSocket_Event_Manager::instance()->add_listener(this);
  net::dispatch(strand_, [self = shared_from_this()] { self->connect(); });
}

void Upstream::stop() {
  WebSocket_Event_Manager::instance()->remove_listener(this);
  net::dispatch(strand_, [self = shared_from_this()] {
    self->stopped_ = true;
    self->timer_.cancel();
    if (auto session = self->current_.lock()) session->shut();
  });
}

void Upstream::connect() {
  if (stopped_) return;
  auto self = shared_from_this();
  // A resolver per attempt: one kept between attempts holds the io_context
  // busy after the last of them.
  auto resolver = std::make_shared<tcp::resolver>(strand_);
  resolver->async_resolve(
      host_, std::to_string(port_),
      [self, resolver](beast::error_code ec,
                       tcp::resolver::results_type results) {
        if (self->stopped_) return;
        if (ec) {
          ACE_ERROR((LM_ERROR, "%N:%l: upstream %C: %C\n", self->host_.c_str(),
                     ec.message().c_str()));
          return self->retry();
        }
        auto socket = std::make_shared<Strand_Socket>(net::make_strand(self->context_.ioc));
        net::async_connect(
            *socket, results,
            [self, socket](beast::error_code ec, const tcp::endpoint&) {
              net::dispatch(self->strand_, [self, socket, ec] {
                if (self->stopped_) return;
                if (ec) {
                  ACE_ERROR((LM_ERROR, "%N:%l: upstream %C:%d: %C\n",
                             self->host_.c_str(), int(self->port_),
                             ec.message().c_str()));
                  return self->retry();
                }
                if (self->tls_)
                  self->open(std::make_shared<Tls_Ws_Session>(
                      self->context_, self->context_.lanes.first(),
                      std::move(*socket), *self->tls_));
                else
                  self->open(std::make_shared<Ws_Session>(
                      self->context_, self->context_.lanes.first(),
                      std::move(*socket)));
              });
            });
      });
}

// On the strand, with a connected session.
template <class Session>
void Upstream::open(std::shared_ptr<Session> session) {
  auto self = shared_from_this();
  current_ = session;
  context_.track(session);
  std::weak_ptr<Session> weak = session;
  session->on_closed([self, weak] {
    net::dispatch(self->strand_, [self, weak] {
      auto s = weak.lock();
      JSON_RPC_Channel_Ptr current = Global_JSON_RPC_Channel::instance();
      if (s && current.get() == s->channel().get())
        Global_JSON_RPC_Channel::instance(JSON_RPC_Channel_Ptr());
      upstream_series().connected.set(0);
      ACE_DEBUG((LM_NOTICE, "%N:%l: upstream connection ended\n"));
      self->retry();
    });
  });
  session->handshake(
      host_, host_ + ":" + std::to_string(port_), target_, session_key_,
      [self, weak] {
        if (auto s = weak.lock()) {
          Global_JSON_RPC_Channel::instance(s->channel());
          upstream_series().connected.set(1);
          ACE_DEBUG((LM_NOTICE, "%N:%l: upstream connected to %C:%d\n",
                     self->host_.c_str(), int(self->port_)));
        }
        net::dispatch(self->strand_,
                      [self] { self->backoff_.reset(); });
      });
}

void Upstream::retry() {
  if (stopped_ || context_.stopping) return;
  upstream_series().reconnects.add();
  timer_.expires_after(backoff_.next());
  timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->connect();
  });
}

}  // namespace wagent

namespace wagent {

void Upstream::on_registered(const JSON_RPC_Channel_Ptr& channel) {
  mark(channel, true);
}

void Upstream::on_unregistered(const JSON_RPC_Channel_Ptr& channel) {
  mark(channel, false);
}

void Upstream::mark(const JSON_RPC_Channel_Ptr& channel, bool registered) {
  registered_ = registered;
  const bool upstream =
      channel.get() && Global_JSON_RPC_Channel::instance().get() == channel.get();
  ACE_DEBUG((LM_NOTICE, "%N:%l: upstream channel %C (news from the %C)\n",
             registered ? "registered" : "unregistered",
             upstream ? "upstream connection" : "listener"));
}

}  // namespace wagent
