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

// A line for the program's log: what went wrong where nobody is asked (a web action that threw,
// say). Without a sink of the program's own, the line goes to standard error.
void Log(std::string_view line);

using LogSink = std::function<void(std::string_view line)>;
// Replaces the log's sink; returns the previous one. An empty sink restores the default.
LogSink SetLogSink(LogSink sink);

}  // namespace quorvin::platform
