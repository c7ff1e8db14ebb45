"""The command line: `python3 -m collector serve ...`."""

import argparse
import dataclasses
import sys

from . import frames

DEFAULT_UPLOAD_PATH = "/upload_logs/v5/"



@dataclasses.dataclass
class Config:
    data: str
    database: str
    host: str
    port: int
    token: str
    upload_paths: dict          # path -> product bound to it, or None
    max_log: int = frames.DEFAULT_MAX_LOG
    request_timeout: float = 30.0
    idle_timeout: float = 10.0
    max_connections: int = 4096
    backlog: int = 1024
    keep_days: float = 90.0
    keep_gb: float = 50.0
    retention_interval: float = 3600.0
    verbose: bool = False
    workers: int = 1


def listen_address(text):
    host, separator, port = text.rpartition(":")
    if not separator or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError("expected ADDRESS:PORT, e.g. 0.0.0.0:8080")
    return host.strip("[]") or "0.0.0.0", int(port)


def upload_path(text):
    path, _, product = text.partition("=")
    if not path.startswith("/"):
        raise argparse.ArgumentTypeError("an upload path starts with /: %r" % path)
    return path, product or None


def positive(kind):
    def convert(text):
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError("must be more than 0: %r" % text)
        return value
    return convert


def parser():
    top = argparse.ArgumentParser(prog="python3 -m collector",
                                  description="Collects the launcher's logs, groups failures "
                                              "and shows them on web pages and a JSON API.")
    commands = top.add_subparsers(dest="command", required=True)
    serve = commands.add_parser(
        "serve", help="receive logs and serve the pages and the API",
        description="Receive log uploads (POST of an LZO frame, no login) and serve the web "
                    "pages and the JSON API (login with the token).")
    serve.add_argument("--data", default="collector-data", metavar="DIR",
                       help="folder of the SQLite database with the logs (default: "
                            "./collector-data); unused with --database")
    serve.add_argument("--database", metavar="URL", default="",
                       help="postgresql://... : keep everything in PostgreSQL instead, so "
                            "that several receivers can share it")
    serve.add_argument("--listen", type=listen_address, default=("0.0.0.0", 8080),
                       metavar="ADDR:PORT",
                       help="address and port to listen on, port 0 for any free one "
                            "(default: 0.0.0.0:8080)")
    secret = serve.add_mutually_exclusive_group(required=True)
    secret.add_argument("--token", help="the secret that the pages and the API ask for")
    secret.add_argument("--token-file", metavar="FILE",
                        help="read the secret from FILE (its first line)")
    serve.add_argument("--upload-path", type=upload_path, action="append", metavar="PATH[=PRODUCT]",
                       help="a path that takes uploads, optionally bound to a product whose "
                            "name then overrides the log's own; may be given several times "
                            "(default: %s)" % DEFAULT_UPLOAD_PATH)
    serve.add_argument("--max-log", type=positive(int), default=frames.DEFAULT_MAX_LOG,
                       metavar="BYTES", help="largest log accepted, unpacked (default: 64 MiB)")
    serve.add_argument("--request-timeout", type=positive(float), default=30.0,
                       metavar="SECONDS",
                       help="time to receive a body, and to store it (default: 30)")
    serve.add_argument("--idle-timeout", type=positive(float), default=10.0, metavar="SECONDS",
                       help="a connection without a request in progress for this long is "
                            "closed (default: 10)")
    serve.add_argument("--max-connections", type=positive(int), default=4096, metavar="N",
                       help="connections open at once; a new one replaces the oldest idle "
                            "one (default: 4096)")
    serve.add_argument("--backlog", type=positive(int), default=1024, metavar="N",
                       help="listen backlog (default: 1024)")
    serve.add_argument("--keep-days", type=positive(float), default=90.0, metavar="N",
                       help="delete logs older than N days; group counts stay (default: 90)")
    serve.add_argument("--keep-gb", type=positive(float), default=50.0, metavar="M",
                       help="delete the oldest logs while they take more than M GB "
                            "(default: 50)")
    serve.add_argument("--retention-interval", type=positive(float), default=3600.0,
                       metavar="SECONDS", help="how often retention runs (default: 3600)")
    serve.add_argument("--workers", type=positive(int), default=1, metavar="N",
                       help="processes that serve the same socket (default: 1). With "
                            "SQLite they take turns at the database, so more than one "
                            "helps little; with PostgreSQL up to one per processor")
    serve.add_argument("--verbose", action="store_true", help="print a line per upload")
    return top


def config_from(arguments, error) -> Config:
    token = arguments.token
    if arguments.token_file:
        try:
            with open(arguments.token_file, encoding="utf-8") as source:
                token = source.readline().strip()
        except OSError as failure:
            error("cannot read --token-file: %s" % failure)
    if not token:
        error("the token is empty")
    if arguments.database and not arguments.database.startswith(("postgresql://",
                                                                  "postgres://")):
        error("--database takes a postgresql:// URL")
    paths = dict(arguments.upload_path or [(DEFAULT_UPLOAD_PATH, None)])
    host, port = arguments.listen
    return Config(data=arguments.data, database=arguments.database, host=host, port=port,
                  token=token, upload_paths=paths, max_log=arguments.max_log,
                  request_timeout=arguments.request_timeout,
                  idle_timeout=arguments.idle_timeout,
                  max_connections=arguments.max_connections, backlog=arguments.backlog,
                  keep_days=arguments.keep_days, keep_gb=arguments.keep_gb,
                  retention_interval=arguments.retention_interval, verbose=arguments.verbose,
                  workers=arguments.workers)


def main(argv=None) -> int:
    top = parser()
    arguments = top.parse_args(argv)
    config = config_from(arguments, top.error)
    from .server import run
    from .store import StoreError
    try:
        return run(config)
    except (StoreError, OSError) as error:
        print("collector: %s" % error, file=sys.stderr)
        return 1
