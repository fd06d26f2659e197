#pragma once

#include "quorvin/platform/core/classes.h"
#include "quorvin/platform/core/events.h"

// The demo web actions of quorvin-serve: small examples of writing actions, and a way to see
// the server's web bridge at work from a browser or curl.
namespace quorvin::apps {

// Registers the handlers under the names a form file binds them by: "Hello", "Echo", "Status",
// "Cookies", "Stream", "Headers" and "Events".
void AddDemoHandlers(platform::THandlerRegistry& handlers);

// The Actions collection of a TWebDispatcher that routes /hello, /echo, /status, /cookies,
// /stream, /headers and /events to those handlers.
platform::Json DemoActions();

}  // namespace quorvin::apps
