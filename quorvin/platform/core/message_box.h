#pragma once

#include <functional>
#include <string_view>

namespace quorvin::platform {

// Shows a message to the desktop user (no owner window, an OK button). Without a sink of the
// program's own, the title and text go to standard error.
void ShowMessageBox(std::string_view text, std::string_view title);

using MessageSink = std::function<void(std::string_view text, std::string_view title)>;
// Replaces the sink; returns the previous one. An empty sink restores the default.
MessageSink SetMessageSink(MessageSink sink);

}  // namespace quorvin::platform
