"""Starting and stopping real servers for the end-to-end tests: the demo
application (``python -m brindlewick.demo``) or any command, on a free
loopback port, as a subprocess stopped by its own process id."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import httpx

# The three ways the demo is served: (server, interface).
SERVERS = {
    "granian-rsgi": ("granian", "rsgi"),
    "granian-asgi": ("granian", "asgi"),
    "uvicorn": ("uvicorn", "asgi"),
}

START_TIMEOUT = 30.0
STOP_TIMEOUT = 10.0


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Server:
    """A server subprocess; ``url`` is its base URL once ``start`` returned."""

    def __init__(self, command: list[str], port: int, env: dict | None = None, probe: str = "/", verify=None):
        """``verify``: the SSL context that trusts the server's certificate,
        for a server that speaks HTTPS."""
        self.command = command
        self.port = port
        self.verify = verify
        self.url = f"{'http' if verify is None else 'https'}://127.0.0.1:{port}"
        self.env = env
        self.probe = probe
        self.process: subprocess.Popen | None = None
        self.name = None
        self.log = tempfile.TemporaryFile()

    def start(self) -> "Server":
        self.process = subprocess.Popen(
            self.command, stdout=self.log, stderr=subprocess.STDOUT, env=self.env, stdin=subprocess.DEVNULL
        )
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"the server exited with {self.process.returncode}:\n{self.output()}")
            try:
                httpx.get(self.url + self.probe, timeout=1.0, verify=True if self.verify is None else self.verify)
                return self
            except httpx.TransportError:
                pass
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"the server did not answer within {START_TIMEOUT} s:\n{self.output()}")
            time.sleep(0.1)

    def alive(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def stop(self) -> None:
        """Stops the server by its own process id: SIGTERM, then SIGKILL when
        it has not exited in time."""
        process = self.process
        if process is None or process.poll() is not None:
            return
        os.kill(process.pid, signal.SIGTERM)
        try:
            process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            os.kill(process.pid, signal.SIGKILL)
            process.wait(STOP_TIMEOUT)

    def output(self) -> str:
        self.log.seek(0)
        return self.log.read().decode("utf-8", "replace")


def demo_command(name: str, port: int, files_dir=None, workers: int = 1) -> list[str]:
    server, interface = SERVERS[name]
    command = [sys.executable, "-m", "brindlewick.demo", "--server", server, "--interface", interface,
               "--port", str(port), "--workers", str(workers), "--log-level", "warning"]
    if files_dir is not None:
        command += ["--files", str(files_dir)]
    return command


def start_demo(name: str, files_dir=None, extra=(), verify=None) -> Server:
    """The demo served as ``name`` (a key of SERVERS), with extra launcher
    arguments; the server's ``name`` is that key."""
    port = free_port()
    server = Server(demo_command(name, port, files_dir) + list(extra), port, verify=verify)
    server.name = name
    return server.start()


def app_command(name: str, port: int, target: str) -> list[str]:
    """The command serving the application ``target`` ("module:attribute",
    an RSGI or ASGI application as ``name`` needs) on ``port``."""
    server, interface = SERVERS[name]
    if server == "granian":
        return [sys.executable, "-m", "granian", "--interface", interface, "--host", "127.0.0.1",
                "--port", str(port), "--workers", "1", "--log-level", "warning", "--no-access-log", target]
    return [sys.executable, "-m", "uvicorn", "--host", "127.0.0.1", "--port", str(port), "--workers", "1",
            "--log-level", "warning", "--no-access-log", "--lifespan", "on", target]


def start_app(name: str, module: str, probe: str = "/") -> Server:
    """A test application of this directory, ``module.rsgi`` or ``module.asgi``
    as ``name`` serves it, on a free port."""
    port = free_port()
    attribute = SERVERS[name][1]
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")])))
    server = Server(app_command(name, port, f"{module}:{attribute}"), port, env=env, probe=probe)
    server.name = name
    return server.start()
