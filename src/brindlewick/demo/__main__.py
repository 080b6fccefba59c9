"""``python -m brindlewick.demo``: serves the demo application on granian
(RSGI or ASGI) or uvicorn (ASGI), in the server's own worker processes.

The server replaces this process (exec), so the process id that started the
demo is the server's own and stopping it stops its workers.
"""

from __future__ import annotations

import argparse
import importlib.util
import ipaddress
import os
import sys
from pathlib import Path

from brindlewick.demo import FILES_ENV, MAX_BODY_ENV, SAMPLE_FILES

DESCRIPTION = """\
Serves the brindlewick demo application on granian (RSGI or ASGI) or
uvicorn (ASGI). The server replaces this process, so its process id is
the server's own."""

EPILOG = """\
examples:
  python -m brindlewick.demo
  python -m brindlewick.demo --interface asgi
  python -m brindlewick.demo --server uvicorn --interface asgi --port 8080
  python -m brindlewick.demo --files ./public --workers 4
  python -m brindlewick.demo --ssl-certfile cert.pem --ssl-keyfile key.pem
  python -m brindlewick.demo --server uvicorn --interface asgi --forwarded-allow-ips 127.0.0.1

HTTPS: granian speaks HTTP/1.1 and HTTP/2 (negotiated by ALPN) on it,
uvicorn HTTP/1.1; granian wants the key in PKCS#8 form."""


def _body_size(text: str):
    """--max-body-size: bytes with an optional k, m or g suffix, or "none"."""
    value = text.strip().lower()
    if value == "none":
        return "none"
    scale = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}.get(value[-1:], 1)
    digits = value[:-1] if scale != 1 else value
    if not digits.isascii() or not digits.isdigit():
        raise argparse.ArgumentTypeError(f"{text!r} is not a size (e.g. 16m, 1048576 or none)")
    return str(int(digits) * scale)


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog="python -m brindlewick.demo", description=DESCRIPTION, epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--interface", choices=("rsgi", "asgi"), default="rsgi", help="server interface (default: rsgi)")
    parser.add_argument("--server", choices=("granian", "uvicorn"), default="granian", help="server (default: granian)")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8000, help="port to bind (default: 8000)")
    parser.add_argument("--workers", type=int, default=1, help="worker processes (default: 1)")
    parser.add_argument("--files", type=Path, default=SAMPLE_FILES, metavar="DIR",
                        help="directory served under /files/ (default: the sample files)")
    parser.add_argument("--log-level", default="info", choices=("debug", "info", "warning", "error"),
                        help="server log level (default: info)")
    parser.add_argument("--access-log", action="store_true", help="log every request")
    parser.add_argument("--ssl-certfile", type=Path, metavar="FILE",
                        help="serve HTTPS with this certificate (PEM; with --ssl-keyfile)")
    parser.add_argument("--ssl-keyfile", type=Path, metavar="FILE", help="the certificate's private key (PEM)")
    parser.add_argument("--max-body-size", type=_body_size, metavar="BYTES",
                        help="largest request body read whole into memory, in bytes (suffixes k, m, g), "
                             "or none for no limit (default: 16m); a larger one is answered 413")
    parser.add_argument("--forwarded-allow-ips", default="", metavar="ADDRESSES",
                        help="uvicorn only: comma-separated addresses of proxies whose X-Forwarded-For and "
                             "X-Forwarded-Proto headers are believed, or * for any (default: none)")
    args = parser.parse_args(argv)
    if args.server == "uvicorn" and args.interface == "rsgi":
        parser.error("uvicorn serves ASGI only: use --interface asgi")
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if not 0 <= args.port <= 65535:
        parser.error("--port must lie between 0 and 65535")
    if not args.files.is_dir():
        parser.error(f"--files {args.files}: not a directory")
    if (args.ssl_certfile is None) != (args.ssl_keyfile is None):
        parser.error("--ssl-certfile and --ssl-keyfile go together")
    for option, path in (("--ssl-certfile", args.ssl_certfile), ("--ssl-keyfile", args.ssl_keyfile)):
        if path is not None and not path.is_file():
            parser.error(f"{option} {path}: no such file")
    args.forwarded_allow_ips = args.forwarded_allow_ips.strip()
    if args.forwarded_allow_ips:
        if args.server != "uvicorn":
            parser.error("--forwarded-allow-ips applies to uvicorn: granian never reads X-Forwarded-* headers")
        for item in args.forwarded_allow_ips.split(","):
            item = item.strip()
            try:
                if item != "*":
                    ipaddress.ip_network(item, strict=False)
            except ValueError:
                parser.error(f"--forwarded-allow-ips: {item!r} is not an address or network")
    if importlib.util.find_spec(args.server) is None:
        parser.error(f"{args.server} is not installed: pip install 'brindlewick[serve]'")
    return args


def server_command(args) -> list[str]:
    target = f"brindlewick.demo.app:{args.interface}"
    if args.server == "granian":
        command = [sys.executable, "-m", "granian", "--interface", args.interface, "--host", args.host,
                   "--port", str(args.port), "--workers", str(args.workers), "--log-level", args.log_level]
        command.append("--access-log" if args.access_log else "--no-access-log")
        if args.ssl_certfile is not None:
            command += ["--ssl-certificate", str(args.ssl_certfile), "--ssl-keyfile", str(args.ssl_keyfile)]
    else:
        # uvicorn believes X-Forwarded-* from 127.0.0.1 unless told otherwise:
        # the proxies it trusts are always named here, none by default.
        command = [sys.executable, "-m", "uvicorn", "--host", args.host, "--port", str(args.port),
                   "--workers", str(args.workers), "--log-level", args.log_level, "--lifespan", "on",
                   "--forwarded-allow-ips", args.forwarded_allow_ips]
        if not args.access_log:
            command.append("--no-access-log")
        if args.ssl_certfile is not None:
            command += ["--ssl-certfile", str(args.ssl_certfile), "--ssl-keyfile", str(args.ssl_keyfile)]
    command.append(target)
    return command


def main(argv=None) -> None:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    os.environ[FILES_ENV] = str(args.files.resolve())
    if args.max_body_size is not None:
        os.environ[MAX_BODY_ENV] = args.max_body_size
    command = server_command(args)
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(command[0], command)


if __name__ == "__main__":
    main()
