// Exported factories `_make_<Class>(deleter_slot)`. A factory stores the
// deleter of its kind in the slot (when there is one), then makes the object
// with the ordinary throwing allocation.
#ifndef WCOMMON_FRAME_FACTORY_H
#define WCOMMON_FRAME_FACTORY_H

#include "agent/plugin/object_creator.h"
#include "websvcs/common/frame/export.h"

namespace wcommon {

// Handlers are simply destroyed: the host has already called fini.
template <class Base>
void delete_handler(void* object) {
  delete static_cast<Base*>(object);
}

// Creators get one more fini of their own before they go, so every creator's
// fini must tolerate a second call.
template <class Base>
void delete_creator(void* object) {
  if (!object) return;
  Base* creator = static_cast<Base*>(object);
  creator->fini();
  delete creator;
}

template <class Base, class Class>
Base* make_object(Object_Deleter* deleter_slot, Object_Deleter deleter) {
  if (deleter_slot) *deleter_slot = deleter;
  return new Class;
}

}  // namespace wcommon

// The host calls every factory through this one type, whatever it makes:
// a factory of another type would be called through the wrong one.
#define WCOMMON_FACTORY(BASE, CLASS, DELETER)                                   \
  extern "C" WCOMMON_EXPORT Service_Object* _make_##CLASS(Object_Deleter* slot) { \
    return wcommon::make_object<BASE, CLASS>(slot, &DELETER<BASE>);             \
  }

// Every JSON-RPC handler kind is handed out as a JSON_RPC_Handler.
#define WCOMMON_JSON_RPC_HANDLER_FACTORY(CLASS) \
  WCOMMON_FACTORY(JSON_RPC_Handler, CLASS, wcommon::delete_handler)

#define WCOMMON_PARAMS_CREATOR_FACTORY(CLASS)                           \
  WCOMMON_FACTORY(JSON_RPC_Params_Handler_Creator, CLASS, \
                  wcommon::delete_creator)

#define WCOMMON_CREATOR_FACTORY(BASE, CLASS) \
  WCOMMON_FACTORY(BASE, CLASS, wcommon::delete_creator)

#endif
