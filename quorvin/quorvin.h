#pragma once

// Everything a program needs for the short path: quorvin::Server (a folder and routes) and
// quorvin::Fetch (a URL in one call). The components themselves are under quorvin/server,
// quorvin/client, quorvin/platform and quorvin/package.
#include <string>

#include "quorvin/client/fetch.h"
#include "quorvin/embed/server.h"
