// Per-request handler creators: Object_Creator_Impl_T<Object_Creator_T<Base>,
// Handler> makes a fresh Handler for each request and destroys it after.
#ifndef WCOMMON_FRAME_OBJECT_CREATOR_IMPL_H
#define WCOMMON_FRAME_OBJECT_CREATOR_IMPL_H

#include <cerrno>
#include <new>
#include <type_traits>

#include "agent/plugin/object_creator.h"
#include "agent/restful/restful_handler.h"
// Every module source that names the HTTP creator must see its one definition.
#include "websvcs/common/frame/http_object_creator.h"

template <class Creator_Base, class Handler>
class Object_Creator_Impl_T : public Creator_Base {
 public:
  template <class T>
  struct Handler_Base_Of;
  template <class T>
  struct Handler_Base_Of<Object_Creator_T<T>> {
    typedef T type;
  };
  typedef typename Handler_Base_Of<Creator_Base>::type Base;

  // REST endpoints are made as Rest_Endpoint_T, which tells the host the
  // methods they answer.
  typedef typename std::conditional<
      std::is_base_of<JSON_RESTful_Handler_Impl2, Handler>::value,
      Rest_Endpoint_T<Handler>, Handler>::type Made;

  Base* create() override {
    Made* handler = new (std::nothrow) Made;
    if (!handler) errno = ENOMEM;
    return handler;
  }

  void destroy(Base* handler) override { delete handler; }
};

#endif
