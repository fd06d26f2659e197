#include "quorvin/platform/core/message_box.h"

#include <cstdio>
#include <string>

namespace quorvin::platform {
namespace {

MessageSink& Sink() {
  static MessageSink sink;
  return sink;
}

LogSink& Logger() {
  static LogSink sink;
  return sink;
}

}  // namespace

void Log(std::string_view line) {
  if (Logger()) {
    Logger()(line);
    return;
  }
  std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  std::fflush(stderr);
}

LogSink SetLogSink(LogSink sink) {
  LogSink old = std::move(Logger());
  Logger() = std::move(sink);
  return old;
}

void ShowMessageBox(std::string_view text, std::string_view title) {
  if (Sink()) {
    Sink()(text, title);
    return;
  }
  std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
               static_cast<int>(text.size()), text.data());
  std::fflush(stderr);
}

MessageSink SetMessageSink(MessageSink sink) {
  MessageSink old = std::move(Sink());
  Sink() = std::move(sink);
  return old;
}

}  // namespace quorvin::platform
