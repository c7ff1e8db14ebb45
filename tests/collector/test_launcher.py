"""The real launcher ships its logs to the service, on port 80 of a private
loopback: normal runs, failures with three different exceptions in two
versions, and a start-up failure. The API then lists exactly the expected
groups, on SQLite and on PostgreSQL with two receivers."""

import sys
import unittest

import fixtures
from fixtures import Postgres, Service

sys.path.insert(0, str(fixtures.SOURCE_DIR / "tests" / "e2e"))
from expected import Sandbox  # noqa: E402
from loopback import enter_private_network  # noqa: E402

PRODUCT = "Mendrix"
APPLICATION = {
    "main.py": "from shop import cart, parse, stats\n"
               "def run(kind):\n"
               "    if kind == 'key': cart.total([{'prize': 1}])\n"
               "    if kind == 'value': parse.number('twelve')\n"
               "    if kind == 'zero': stats.mean([])\n",
    "shop/__init__.py": "",
    "shop/cart.py": "def total(items):\n    return sum(item['price'] for item in items)\n",
    "shop/parse.py": "def number(text):\n    return int(text)\n",
    "shop/stats.py": "def mean(values):\n    return sum(values) / len(values)\n",
}
# (kind, version, runs); kind None is a normal run.
RUNS = [(None, "1.0.0.0", 2), (None, "2.0.0.0", 1), ("key", "1.0.0.0", 2), ("key", "2.0.0.0", 1),
        ("value", "1.0.0.0", 1), ("zero", "2.0.0.0", 2)]
# (exception, count, versions, what the signature holds)
EXPECTED_GROUPS = {
    ("KeyError", 3, ("1.0.0.0", "2.0.0.0"), "KeyError < shop.cart.<genexpr> < shop.cart.total"),
    ("ZeroDivisionError", 2, ("2.0.0.0",), "ZeroDivisionError < shop.stats.mean < main.run"),
    ("ValueError", 1, ("1.0.0.0",), "ValueError < shop.parse.number < main.run"),
    ("StubException", 1, ("1.0.0.0",), "StubException: FindResource failed 1813 in util.cpp"),
}
EXPECTED_SESSIONS = [("2.0.0.0", 4, 1), ("1.0.0.0", 6, 2)]


def setUpModule():
    enter_private_network()


class LauncherShippingTest:
    """Runs the scenario against receivers listening on port 80 of the hosts
    that setUp() puts in self.hosts; each run ships to the next host."""

    def setUp(self):
        self.sandbox = Sandbox.for_test(self)
        source = self.sandbox.root / "application"
        for name, text in APPLICATION.items():
            (source / name).parent.mkdir(parents=True, exist_ok=True)
            (source / name).write_text(text)
        self.source = source

    def ship(self):
        runs = 0
        for kind, version, count in RUNS:
            app = self.make_app(version, self.hosts[runs % len(self.hosts)],
                                boot_source="import stub, time\n"
                                            "stub.log('at %%d' %% time.time_ns())\n"
                                            "import main\nmain.run(%r)\n" % kind,
                                app_dir=self.source, main_module="main")
            for _ in range(count):
                run = self.sandbox.run(app)
                self.assertEqual(run.exit_code, 0 if kind is None else 1, run.stderr)
                self.assertEqual(run.logs, [], "the log was not shipped")
                runs += 1
        app = self.make_app("1.0.0.0", self.hosts[runs % len(self.hosts)], no_script=True)
        self.assertEqual(self.sandbox.run(app).exit_code, 1)

    def make_app(self, version, host, **options):
        return self.sandbox.make_app(config={"FileVersion": version, "__logging_host": host,
                                             "__product": PRODUCT}, **options)

    def test_the_api_lists_the_expected_groups(self):
        self.ship()
        service = self.services[0]
        status, groups = service.api("/api/groups?product=" + PRODUCT)
        self.assertEqual(status, 200)
        self.assertEqual(sorted((g["exception"], g["count"], tuple(g["versions"]))
                                for g in groups), sorted(e[:3] for e in EXPECTED_GROUPS))
        self.assertEqual([g["count"] for g in groups],
                         sorted((e[1] for e in EXPECTED_GROUPS), reverse=True))
        signatures = {g["exception"]: g["signature"] for g in groups}
        for exception, _, _, signature in EXPECTED_GROUPS:
            self.assertTrue(signatures[exception].startswith(signature), signatures[exception])
        store = service.store()
        self.addCleanup(store.close)
        self.assertEqual(store.sessions(PRODUCT), EXPECTED_SESSIONS)
        # Every receiver shows the same groups, and each group its logs.
        for other in self.services:
            self.assertEqual(other.api("/api/groups?product=" + PRODUCT), (status, groups))
        for group in groups:
            status, logs = service.api("/api/groups/%s/logs" % group["id"])
            self.assertEqual(len(logs), group["count"])
            status, log = service.api("/api/logs/%d" % logs[0]["id"])
            self.assertIn(group["exception"], log["text"])
            self.assertTrue(log["text"].endswith("STUB:stub:Closing log\n"), log["text"])


class SqliteShippingTest(LauncherShippingTest, unittest.TestCase):

    def setUp(self):
        super().setUp()
        self.services = [Service(self.sandbox.root, host="127.0.0.1", port=80)]
        self.addCleanup(self.services[0].stop)
        self.hosts = ["127.0.0.1"]


class PostgresShippingTest(LauncherShippingTest, unittest.TestCase):

    def setUp(self):
        super().setUp()
        postgres = Postgres()
        self.addCleanup(postgres.destroy)
        self.hosts = ["127.0.0.1", "127.0.0.2"]
        self.services = []
        for index, host in enumerate(self.hosts):
            service = Service(self.sandbox.root, database=postgres.url, host=host, port=80,
                              name="receiver%d" % index)
            self.addCleanup(service.stop)
            self.services.append(service)


if __name__ == "__main__":
    unittest.main()
