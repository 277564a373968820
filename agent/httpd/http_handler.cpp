#include "agent/httpd/http_handler.h"

HTTP_Handler::~HTTP_Handler() {}
int HTTP_Handler::init(int, char*[]) { return 0; }
int HTTP_Handler::fini() { return 0; }
int HTTP_Handler::handle_body(const void*, unsigned) { return 0; }
int HTTP_Handler::handle_sent() { return 0; }
int HTTP_Handler::handle_close() { return 0; }

HTTP_Handler_Creator::~HTTP_Handler_Creator() {}
