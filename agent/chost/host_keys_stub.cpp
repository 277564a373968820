// Stand-ins for the key functions until their own source lands: no
// challenge, no key.
#include "agent/chost/host_manager.h"

bool File_Host_Manager::create_challenge(std::string&, std::int64_t&) {
  return false;
}

std::string File_Host_Manager::public_key() const { return std::string(); }

void File_Host_Manager::load_keys() const {}
