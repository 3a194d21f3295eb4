#pragma once
// A scriptable stand-in for model providers, speaking their wire formats over real HTTP on a local port.
//
// Routes:
//   POST <any path ending in "/chat/completions">  OpenAI-compatible chat; "stream": true answers with SSE
//   POST /api/chat                                  Ollama native chat; NDJSON unless "stream": false
//   GET  /_requests                                 the recorded requests as a JSON array (not itself recorded)
//   anything else                                   404
// Every request but GET /_requests is recorded before a reply is chosen. Chat bodies that are not a JSON object
// get a 400 and do not use up a scripted reply.
//
// The server runs on its own thread with its own io_context, so a test can start it in process. Nothing here
// throws across the interface except parse_script(json), which is meant for tests and fails them loudly.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pelmox::fake {

struct ScriptedToolCall {
  std::string name;
  std::string arguments;  // JSON text as the model would produce it (may be partial or invalid on purpose)
  std::string id;         // empty: the provider makes one, "call_<n>" with a counter starting at 1
};

struct ScriptedReply {
  int status = 200;                 // != 200: reply with this status and `body` (or a JSON error object)
  std::string body;                 // error body for status != 200
  std::string text;                 // answer content
  std::string reasoning;            // reasoning text
  std::string reasoning_key = "reasoning_content";  // or "reasoning" / "thinking" (OpenAI-compatible replies)
  std::vector<ScriptedToolCall> tool_calls;
  int delay_ms = 0;                 // wait before the reply head
  int chunk_delay_ms = 0;           // wait between stream events
  bool cut = false;                 // streams: stop midway without the end marker and close; whole replies:
                                    // close the connection after sending part of the body
  std::optional<std::string> raw_body;  // sent verbatim with status `status` (garbage, custom SSE text ...)
  std::optional<nlohmann::json> usage;  // sent as "usage" (OpenAI) / eval counts (Ollama)
  int repeat = 1;                   // served this many times (at least once) before the next entry
  std::string finish_reason;        // empty: "stop", or "tool_calls" when there are tool calls
};

struct RecordedRequest {
  std::string method;
  std::string target;
  std::map<std::string, std::string> headers;  // names in lower case; repeated fields joined with ", "
  std::string body;
};

class FakeProvider {
 public:
  FakeProvider();
  ~FakeProvider();  // stops
  FakeProvider(const FakeProvider&) = delete;
  FakeProvider& operator=(const FakeProvider&) = delete;

  // Binds and starts serving; returns the bound port, or 0 when binding failed (see last_error()).
  // Calling it while running returns the current port.
  unsigned short start(unsigned short port = 0, std::string host = "127.0.0.1");
  // Ends serving: open connections are closed, pending delays abandoned. Safe to call twice; start() may follow.
  void stop();

  void script(std::vector<ScriptedReply> replies);  // replaces the queue
  void set_fallback(ScriptedReply reply);           // served when the queue is empty (default: text "ok")
  void set_loop(bool loop);                         // start the queue over once exhausted instead of falling back

  std::vector<RecordedRequest> requests() const;    // in arrival order, thread-safe
  void clear_requests();

  unsigned short port() const;
  std::string base_url() const;    // "http://127.0.0.1:<port>/v1"
  std::string ollama_url() const;  // "http://127.0.0.1:<port>"
  std::string last_error() const;  // why start() failed

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// The JSON script format of the standalone program: an array of reply objects, or {"replies": [...]}. Members are
// named as in ScriptedReply; "tool_calls" is [{"name": ..., "arguments": <string or object>, "id": ...}]. Unknown
// members are rejected so a typo does not pass silently.
// try_parse_script returns nullopt and sets `error` on a malformed script; parse_script throws
// std::invalid_argument with the same message.
std::optional<std::vector<ScriptedReply>> try_parse_script(const nlohmann::json& j, std::string& error);
std::vector<ScriptedReply> parse_script(const nlohmann::json& j);

// The benchmark script: `rounds` replies each calling run_command with {"command":"echo round"}, then "done".
std::vector<ScriptedReply> tool_rounds_script(int rounds);

}  // namespace pelmox::fake
