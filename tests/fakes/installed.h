// A service's implementation that is the process's instance for as long as
// it lives; the instance it replaced is put back when it goes.
#ifndef TESTS_FAKES_INSTALLED_H
#define TESTS_FAKES_INSTALLED_H

#include "agent/platform/service_instance.h"

template <class Service, class Impl>
struct Installed : Impl {
  using Impl::Impl;
  Scoped_Instance_T<Service> guard{this};
};

#endif
