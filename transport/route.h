// Route resolution: the base URL of the cloud service's API, chosen afresh
// for every request from the node routing file <panel>/data/node_url.pl or,
// failing that, the default address `host` + "/api/panel".  Plain C++.
#pragma once

#include <string>

// The route in one of three forms: the default route, a plain node route
// "http://" + url + "/api/panel", or the node form
// url + "#http://" + ip + "/api/panel" when the node is pinned to an address
// (only curl_post2 understands that form).
std::string _get_route();

// The same rules without the address pin: always a plain URL.
std::string _get_route_py();

// <panel>/data/node_url.pl.
std::string route_file();

// The route as _get_route (with_pin) or _get_route_py (without) gives it.
// When why is given, it receives why the default route was chosen ("no
// routing file", "not valid JSON", ...), or "" when the file gave the route.
std::string resolve_route(bool with_pin, std::string* why);
