// The module's globals, in the order of their construction at load time.
// Plain C++: constructing them touches neither Python nor the network.
#include "loader/loader.h"

#include "build_config.h"

std::string host = PL_SERVICE_URL;
Ploader Ps;

Ploader::Ploader()
    : module_list(), mtime_cache(), mac_address(), soft_list(), db_iv_file(db_iv_path()) {}
