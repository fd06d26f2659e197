#!/usr/bin/env python3
"""Python's urllib against quorvin-serve on the bundled site.

urllib_test.sh starts the server and passes its address in QUORVIN_BASE and the site's folder
in QUORVIN_SITE.
"""
import os
import pathlib
import unittest
import urllib.error
import urllib.parse
import urllib.request

BASE = os.environ["QUORVIN_BASE"]
SITE = pathlib.Path(os.environ["QUORVIN_SITE"])


class NoRedirect(urllib.request.HTTPRedirectHandler):
    """Hands a redirect back as an error, so that its status and Location can be read."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None


def fetch(path, *, method=None, data=None, headers=None, opener=None):
    """(status, headers, body) of one request; an error status is an answer too."""
    request = urllib.request.Request(BASE + path, data=data, method=method, headers=headers or {})
    try:
        with (opener or urllib.request.build_opener()).open(request, timeout=20) as answer:
            return answer.status, answer.headers, answer.read(), answer.geturl()
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.headers, error.read(), error.geturl()


def site_files():
    return sorted(str(p.relative_to(SITE)) for p in SITE.rglob("*")
                  if p.is_file() and not any(part.startswith(".") for part in p.relative_to(SITE).parts))


class UrllibAgainstServer(unittest.TestCase):
    def test_files_arrive_byte_exact(self):
        files = site_files()
        self.assertGreaterEqual(len(files), 5)
        for path, local in [(f, f) for f in files] + [("", "index.htm"), ("docs/", "docs/index.htm")]:
            with self.subTest(path=path):
                status, _, body, _ = fetch("/" + path)
                self.assertEqual(status, 200)
                self.assertEqual(body, (SITE / local).read_bytes())

    def test_content_types(self):
        for path, wanted in [("index.htm", "text/html"), ("style.css", "text/css"),
                             ("logo.svg", "image/svg+xml"), ("notes.qvx", None)]:
            with self.subTest(path=path):
                _, headers, _, _ = fetch("/" + path)
                self.assertEqual(headers.get("Content-Type"), wanted)

    def test_head_gives_the_heading_without_a_body(self):
        for path in ["index.htm", "logo.svg", "docs/form-files.htm"]:
            with self.subTest(path=path):
                status, headers, body, _ = fetch("/" + path, method="HEAD")
                self.assertEqual(status, 200)
                self.assertEqual(int(headers["Content-Length"]), (SITE / path).stat().st_size)
                self.assertIsNotNone(headers.get("Last-Modified"))
                self.assertEqual(body, b"")

    def test_error_pages_carry_their_status(self):
        for path, code in [("/missing.htm", 404), ("/docs/missing/deeper.htm", 404),
                           ("/.private.htm", 403), ("/index.htm?no=action", 400)]:
            with self.subTest(path=path):
                status, _, body, _ = fetch(path)
                self.assertEqual(status, code)
                self.assertIn(f"ERROR : {code} ".encode(), body)

    def test_folder_without_slash_is_redirected(self):
        status, headers, _, _ = fetch("/docs", opener=urllib.request.build_opener(NoRedirect))
        self.assertEqual(status, 301)
        self.assertEqual(urllib.parse.urljoin(BASE + "/docs", headers["Location"]), BASE + "/docs/")
        status, _, body, url = fetch("/docs")
        self.assertEqual((status, url), (200, BASE + "/docs/"))
        self.assertEqual(body, (SITE / "docs/index.htm").read_bytes())

    def test_form_posted_to_echo(self):
        form = urllib.parse.urlencode({"name": "Ada Lovelace", "message": "Hello, & more: 100%"}).encode()
        status, headers, body, _ = fetch("/echo", data=form)
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("Content-Type"), "text/plain")
        lines = dict(line.split("=", 1) for line in body.decode().splitlines())
        self.assertEqual(lines["0"], "POST")
        self.assertEqual(lines["15"], "application/x-www-form-urlencoded")
        self.assertEqual(lines["16"], str(len(form)))
        self.assertEqual(lines["25"], form.decode())

    def test_post_to_a_file_is_refused(self):
        status, _, body, _ = fetch("/index.htm", data=b"name=x")
        self.assertEqual(status, 405)
        self.assertIn(b"ERROR : 405 ", body)


if __name__ == "__main__":
    unittest.main(verbosity=2)
