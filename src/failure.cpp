// fail(): the way out of a run for every error.
#include "failure.h"

void fail(const std::string& message) { throw RunFailure{message}; }
