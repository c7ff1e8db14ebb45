"""The web interface and the JSON API over a store. Every page and API call
needs the token (see auth.py); the upload paths, served in front of this
application (see front.py), need none, because the launcher cannot
authenticate."""

import asyncio
import datetime
import time
from pathlib import Path
from urllib.parse import quote

import jinja2
from aiohttp import web
from markupsafe import Markup

from . import frames, logparse
from .auth import COOKIE, SESSION_SECONDS
from .store import DAY, day_of

PERIODS = (1, 7, 14, 30, 90)
DEFAULT_PERIOD = 14
SPARKLINE_DAYS = 14
GROUP_LOG_LIMIT = 50
API_LOG_LIMIT = 1000
SEARCH_LIMIT = 200
FAILED_LOGIN_DELAY = 1.0
MAX_LOGIN_FORM = 8192
# A log page shows this much of a log; the download has all of it.
SHOWN_TEXT = 2 << 20
# Stored frames were checked against the limit when they came in.
UNLIMITED = 1 << 62

TEMPLATES = jinja2.Environment(
    loader=jinja2.FileSystemLoader(str(Path(__file__).with_name("templates"))),
    autoescape=True, trim_blocks=True, lstrip_blocks=True)


def timestamp(value) -> str:
    if value is None:
        return ""
    return datetime.datetime.fromtimestamp(value, datetime.timezone.utc).strftime(
        "%Y-%m-%d %H:%M")


def iso(value) -> str:
    return datetime.datetime.fromtimestamp(value, datetime.timezone.utc).isoformat(
        timespec="seconds").replace("+00:00", "Z")


TEMPLATES.filters["timestamp"] = timestamp


def sparkline(per_day: dict, last_day: int, days=SPARKLINE_DAYS) -> Markup:
    """An inline SVG bar chart of the counts of the days up to last_day."""
    counts = [per_day.get(day, 0) for day in range(last_day - days + 1, last_day + 1)]
    top = max(counts) or 1
    width, height, bar = days * 6, 22, 5
    bars = []
    for index, count in enumerate(counts):
        size = max(1, round(count / top * (height - 2))) if count else 0
        first = last_day - days + 1 + index
        label = "%s: %d" % (datetime.date.fromtimestamp(first * DAY).isoformat(), count)
        bars.append('<rect x="%d" y="%d" width="%d" height="%d"><title>%s</title></rect>'
                    % (index * 6, height - size, bar, size, label))
    return Markup('<svg class="spark" width="%d" height="%d" viewBox="0 0 %d %d" role="img"'
                  ' aria-label="failures per day over %d days">'
                  '<line x1="0" y1="%d" x2="%d" y2="%d" class="base"/>%s</svg>'
                  % (width, height, width, height, days, height - 0.5, width, height - 0.5,
                     "".join(bars)))


def period_of(request) -> int:
    try:
        days = int(request.query.get("days", DEFAULT_PERIOD))
    except ValueError:
        days = DEFAULT_PERIOD
    return days if days in PERIODS else DEFAULT_PERIOD


class Site:
    """Handlers of the pages and the API; store calls run on threads."""

    def __init__(self, store, authenticator):
        self.store = store
        self.auth = authenticator

    async def call(self, method, *args, **kwargs):
        return await asyncio.get_running_loop().run_in_executor(
            None, lambda: method(*args, **kwargs))

    def routes(self):
        return [
            web.get("/login", self.login_page),
            web.post("/login", self.login),
            web.post("/logout", self.logout),
            web.get("/", self.home),
            web.get("/groups", self.groups_page),
            web.get("/groups/{id}", self.group_page),
            web.get("/logs", self.search_page),
            web.get(r"/logs/{id:\d+}", self.log_page),
            web.get(r"/logs/{id:\d+}/raw", self.log_download),
            web.get("/api/products", self.api_products),
            web.get("/api/groups", self.api_groups),
            web.get("/api/groups/{id}/logs", self.api_group_logs),
            web.get(r"/api/logs/{id:\d+}", self.api_log),
        ]

    # ---- login ------------------------------------------------------------------

    @web.middleware
    async def require_login(self, request, handler):
        path = request.path
        if path == "/login":
            return await handler(request)
        if self.auth.bearer_matches(request.headers.get("Authorization")) \
                or self.auth.session_valid(request.cookies.get(COOKIE)):
            return await handler(request)
        if path.startswith("/api/"):
            raise web.HTTPUnauthorized(text='{"error": "unauthorized"}\n',
                                       content_type="application/json",
                                       headers={"WWW-Authenticate": "Bearer"})
        raise web.HTTPSeeOther("/login?next=" + quote(request.path_qs, safe=""))

    def render(self, name, status=200, **values) -> web.Response:
        response = web.Response(status=status, text=TEMPLATES.get_template(name).render(**values),
                                content_type="text/html")
        response.headers["Cache-Control"] = "no-store"
        response.headers["X-Frame-Options"] = "DENY"
        return response

    async def login_page(self, request):
        return self.render("login.html", next=request.query.get("next", "/"), failed=False)

    async def login(self, request):
        if (request.content_length or 0) > MAX_LOGIN_FORM:
            raise web.HTTPRequestEntityTooLarge(MAX_LOGIN_FORM, request.content_length)
        form = await request.post()
        target = form.get("next", "/")
        if not target.startswith("/") or target.startswith("//"):
            target = "/"
        if not self.auth.token_matches(form.get("token", "")):
            await asyncio.sleep(FAILED_LOGIN_DELAY)
            return self.render("login.html", status=401, next=target, failed=True)
        response = web.HTTPSeeOther(target)
        response.set_cookie(COOKIE, self.auth.new_session(), max_age=SESSION_SECONDS,
                            httponly=True, samesite="Strict", path="/")
        raise response

    async def logout(self, request):
        response = web.HTTPSeeOther("/login")
        response.del_cookie(COOKIE, path="/")
        raise response

    # ---- pages ------------------------------------------------------------------

    async def home(self, request):
        products = await self.call(self.store.products)
        if len(products) == 1:
            raise web.HTTPSeeOther("/groups?product=" + quote(products[0], safe=""))
        return self.render("home.html", products=products)

    async def groups_page(self, request):
        products = await self.call(self.store.products)
        product = request.query.get("product") or (products[0] if products else "")
        days = period_of(request)
        today = day_of(time.time())
        groups = await self.call(self.store.groups, product, today - days + 1)
        daily = await self.call(self.store.daily_counts, product, today - SPARKLINE_DAYS + 1)
        sessions = await self.call(self.store.sessions, product, today - days + 1)
        for group in groups:
            group["sparkline"] = sparkline(daily.get(group["id"], {}), today)
        return self.render("groups.html", product=product, products=products, days=days,
                           periods=PERIODS, groups=groups, sessions=sessions)

    async def group_page(self, request):
        group = await self.call(self.store.group, request.match_info["id"])
        if group is None:
            raise web.HTTPNotFound(text="no such group")
        logs = await self.call(self.store.group_logs, group["id"], GROUP_LOG_LIMIT)
        traceback = ()
        if logs:
            latest = await self.call(self.store.log, logs[0]["id"])
            traceback = (await self.call(self._read, latest))[1].traceback
        return self.render("group.html", group=group, logs=logs, traceback=traceback)

    async def search_page(self, request):
        query = request.query
        days = query.get("days", "")
        since = time.time() - int(days) * DAY if days.isdigit() else None
        filters = dict(product=query.get("product", ""), version=query.get("version", ""),
                       outcome=query.get("outcome", ""), text=query.get("q", "").strip())
        logs = await self.call(self.store.search, since=since, limit=SEARCH_LIMIT, **filters)
        products = await self.call(self.store.products)
        return self.render("logs.html", logs=logs, products=products, days=days,
                           periods=PERIODS, outcomes=logparse.OUTCOMES, limit=SEARCH_LIMIT,
                           **filters)

    async def log_page(self, request):
        log = await self._log(request)
        text, parsed = await self.call(self._read, log)
        shown = text[:SHOWN_TEXT]
        traceback = set(parsed.traceback)
        lines = [(line, line in traceback) for line in shown.split("\n")]
        if lines and lines[-1] == ("", False):
            lines.pop()
        return self.render("log.html", log=log, meta=parsed.meta, lines=lines,
                           cut=len(shown) < len(text))

    async def log_download(self, request):
        log = await self._log(request)
        data = await self.call(frames.unpack, log["frame"], UNLIMITED)
        return web.Response(body=data,
                            content_type="text/plain", charset="utf-8", headers={
                                "Content-Disposition": 'attachment; filename="log-%d.log"'
                                % log["id"]})

    async def _log(self, request):
        log = await self.call(self.store.log, int(request.match_info["id"]))
        if log is None:
            raise web.HTTPNotFound(text="no such log")
        return log

    @staticmethod
    def _text(log) -> str:
        return frames.unpack(log["frame"], UNLIMITED).decode("utf-8", "replace")

    @classmethod
    def _read(cls, log) -> tuple:
        text = cls._text(log)
        return text, logparse.parse(text)

    # ---- API --------------------------------------------------------------------

    async def api_products(self, request):
        return web.json_response(await self.call(self.store.products))

    async def api_groups(self, request):
        product = request.query.get("product")
        if not product:
            raise web.HTTPBadRequest(text='{"error": "product= is required"}\n',
                                     content_type="application/json")
        groups = await self.call(self.store.groups, product)
        return web.json_response([
            dict(id=g["id"], signature=g["signature"], exception=g["exception"],
                 message=g["message"], count=g["count"], versions=g["versions"],
                 first_seen=iso(g["first_seen"]), last_seen=iso(g["last_seen"]))
            for g in groups])

    async def api_group_logs(self, request):
        group_id = request.match_info["id"]
        if await self.call(self.store.group, group_id) is None:
            raise web.HTTPNotFound(text='{"error": "no such group"}\n',
                                   content_type="application/json")
        logs = await self.call(self.store.group_logs, group_id, API_LOG_LIMIT)
        return web.json_response([self._log_json(log) for log in logs])

    async def api_log(self, request):
        log = await self.call(self.store.log, int(request.match_info["id"]))
        if log is None:
            raise web.HTTPNotFound(text='{"error": "no such log"}\n',
                                   content_type="application/json")
        answer = self._log_json(log)
        answer["text"] = await self.call(self._text, log)
        return web.json_response(answer)

    @staticmethod
    def _log_json(log) -> dict:
        answer = {key: value for key, value in log.items() if key != "frame"}
        answer["received"] = iso(log["received"])
        return answer
