#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quorvin/platform/core/stream.h"
#include "quorvin/platform/core/string_list.h"
#include "quorvin/server/request_reader.h"
#include "quorvin/server/response_writer.h"
#include "quorvin/server/server_module.h"
#include "quorvin/server/target_resolver.h"
#include "quorvin/webbridge/connection_view.h"

namespace quorvin::server {

// One server connection: reads the request with its RequestReader, offers it to the web actions
// first, otherwise resolves it under the root, and sends the answer (composed by its
// ResponseWriter, or by a web action). The socket bindings derive from it and supply only the
// socket operations below.
class HttpConnection : public webbridge::ConnectionView {
 public:
  explicit HttpConnection(ListenerConfig& listener);
  virtual ~HttpConnection();

  // Data arrived: read and parse; once the request is complete or refused, prepare the answer
  // and ask for write readiness.
  void OnReads();
  // Write ready: send the prepared answer (heading and file, a web action's answer, or an error
  // page), then end.
  void OnWrites();

  // webbridge::ConnectionView
  std::string_view RequestField(Field field) const override;

  const platform::TStringList& RequestHeaders() const override { return reader_.Headers(); }

  platform::TMemoryStream& RequestBody() override { return reader_.Body(); }

  // The listener that accepted the connection: its settings, and the connection count the
  // first binding keeps there.
  ListenerConfig& Server;

 protected:
  // What the socket bindings do differently. Nothing else may differ.
  // Bytes read into `into` (at most `max`); -1 when nothing can be read now; 0 when the peer
  // has closed. Raises when the receive fails.
  virtual int ReadSome(char* into, int max) = 0;
  // Sends every byte of `bytes`, queueing what cannot leave now.
  virtual void WriteAll(std::string_view bytes) = 0;
  // Takes `stream`, sends it from its position to its end, then closes the connection.
  virtual void WriteStreamThenClose(std::unique_ptr<platform::TStream> stream) = 0;
  virtual void CloseNow() = 0;
  // No more data-arrived events; report write readiness.
  virtual void AwaitWritable() = 0;
  // The name the Server header carries; empty leaves the header out.
  virtual std::string LocalHostName() const = 0;

 private:
  void FinishRequest();
  void RefuseRequest(int code);
  void StartResponse();
  bool Dispatch();
  void AnswerTarget(TargetUse use);
  void AnswerFile(TargetResolution& target);

  RequestReader reader_;
  ResponseWriter writer_;
  std::string default_document_;
  std::string translated_path_;
  std::unique_ptr<platform::TFileStream> file_stream_;
  std::int64_t file_start_ = 0;  // where the file answer begins (a byte range starts later)
  // True: the answer goes out from the writer's buffer, then the file; false: from the body,
  // where a web action wrote it.
  bool file_mode_ = true;
  bool body_is_answer_ = false;  // the body holds a web action's answer, not the request body
  bool answered_ = false;
};

}  // namespace quorvin::server
