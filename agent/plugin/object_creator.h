// Service objects that hand out one handler per request. The host keeps the
// creator for as long as the service is configured.
#ifndef PLUGIN_OBJECT_CREATOR_H
#define PLUGIN_OBJECT_CREATOR_H

// What a factory stores in its deleter slot: disposes of the object the
// factory returned.
typedef void (*Object_Deleter)(void*);

// The first base of every kind of object a module's factory returns. A host
// receives a factory's result untyped; this common root lets it check with
// dynamic_cast that the object is of the kind its configuration line binds,
// instead of trusting the line.
class __attribute__((visibility("default"))) Service_Object {
 public:
  virtual ~Service_Object();
};

// Visible from every library, so that a creator made in a module and one
// expected by the host are the same type.
template <class T>
class __attribute__((visibility("default"))) Object_Creator_T
    : public Service_Object {
 public:
  virtual int init(int, char*[]) { return 0; }
  virtual int fini() { return 0; }
  // A fresh handler, or null with errno ENOMEM.
  virtual T* create() = 0;
  virtual void destroy(T* handler) = 0;
};

#endif
