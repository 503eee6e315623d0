// Route resolution: the base URL of the cloud service's API, chosen afresh
// for every request from the node routing file <panel>/data/node_url.pl or,
// failing that, the default address `host` + "/api/panel".  Plain C++.
#pragma once

#include <string>

#include "build_config.h"

// The route in one of three forms: the default route, a plain node route
// "http://" + url + "/api/panel", or the node form
// url + "#http://" + ip + "/api/panel" when the node is pinned to an address
// (only curl_post2 understands that form).  A node's url must be a host name
// (see is_node_host) holding "api-node", and a host of the service's domain
// (see in_service_domain).
std::string _get_route();

// The same rules without the address pin: always a plain URL.
std::string _get_route_py();

// True when text is a host name as a node's "url" must be: letters, digits,
// "-", "_" and "." only, optionally followed by ":" and a port number
// (1 to 65535).  Anything else (a path, query, fragment, user part, white
// space, control characters) would send the request somewhere else.
bool is_node_host(const std::string& text);

// True when the host of node (the part before an optional ":port") is the
// service's domain or ends with "." + the domain, in any case: a name that
// merely contains the domain (api-node.<domain>.evil.example) is another
// host's.
bool in_service_domain(const std::string& node);

// Whether a request to url checks the server's certificate and host name.
// With setting on (the build's SERVICE_TLS_VERIFY) every HTTPS request does:
// the default route is the only HTTPS address the module sends to, and node
// routes are plain HTTP.  With setting off, none does.
bool tls_verify_for(const std::string& url, bool setting = PL_SERVICE_TLS_VERIFY != 0);

// <panel>/data/node_url.pl.
std::string route_file();

// The route as _get_route (with_pin) or _get_route_py (without) gives it.
// When why is given, it receives why the default route was chosen ("no
// routing file", "not valid JSON", ...), or "" when the file gave the route.
std::string resolve_route(bool with_pin, std::string* why);
