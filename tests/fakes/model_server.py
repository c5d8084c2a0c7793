#!/usr/bin/env python3
"""A local stand-in for the servers the real Codex CLI and Claude Code talk to.

Usage: model_server.py REQUEST_LOG [LIFETIME_SECONDS]

Serves on 127.0.0.1 (a free port, printed on the first line of standard output):
  POST .../responses           the OpenAI Responses API, streamed (SSE), one short
                               text answer with usage figures
  POST .../v1/messages         the Anthropic Messages API, streamed (SSE), one short
                               text answer with usage figures, and the unified
                               rate-limit headers of a subscription login
  GET  .../wham/usage          the ChatGPT backend's usage windows of a Codex account
  POST .../oauth/token         a token refresh (answered with fresh unsigned tokens)
  anything else                404
Every request is appended to REQUEST_LOG as one JSON line (method, path, headers,
body). The figures served are fixed here so a test can check them; the n-th answer
of each API uses the n-th usage row (the last one repeats).

The server stops by itself when standard input closes (its parent went away) or
after LIFETIME_SECONDS (default 300).
"""

import base64
import http.server
import json
import os
import sys
import threading
import time

# Responses API usage rows: input (of which cached), output (of which reasoning).
RESPONSES_USAGE = [
    {"input": 1200, "cached": 0, "output": 80, "reasoning": 32},
    {"input": 2600, "cached": 1152, "output": 140, "reasoning": 64},
]
# Messages API usage rows.
MESSAGES_USAGE = [
    {"input": 12, "cache_creation": 4800, "cache_read": 0, "output": 9},
    {"input": 7, "cache_creation": 310, "cache_read": 4800, "output": 15},
]
# The unified rate-limit headers (utilization is a fraction of 1; reset is epoch seconds).
UNIFIED_5H_UTILIZATION = "0.42"
UNIFIED_7D_UTILIZATION = "0.17"
# The ChatGPT backend's usage windows.
WHAM_PRIMARY_USED = 23
WHAM_SECONDARY_USED = 61


def unsigned_jwt(claims):
    def part(obj):
        return base64.urlsafe_b64encode(json.dumps(obj).encode()).rstrip(b"=").decode()
    return part({"alg": "none", "typ": "JWT"}) + "." + part(claims) + ".c2ln"


def main():
    log_path = sys.argv[1]
    lifetime = float(sys.argv[2]) if len(sys.argv) > 2 else 300.0
    counters = {"responses": 0, "messages": 0}
    lock = threading.Lock()
    started = time.time()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def read_body(self):
            length = int(self.headers.get("Content-Length") or 0)
            if length:
                return self.rfile.read(length)
            if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                data = b""
                while True:
                    size = int(self.rfile.readline().strip() or b"0", 16)
                    if size == 0:
                        self.rfile.readline()
                        return data
                    data += self.rfile.read(size)
                    self.rfile.readline()
            return b""

        def record(self, body):
            text = body.decode("utf-8", errors="replace")
            if self.headers.get("Content-Encoding", "") == "zstd":
                text = "<zstd>"
            with lock:
                with open(log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps({"method": self.command, "path": self.path,
                                          "headers": dict(self.headers.items()), "body": text}) + "\n")

        def next_row(self, name, rows):
            with lock:
                index = counters[name]
                counters[name] += 1
            return rows[min(index, len(rows) - 1)]

        def send_json(self, status, obj, extra=None):
            data = json.dumps(obj).encode()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            for k, v in (extra or {}).items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(data)

        def send_sse(self, events, extra=None):
            data = "".join("event: %s\ndata: %s\n\n" % (name, json.dumps(obj)) for name, obj in events).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Cache-Control", "no-cache")
            self.send_header("Content-Length", str(len(data)))
            for k, v in (extra or {}).items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(data)

        def answer_responses(self, body):
            row = self.next_row("responses", RESPONSES_USAGE)
            try:
                model = json.loads(body).get("model", "gpt-5")
            except ValueError:
                model = "gpt-5"
            n = counters["responses"]
            rid, mid = "resp_local_%d" % n, "msg_local_%d" % n
            text = "Done."
            item = {"type": "message", "id": mid, "role": "assistant", "status": "completed",
                    "content": [{"type": "output_text", "text": text, "annotations": []}]}
            usage = {"input_tokens": row["input"], "input_tokens_details": {"cached_tokens": row["cached"]},
                     "output_tokens": row["output"], "output_tokens_details": {"reasoning_tokens": row["reasoning"]},
                     "total_tokens": row["input"] + row["output"]}
            base = {"id": rid, "object": "response", "model": model, "created_at": int(time.time())}
            self.send_sse([
                ("response.created", {"type": "response.created", "response": dict(base, status="in_progress")}),
                ("response.output_item.added", {"type": "response.output_item.added", "output_index": 0,
                                                "item": dict(item, status="in_progress", content=[])}),
                ("response.output_text.delta", {"type": "response.output_text.delta", "item_id": mid,
                                                "output_index": 0, "content_index": 0, "delta": text}),
                ("response.output_item.done", {"type": "response.output_item.done", "output_index": 0,
                                               "item": item}),
                ("response.completed", {"type": "response.completed",
                                        "response": dict(base, status="completed", output=[item], usage=usage)}),
            ])

        def answer_messages(self, body):
            try:
                request = json.loads(body)
            except ValueError:
                request = {}
            model = request.get("model", "claude-sonnet-4-5")
            headers = {
                "request-id": "req_local_%d" % (counters["messages"] + 1),
                "anthropic-ratelimit-unified-status": "allowed",
                "anthropic-ratelimit-unified-5h-status": "allowed",
                "anthropic-ratelimit-unified-5h-utilization": UNIFIED_5H_UTILIZATION,
                "anthropic-ratelimit-unified-5h-reset": str(int(started) + 3 * 3600),
                "anthropic-ratelimit-unified-7d-status": "allowed",
                "anthropic-ratelimit-unified-7d-utilization": UNIFIED_7D_UTILIZATION,
                "anthropic-ratelimit-unified-7d-reset": str(int(started) + 4 * 86400),
                "anthropic-ratelimit-unified-representative-claim": "five_hour",
                "anthropic-ratelimit-unified-fallback-percentage": "0.5",
                "anthropic-ratelimit-unified-reset": str(int(started) + 3 * 3600),
            }
            if not request.get("stream"):
                # Side requests (titles, topic checks, token counts) answered without usage worth counting.
                self.send_json(200, {"id": "msg_side", "type": "message", "role": "assistant", "model": model,
                                     "content": [{"type": "text", "text": "{\"title\": \"Local\"}"}],
                                     "stop_reason": "end_turn", "stop_sequence": None,
                                     "usage": {"input_tokens": 1, "output_tokens": 1}}, headers)
                return
            row = self.next_row("messages", MESSAGES_USAGE)
            n = counters["messages"]
            headers["request-id"] = "req_local_%d" % n
            mid = "msg_local_%d" % n
            text = "Done."
            # As the API sends it: the cache writes also broken down by lifetime.
            breakdown = {"ephemeral_5m_input_tokens": row["cache_creation"], "ephemeral_1h_input_tokens": 0}
            start_usage = {"input_tokens": row["input"], "cache_creation_input_tokens": row["cache_creation"],
                           "cache_read_input_tokens": row["cache_read"], "cache_creation": breakdown,
                           "output_tokens": 1, "service_tier": "standard"}
            self.send_sse([
                ("message_start", {"type": "message_start", "message": {
                    "id": mid, "type": "message", "role": "assistant", "model": model, "content": [],
                    "stop_reason": None, "stop_sequence": None, "usage": start_usage}}),
                # A thinking block before the text: Claude Code writes one transcript line per block.
                ("content_block_start", {"type": "content_block_start", "index": 0,
                                         "content_block": {"type": "thinking", "thinking": "", "signature": ""}}),
                ("content_block_delta", {"type": "content_block_delta", "index": 0,
                                         "delta": {"type": "thinking_delta", "thinking": "One word."}}),
                ("content_block_delta", {"type": "content_block_delta", "index": 0,
                                         "delta": {"type": "signature_delta", "signature": "c2lnbmF0dXJl"}}),
                ("content_block_stop", {"type": "content_block_stop", "index": 0}),
                ("content_block_start", {"type": "content_block_start", "index": 1,
                                         "content_block": {"type": "text", "text": ""}}),
                ("content_block_delta", {"type": "content_block_delta", "index": 1,
                                         "delta": {"type": "text_delta", "text": text}}),
                ("content_block_stop", {"type": "content_block_stop", "index": 1}),
                ("message_delta", {"type": "message_delta",
                                   "delta": {"stop_reason": "end_turn", "stop_sequence": None},
                                   "usage": {"input_tokens": row["input"],
                                             "cache_creation_input_tokens": row["cache_creation"],
                                             "cache_read_input_tokens": row["cache_read"],
                                             "cache_creation": breakdown,
                                             "output_tokens": row["output"]}}),
                ("message_stop", {"type": "message_stop"}),
            ], headers)

        def wham_usage(self):
            now = int(time.time())
            self.send_json(200, {
                "plan_type": "plus",
                "rate_limit": {
                    "allowed": True, "limit_reached": False,
                    "primary_window": {"used_percent": WHAM_PRIMARY_USED, "limit_window_seconds": 18000,
                                       "reset_after_seconds": 7200, "reset_at": now + 7200},
                    "secondary_window": {"used_percent": WHAM_SECONDARY_USED, "limit_window_seconds": 604800,
                                         "reset_after_seconds": 200000, "reset_at": now + 200000},
                },
                "credits": {"has_credits": False, "unlimited": False, "balance": "0"},
            })

        def token(self):
            claims = {"email": "dev@example.invalid",
                      "https://api.openai.com/auth": {"chatgpt_account_id": "acct-local",
                                                      "chatgpt_plan_type": "plus"},
                      "exp": int(time.time()) + 86400}
            self.send_json(200, {"id_token": unsigned_jwt(claims), "access_token": unsigned_jwt(claims),
                                 "refresh_token": "refresh-local", "expires_in": 86400})

        def do_POST(self):
            body = self.read_body()
            self.record(body)
            path = self.path.split("?", 1)[0]
            try:
                if path.endswith("/responses"):
                    self.answer_responses(body)
                elif path.endswith("/v1/messages"):
                    self.answer_messages(body)
                elif path.endswith("/oauth/token"):
                    self.token()
                elif path.endswith("/count_tokens"):
                    self.send_json(200, {"input_tokens": 100})
                else:
                    self.send_json(404, {"error": "not found"})
            except (BrokenPipeError, ConnectionResetError):
                pass

        def do_GET(self):
            self.record(b"")
            path = self.path.split("?", 1)[0]
            try:
                if path.endswith("/wham/usage"):
                    self.wham_usage()
                else:
                    self.send_json(404, {"error": "not found"})
            except (BrokenPipeError, ConnectionResetError):
                pass

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        def handle_error(self, request, client_address):
            # A client that hangs up early is no fault here; anything else is shown.
            if not isinstance(sys.exc_info()[1], (ConnectionError, BrokenPipeError)):
                super().handle_error(request, client_address)

    server = Server(("127.0.0.1", 0), Handler)

    def stop_when_orphaned():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except OSError:
            pass
        os._exit(0)

    def stop_after_lifetime():
        time.sleep(lifetime)
        os._exit(0)

    threading.Thread(target=stop_when_orphaned, daemon=True).start()
    threading.Thread(target=stop_after_lifetime, daemon=True).start()
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
