#pragma once

// The web action framework in one include: requests and responses as web actions see them,
// cookies, actions and dispatchers, URL decoding and HTTP dates.
#include "quorvin/platform/web/cookie.h"
#include "quorvin/platform/web/http_date.h"
#include "quorvin/platform/web/http_decode.h"
#include "quorvin/platform/web/web_action.h"
#include "quorvin/platform/web/web_dispatcher.h"
#include "quorvin/platform/web/web_error.h"
#include "quorvin/platform/web/web_request.h"
#include "quorvin/platform/web/web_response.h"
