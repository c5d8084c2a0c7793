#!/usr/bin/env python3
"""A scripted local HTTP server standing in for Anthropic's OAuth endpoints.

Usage: oauth_server.py SCRIPT.json REQUEST_LOG

SCRIPT.json maps request paths to a list of answers, served in turn (the last one
repeats):
  {"/api/oauth/usage": [{"status": 200, "body": "...", "delay": 0.0}], ...}
"body" is sent as given (text); "json" instead is serialised. Unknown paths get 404.
Every request is appended to REQUEST_LOG as one JSON line: method, path, headers,
body. Listens on 127.0.0.1 on a free port and prints that port on the first line
of standard output.
"""

import http.server
import json
import sys
import threading
import time


def main():
    script_path, log_path = sys.argv[1], sys.argv[2]
    with open(script_path, "r", encoding="utf-8") as handle:
        script = json.load(handle)
    served = {}
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def answer(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length).decode("utf-8", errors="replace") if length else ""
            path = self.path.split("?", 1)[0]
            with lock:
                with open(log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps({"method": self.command, "path": path,
                                          "headers": dict(self.headers.items()), "body": body}) + "\n")
                answers = script.get(path)
                if answers:
                    index = served.get(path, 0)
                    served[path] = index + 1
                    reply = answers[min(index, len(answers) - 1)]
                else:
                    reply = {"status": 404, "body": "not found"}
            delay = float(reply.get("delay", 0))
            if delay > 0:
                time.sleep(delay)
            payload = json.dumps(reply["json"]) if "json" in reply else reply.get("body", "")
            data = payload.encode("utf-8")
            try:
                self.send_response(int(reply.get("status", 200)))
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)
            except (BrokenPipeError, ConnectionResetError):
                pass

        do_GET = answer
        do_POST = answer

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
