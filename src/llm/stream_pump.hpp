#pragma once
// Turns a streamed reply body into StreamChunk items: the line decoders of the two stream formats providers speak
// (server-sent events of the OpenAI-compatible interface, line-delimited JSON of Ollama's native one) and the pump
// that reads the body, decodes it line by line and hands each chunk on as soon as its line is complete.
//
// The pump is a coroutine owned by its receiver: it waits while the receiver's 128-chunk channel is full (so a slow
// consumer slows the transfer down instead of piling data up) and ends, releasing the body and with it the HTTP
// transfer, as soon as the receiver is destroyed.
//
// Thread-safety: a decoder belongs to one pump. start_stream_pump may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "llm/line_splitter.hpp"
#include "llm/message.hpp"
#include "llm/model_client.hpp"
#include "net/http_client.hpp"
#include "runtime/runtime.hpp"
#include "utils/result.hpp"

namespace pelmox {

// What one line of a stream gives: the chunks to hand on, in order, and whether the stream ends with it.
struct StreamStep {
  std::vector<StreamChunk> chunks;
  bool end = false;
};

// Server-sent events of an OpenAI-compatible stream. Only "data: " lines count; "data: [DONE]" ends the stream.
// Of an event only the first choice and the first element of its tool_calls are read. The id and name of each tool
// call index are remembered, so every tool-call chunk carries the latest ones while its arguments are only the
// fragment of its own line.
class SseDecoder {
 public:
  StreamStep decode(std::string_view line);

 private:
  struct CallSoFar {
    std::optional<std::string> id;
    std::optional<std::string> name;
  };
  // Keyed by index: an index far beyond the calls seen so far must not allocate room for all the ones between.
  std::map<std::uint64_t, CallSoFar> calls_;
};

// Ollama's native line-delimited JSON (a "data:" prefix is tolerated). One object may give a reasoning chunk, a
// content chunk and one chunk per tool call, whose ids are "call_native_<k>" with k counting the calls of this
// stream from 0. An object whose "done" is true ends the stream.
class NdjsonDecoder {
 public:
  StreamStep decode(std::string_view line);

 private:
  std::uint64_t next_call_ = 0;
};

enum class StreamFormat { kSse, kOllamaNdjson };

// The next piece of a body: the bytes as they arrived, nullopt once the body has ended, or the read error.
using BodySource = std::function<awaitable<Result<std::optional<std::string>>>()>;

// Starts a pump on a strand of `ex` reading `body` and returns the receiver of its chunks. How the stream ends:
//   SSE: "[DONE]" gives a done chunk; a body that ends without it still ends with one; a read error (or a line
//        longer than `max_line`) is logged as "Stream error: {}" and followed by a done chunk.
//   Ollama: an object with "done": true gives a done chunk; the end of the body and read errors end the stream
//        without one (a line over the limit is logged, since that limit is ours, not the provider's).
// The body source is destroyed when the pump ends, which happens at the latest when the receiver is destroyed.
StreamReceiver start_stream_pump(asio::any_io_executor ex, BodySource body, StreamFormat format,
                                 std::size_t max_line = LineSplitter::kDefaultMaxLine);
// The same over the body of a response; the pump owns the response, so the transfer lives as long as the pump.
StreamReceiver start_body_pump(asio::any_io_executor ex, HttpResponseStream response, StreamFormat format);

}  // namespace pelmox
