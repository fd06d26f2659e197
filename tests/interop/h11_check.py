"""Every kind of answer quorvin-serve gives, read by h11, a strict HTTP/1.1 client, on one kept
connection: each answer must end exactly where its framing says, or the next one fails to parse.
Environment: QUORVIN_PORT. Prints 'N passed, 0 failed' or raises."""
import os
import socket

import h11

PORT = int(os.environ["QUORVIN_PORT"])
DATE = "Thu, 01 Jan 1970 00:00:00 GMT"  # long before any file of the site

# (method, target, extra headers, body, expected status, expects a body)
CASES = [
    ("GET", "/index.htm", [], b"", 200, True),
    ("HEAD", "/index.htm", [], b"", 200, False),
    ("GET", "/index.htm", [("If-Modified-Since", "Fri, 01 Jan 2100 00:00:00 GMT")], b"", 304, False),
    ("GET", "/index.htm", [("Range", "bytes=0-9")], b"", 206, True),
    ("GET", "/index.htm", [("Range", "bytes=9999999-")], b"", 416, None),
    ("GET", "/index.htm", [("If-Range", DATE), ("Range", "bytes=0-9")], b"", 200, True),
    ("GET", "/missing.htm", [], b"", 404, True),
    ("HEAD", "/missing/x.htm", [], b"", 404, False),
    ("HEAD", "/index.htm?x=1", [], b"", 400, False),
    ("GET", "/index.htm?x=1", [], b"", 400, True),
    ("HEAD", "/docs", [], b"", 301, False),
    ("GET", "/docs", [], b"", 301, None),
    ("DELETE", "/index.htm", [], b"", 501, True),
    ("POST", "/index.htm", [("Content-Type", "text/plain")], b"abc", 405, True),
    ("GET", "/index.htm", [("Content-Type", "text/plain")], b"small body", 200, True),
    ("GET", "/hello", [], b"", 200, True),
    ("HEAD", "/echo", [], b"", 200, False),
    ("POST", "/echo", [("Content-Type", "text/plain")], b"echoed", 200, True),
    ("POST", "/echo", [("Content-Type", "text/plain"), ("Expect", "100-continue")], b"after continue", 200, True),
    ("GET", "/status?code=404", [], b"", 404, True),
    ("HEAD", "/status?code=404", [], b"", 404, False),
    ("GET", "/headers", [], b"", 200, True),
    ("GET", "/cookies", [], b"", 200, True),
]


def exchange(sock, conn, method, target, headers, body):
    all_headers = [("Host", "127.0.0.1")] + headers
    if body:
        all_headers.append(("Content-Length", str(len(body))))
    data = conn.send(h11.Request(method=method, target=target, headers=all_headers))
    expects_continue = any(n.lower() == "expect" for n, _ in headers)
    sock.sendall(data)
    # A body that waits for 100 Continue goes out once it arrives.
    if not (body and expects_continue):
        if body:
            sock.sendall(conn.send(h11.Data(data=body)))
        sock.sendall(conn.send(h11.EndOfMessage()))
    response, received, interim = None, b"", []
    while True:
        event = conn.next_event()
        if event is h11.NEED_DATA:
            chunk = sock.recv(65536)
            if not chunk:
                raise AssertionError(f"{method} {target}: the connection closed mid-answer")
            conn.receive_data(chunk)
            continue
        if isinstance(event, h11.InformationalResponse):
            interim.append(event.status_code)
            if expects_continue and event.status_code == 100:
                sock.sendall(conn.send(h11.Data(data=body)) + conn.send(h11.EndOfMessage()))
            continue
        if isinstance(event, h11.Response):
            response = event
            if expects_continue and body and conn.our_state is h11.SEND_BODY:
                # The answer came without a 100: h11 lets the body go or the connection close.
                sock.sendall(conn.send(h11.Data(data=body)) + conn.send(h11.EndOfMessage()))
            continue
        if isinstance(event, h11.Data):
            received += bytes(event.data)
            continue
        if isinstance(event, h11.EndOfMessage):
            return response, received, interim
        raise AssertionError(f"{method} {target}: unexpected {event!r}")


def main():
    sock = socket.create_connection(("127.0.0.1", PORT), timeout=10)
    conn = h11.Connection(our_role=h11.CLIENT)
    passed = 0
    for method, target, headers, body, status, has_body in CASES:
        what = f"{method} {target} {headers}"
        response, received, interim = exchange(sock, conn, method, target, headers, body)
        if status is not None:
            assert response.status_code == status, f"{what}: status {response.status_code}, wanted {status}"
        if has_body is True:
            assert received, f"{what}: no body"
        if has_body is False:
            assert received == b"", f"{what}: a body of {len(received)} bytes"
        if target == "/echo" and any(n == "Expect" for n, _ in headers):
            assert interim == [100], f"{what}: interim answers {interim}"
        names = {bytes(n).lower() for n, _ in response.headers}
        assert b"date" in names, f"{what}: no Date header"
        passed += 1
        assert conn.our_state is h11.DONE and conn.their_state is h11.DONE, \
            f"{what}: the connection cannot go on ({conn.our_state}, {conn.their_state})"
        conn.start_next_cycle()
    sock.close()
    print(f"h11: {passed} passed, 0 failed")


if __name__ == "__main__":
    main()
