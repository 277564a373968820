#include "agent/plugin/object_creator.h"

// The type information of the root lives in the agent library alone, so a
// host and the modules it loads compare the same object.
Service_Object::~Service_Object() {}
