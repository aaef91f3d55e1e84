"""Shared helpers of the tvq module's tests: the program as the oracle
(TVQCONVERTER), and the format model of the tests (tests/tvqmodel): its
block builder for damaged files and the C library's sscanf for the values of
a text line; an HTTP server of files, with byte ranges or without."""

import contextlib
import functools
import http.server
import io
import os
import re
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import tvqmodel as model  # noqa: E402,F401


def tvqconverter(*args):
    """Runs the program; its exit status and standard output."""
    proc = subprocess.run([os.environ["TVQCONVERTER"]] + [str(a) for a in args],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    return proc.returncode, proc.stdout.decode("latin-1")


def t2b(directory, lines, name="t2b.tvq"):
    """The block file -t2b makes of the text lines."""
    text = directory / (name + ".txt")
    text.write_bytes(b"".join(line if isinstance(line, bytes) else line.encode() + b"\n"
                              for line in lines))
    status, out = tvqconverter("-t2b", text, directory / name)
    assert status == 0, out
    return directory / name


def sscanf_bits(line):
    """What C sscanf stores for the line's values: each %d's int and each %f's
    float as 32 bits."""
    count, values, _ = model.scan_line(line.encode())
    assert count == len(values), line
    return values


class _Served(http.server.SimpleHTTPRequestHandler):
    """The files of a directory, byte ranges too where the server serves
    them (server.ranges), and /status/N answered with status N;
    server.sent counts the bytes of files sent."""

    def log_message(self, *args):
        pass

    def end_headers(self):
        if self.server.ranges:
            self.send_header("Accept-Ranges", "bytes")
        super().end_headers()

    def send_head(self):
        status = re.fullmatch(r"/status/(\d+)", self.path)  # a failure asked for
        if status:
            return self.send_error(int(status[1]))
        wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", self.headers.get("Range", ""))
        path = self.translate_path(self.path)
        if not (self.server.ranges and wanted and os.path.isfile(path)):
            return super().send_head()
        size, start = os.path.getsize(path), int(wanted[1])
        with open(path, "rb") as stream:
            stream.seek(start)
            part = stream.read(int(wanted[2] or size - 1) + 1 - start)
        self.send_response(206)
        self.send_header("Content-Range", "bytes %d-%d/%d" % (start, start + len(part) - 1, size))
        self.send_header("Content-Length", str(len(part)))
        self.end_headers()
        return io.BytesIO(part)

    def copyfile(self, source, out):
        for data in iter(lambda: source.read(1 << 20), b""):
            self.server.sent += len(data)
            out.write(data)


@contextlib.contextmanager
def http_server(directory, ranges):
    """An HTTP server of the directory on 127.0.0.1: its URL (with a / at the
    end) and the server."""
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(_Served, directory=str(directory)))
    server.ranges, server.sent, server.daemon_threads = ranges, 0, True
    server.handle_error = lambda *args: None  # a client that closes early
    thread = threading.Thread(target=server.serve_forever, args=(0.02,), daemon=True)
    thread.start()
    try:
        yield "http://127.0.0.1:%d/" % server.server_address[1], server
    finally:
        server.shutdown()
        server.server_close()
