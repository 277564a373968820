// Service objects that hand out one handler per request. The host keeps the
// creator for as long as the service is configured.
#ifndef MDRT_OBJECT_CREATOR_H
#define MDRT_OBJECT_CREATOR_H

// What a factory stores in its deleter slot: disposes of the object the
// factory returned.
typedef void (*Object_Deleter)(void*);

template <class T>
class Object_Creator_T {
 public:
  virtual ~Object_Creator_T() {}
  virtual int init(int, char*[]) { return 0; }
  virtual int fini() { return 0; }
  // A fresh handler, or null with errno ENOMEM.
  virtual T* create() = 0;
  virtual void destroy(T* handler) = 0;
};

#endif
