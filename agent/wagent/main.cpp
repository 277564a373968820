#include "agent/wagent/host.h"

int main(int argc, char* argv[]) { return wagent::run_host(argc, argv); }
