// No service options: --install and the like are usage errors, as any other
// unknown option.
#include "host/service.h"

const char kServiceUsage[] = "";

bool service_command(const std::vector<std::string>&, RunFunction, int*) { return false; }

void service_running() {}

void service_stopping() {}

std::string service_data_folder() { return std::string(); }
