// The text of a network address for logs and audit events: "192.0.2.7",
// "::1", or with the port "192.0.2.7:8580".
#ifndef PLATFORM_ADDR_STRING_H
#define PLATFORM_ADDR_STRING_H

#include <ace/INET_Addr.h>

#include <cstdio>

class ACE_Addr_String {
 public:
  ACE_Addr_String(const ACE_INET_Addr& address, bool with_port) {
    char host[64] = "";
    if (!address.get_host_addr(host, sizeof host)) host[0] = '\0';
    if (with_port)
      std::snprintf(text_, sizeof text_, "%s:%u", host,
                    unsigned{address.get_port_number()});
    else
      std::snprintf(text_, sizeof text_, "%s", host);
  }
  const char* c_str() const { return text_; }

 private:
  char text_[72];
};

#endif
