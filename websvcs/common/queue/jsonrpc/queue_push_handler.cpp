// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/queue/jsonrpc/queue_push_handler.h"

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>

#include <memory>

#include "agent/json_rpc/requester.h"
#include "agent/queue/queue_manager.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {
const char NAME[] = "Queue Push Handler";
}  // namespace

int JSON_RPC_Queue_Push_Handler::init(int argc, ACE_TCHAR* argv[]) {
  // No program name comes first, and the parser's own reports are off:
  // unknown options are logged here.
  ACE_Get_Opt options(argc, argv, ACE_TEXT("c:q:"), 0, 0);
  for (int c; (c = options()) != EOF;) {
    switch (c) {
      case 'c': control_type = options.opt_arg(); break;
      case 'q': queue_name = options.opt_arg(); break;
      default:
        ACE_DEBUG((LM_ERROR, ACE_TEXT("Unknown queue option: %s\n"),
                   options.last_option()));
        break;
    }
  }
  return 0;
}

JSON_RPC_Object_Ptr JSON_RPC_Queue_Push_Handler::push(JSON_RPC_Channel* channel,
                                                      JSON_RPC_Request& object) {
  if (queue_name.empty())
    return wcommon::new_error(object.id, -32603,
                              "Internal error: Queue Push Handler is not initialized.");
  if (object.params.type() != json_spirit::array_type)
    return wcommon::new_error(object.id, -32602,
                              "Invalid params: params type must be array.");

  // One control object, shared by every block of the chain.
  std::shared_ptr<json_spirit::Object> control;
  if (control_type == "rpc_service_requester" && channel) {
    control = std::make_shared<json_spirit::Object>();
    RPC::Service::Requester(*channel, object, 0).dump(*control);
  }

  Queue_Block head;
  Queue_Block* last = &head;
  for (const json_spirit::Value& element : object.params.get_array()) {
    if (element.type() != json_spirit::obj_type) {
      ACE_DEBUG((LM_WARNING,
                 ACE_TEXT("Failed to handle element of params in Queue Push "
                          "Handler, type of element is expected as object(%d), "
                          "but actually is (%d).\n"),
                 int(json_spirit::obj_type), int(element.type())));
      continue;
    }
    const std::string* message = json_spirit::object_get_str(element, "message");
    if (!message) {
      ACE_DEBUG((LM_WARNING,
                 ACE_TEXT("Failed to handle 'message' in element of params in "
                          "Queue Push Handler, 'message' does not exist or type "
                          "of 'message' is not string(%d).\n"),
                 int(json_spirit::str_type)));
      continue;
    }
    Queue_Block* block = last->new_next(message->data(), message->size());
    if (!block)
      return wcommon::new_error(object.id, -32603, "Invalid error: out of memory.");
    if (const std::string* group = json_spirit::object_get_str(element, "group"))
      block->group(*group);
    if (control) block->control(control);
    last = block;
  }

  JSON_RPC_Object_Ptr reply = wcommon::new_response(object, false);
  if (!reply.get()) return reply;
  bool accepted = true;
  if (const Queue_Block* first = head.next())
    accepted = Queue_Manager::instance()->enqueue(std::string(queue_name), *first, nullptr);
  static_cast<JSON_RPC_Response*>(reply.get())->result = accepted;
  return reply;
}

int JSON_RPC_Queue_Push_Handler::handle_request(JSON_RPC_Channel* channel,
                                                JSON_RPC_Request& request) {
  return WCOMMON_POOL_REQUEST(channel, request, NAME,
                              [&] { return push(channel, request); });
}

int JSON_RPC_Queue_Push_Handler::handle_notify(JSON_RPC_Channel* channel,
                                               JSON_RPC_Request& notification) {
  return WCOMMON_POOL_NOTIFY(push(channel, notification), NAME);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Queue_Push_Handler)
