// Log files sent to the management server or a private storage.
#ifndef CLNTIO_LOG_TRANSFER_H
#define CLNTIO_LOG_TRANSFER_H

#include <string>

#include "agent/clntio/client_io.h"
#include "agent/json_spirit/json_spirit.h"

namespace common {

// PUTs the file `origin` to `target` below the connection's URI, through
// Client_IO_Service::instance(). The body is the file compressed with gzip
// while it is read, unless `origin` already ends in ".gz" (then as it is);
// no file is ever held whole in memory. A transfer that fails is tried once
// more on a new connection (Client_IO::reconnect). With `missing_ok`, a file
// that does not exist is skipped and counts as sent; every other file leaves
// one Sent_File on `io`. False when the file cannot be read or the transfer
// fails twice (logged).
bool upload_log(Client_IO& io, const char* target, const char* origin, bool missing_ok);

// What the process's own Client_IO_Service does for upload_log.
bool transfer_log(Client_IO& io, const char* target, const char* origin,
                  bool missing_ok);

// A private storage descriptor {"url": BASE, "headers": {NAME: VALUE, ...}}:
// files go to BASE/<name> with those headers, and the report names
// BASE/<task id>/ in `url`. False (logged, `url` empty) without a usable
// "url".
bool generate_url_by_storage(const json_spirit::Object& storage,
                             const std::string& task_id, URI& uri,
                             Client_IO_Base::Options& options, std::string& url);

}  // namespace common

#endif
