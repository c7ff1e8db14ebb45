"""The running service: one listening socket serving the upload paths (see
front.py), the pages and the API, with a bounded number of connections,
each of which may stay idle (or keep sending its request's head) for a
bounded time only."""

import asyncio
import ctypes
import logging
import os
import resource
import signal
import socket
import sys
import time
import traceback

from aiohttp import web
from aiohttp.web_protocol import RequestHandler

from .auth import Authenticator
from .front import FrontProtocol
from .ingest import BatchWriter, IngestLimits, Receiver
from .store import open_store
from .web import Site

GUARD_SWEEP_INTERVAL = 1.0
WORKER_RESTART_DELAY = 1.0
PR_SET_PDEATHSIG = 1


class ConnectionGuard:
    """Keeps at most max_connections open: a connection beyond it takes the
    place of the oldest one that has no request in progress (or is refused
    when every one has). A connection with no request in progress for
    idle_timeout seconds (one that never finishes a request's head
    included) is closed."""

    def __init__(self, max_connections, idle_timeout):
        self.max_connections = max_connections
        self.idle_timeout = idle_timeout
        self._last_active = {}   # handler -> time, oldest first

    def opened(self, handler):
        self._last_active[handler] = time.monotonic()
        if len(self._last_active) <= self.max_connections:
            return
        victim = next((other for other in self._last_active
                       if other is not handler and self._idle(other)), handler)
        self._drop(victim)

    def closed(self, handler):
        self._last_active.pop(handler, None)

    def touch(self, handler):
        if handler in self._last_active:
            self._last_active[handler] = time.monotonic()

    def sweep(self):
        deadline = time.monotonic() - self.idle_timeout
        for handler, last in list(self._last_active.items()):
            if last < deadline and self._idle(handler):
                self._drop(handler)

    @staticmethod
    def _idle(handler) -> bool:
        # The web handler's request in progress; the front protocol keeps
        # one by the same name.
        return handler._current_request is None

    def _drop(self, handler):
        self._last_active.pop(handler, None)
        if handler.transport is not None:
            handler.transport.abort()

    @web.middleware
    async def middleware(self, request, handler):
        try:
            return await handler(request)
        finally:
            self.touch(request.protocol)


class GuardedRequestHandler(RequestHandler):
    def __init__(self, manager, guard, **kwargs):
        super().__init__(manager, **kwargs)
        self._guard = guard

    def connection_made(self, transport):
        super().connection_made(transport)
        self._guard.opened(self)

    def connection_lost(self, exc):
        self._guard.closed(self)
        super().connection_lost(exc)


class Service:
    """Everything one receiver runs; start() binds and serves, stop() ends
    the requests in progress and closes the store."""

    def __init__(self, config, report=print):
        self.config = config
        self.report = report
        self.store = open_store(config.data, config.database)
        self.limits = IngestLimits(max_log=config.max_log, body_timeout=config.request_timeout,
                                   store_timeout=config.request_timeout)
        self.guard = ConnectionGuard(config.max_connections, config.idle_timeout)
        self._tasks = []

    async def start(self, sock):
        loop = asyncio.get_running_loop()
        self.writer = BatchWriter(self.store, loop, self.store_writers())
        self.receiver = Receiver(self.writer, self.limits, self.config.upload_paths)
        site = Site(self.store, Authenticator(self.config.token))
        app = web.Application(middlewares=[self.guard.middleware, site.require_login],
                              client_max_size=self.limits.max_body)
        app.add_routes(site.routes())
        self.runner = web.AppRunner(app, access_log=None, keepalive_timeout=self.config.idle_timeout,
                                    lingering_time=1.0)
        await self.runner.setup()
        manager = self.runner.server
        handler_options = dict(manager._kwargs, loop=loop)
        report = self.report if self.config.verbose else None
        self.listener = await loop.create_server(
            lambda: FrontProtocol(
                self.receiver, self.guard,
                lambda: GuardedRequestHandler(manager, self.guard, **handler_options), report),
            sock=sock, backlog=self.config.backlog)
        self._tasks = [asyncio.create_task(self._sweep_connections()),
                       asyncio.create_task(self._apply_retention())]

    def store_writers(self) -> int:
        # SQLite has one writer at a time; PostgreSQL takes a new batch
        # while the last one commits.
        return 2 if self.config.database else 1

    async def stop(self):
        for task in self._tasks:
            task.cancel()
        self.listener.close()
        await self.runner.shutdown()
        await self.runner.cleanup()
        await asyncio.get_running_loop().run_in_executor(None, self.writer.stop)
        self.receiver.close()
        self.store.close()

    async def _sweep_connections(self):
        while True:
            await asyncio.sleep(GUARD_SWEEP_INTERVAL)
            self.guard.sweep()

    async def _apply_retention(self):
        loop = asyncio.get_running_loop()
        while True:
            try:
                deleted = await loop.run_in_executor(
                    None, self.store.apply_retention, self.config.keep_days,
                    int(self.config.keep_gb * (1 << 30)))
                if deleted:
                    self.report("retention: %d logs deleted" % deleted)
            except Exception as error:
                self.report("retention failed, tried again later: %s" % error)
            await asyncio.sleep(self.config.retention_interval)


def listening_socket(host, port, backlog) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(backlog)
    sock.setblocking(False)
    return sock


def raise_file_limit(needed):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = hard if hard == resource.RLIM_INFINITY else min(hard, max(soft, needed))
    if wanted > soft:
        resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


async def serve(config, sock, announce):
    """Serves on sock until SIGTERM or SIGINT."""
    if not config.verbose:
        # Requests that cannot be parsed are answered 400; without
        # --verbose they leave no trace on standard error.
        logging.getLogger("aiohttp.server").setLevel(logging.CRITICAL)
    service = Service(config)
    await service.start(sock)
    stopped = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stopped.set)
    if announce:
        announce_listening(sock)
    await stopped.wait()
    await service.stop()


def announce_listening(sock):
    host, port = sock.getsockname()[:2]
    print("listening on %s:%d" % (host, port), flush=True)


class Stop(Exception):
    pass


def raise_stop(signum, frame):
    raise Stop()


def run(config) -> int:
    """Serves until SIGTERM or SIGINT: in this process, or in config.workers
    processes that share the listening socket (and die with this one)."""
    raise_file_limit(config.max_connections + 256)
    sock = listening_socket(config.host, config.port, config.backlog)
    if config.workers == 1:
        asyncio.run(serve(config, sock, announce=True))
        print("stopped", flush=True)
        return 0
    open_store(config.data, config.database).close()   # the tables, made once
    signal.signal(signal.SIGTERM, raise_stop)
    signal.signal(signal.SIGINT, raise_stop)
    workers = set()
    try:
        for _ in range(config.workers):
            workers.add(start_worker(config, sock))
        announce_listening(sock)
        while True:
            pid, status = os.wait()
            if pid in workers:
                workers.discard(pid)
                print("worker %d ended (status %d); starting another" % (pid, status),
                      flush=True)
                time.sleep(WORKER_RESTART_DELAY)
                workers.add(start_worker(config, sock))
    except Stop:
        pass
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        for pid in workers:
            os.kill(pid, signal.SIGTERM)
        for pid in workers:
            os.waitpid(pid, 0)
    print("stopped", flush=True)
    return 0


def start_worker(config, sock) -> int:
    parent = os.getpid()
    pid = os.fork()
    if pid:
        return pid
    status = 1
    try:
        die_with_parent(parent)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        asyncio.run(serve(config, sock, announce=False))
        status = 0
    except BaseException:
        traceback.print_exc()
    finally:
        sys.stdout.flush()
        os._exit(status)


def die_with_parent(parent):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:
        os._exit(1)
