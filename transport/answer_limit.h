// The bound on answers of the cloud service, shared by the three clients.
#pragma once

#include <cstddef>

// The largest answer body any client takes: a catalog is about a megabyte,
// and a larger answer is refused before it is copied, parsed or stored, so
// that whoever answers for the service cannot fill the panel's memory or
// disk.  The transfer itself is stopped as soon as it passes the bound.
constexpr size_t kAnswerMaxSize = size_t{32} << 20;
