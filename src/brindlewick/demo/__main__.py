"""``python -m brindlewick.demo``: serves the demo application on granian
(RSGI or ASGI) or uvicorn (ASGI), in the server's own worker processes.

The server replaces this process (exec), so the process id that started the
demo is the server's own and stopping it stops its workers.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys
from pathlib import Path

from brindlewick.demo import FILES_ENV, SAMPLE_FILES


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="python -m brindlewick.demo", description=__doc__.split("\n\n")[0])
    parser.add_argument("--interface", choices=("rsgi", "asgi"), default="rsgi", help="server interface (default: rsgi)")
    parser.add_argument("--server", choices=("granian", "uvicorn"), default="granian", help="server (default: granian)")
    parser.add_argument("--host", default="127.0.0.1", help="address to bind (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=8000, help="port to bind (default: 8000)")
    parser.add_argument("--workers", type=int, default=1, help="worker processes (default: 1)")
    parser.add_argument("--files", type=Path, default=SAMPLE_FILES, help="directory served under /files/ (default: the sample files)")
    parser.add_argument("--log-level", default="info", choices=("debug", "info", "warning", "error"), help="server log level")
    parser.add_argument("--access-log", action="store_true", help="log every request")
    args = parser.parse_args(argv)
    if args.server == "uvicorn" and args.interface == "rsgi":
        parser.error("uvicorn serves ASGI only: use --interface asgi")
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if not 0 <= args.port <= 65535:
        parser.error("--port must lie between 0 and 65535")
    if not args.files.is_dir():
        parser.error(f"--files {args.files}: not a directory")
    if importlib.util.find_spec(args.server) is None:
        parser.error(f"{args.server} is not installed: pip install 'brindlewick[serve]'")
    return args


def server_command(args) -> list[str]:
    target = f"brindlewick.demo.app:{args.interface}"
    if args.server == "granian":
        command = [sys.executable, "-m", "granian", "--interface", args.interface, "--host", args.host,
                   "--port", str(args.port), "--workers", str(args.workers), "--log-level", args.log_level]
        command.append("--access-log" if args.access_log else "--no-access-log")
    else:
        command = [sys.executable, "-m", "uvicorn", "--host", args.host, "--port", str(args.port),
                   "--workers", str(args.workers), "--log-level", args.log_level, "--lifespan", "on"]
        if not args.access_log:
            command.append("--no-access-log")
    command.append(target)
    return command


def main(argv=None) -> None:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    os.environ[FILES_ENV] = str(args.files.resolve())
    command = server_command(args)
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(command[0], command)


if __name__ == "__main__":
    main()
