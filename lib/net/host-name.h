// This machine's name, as other programs on it know it.
#pragma once

#include <string>

// The host name (gethostname), or empty when the system gives none.
std::string LocalHostName();
