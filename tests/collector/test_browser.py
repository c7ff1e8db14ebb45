"""The pages in a real browser (headless Chromium driven by Selenium): log
in, the groups page, a group, a log; a wrong token sees nothing. The
screenshots are saved under the build folder, in collector-screenshots/."""

import shutil
import tempfile
import unittest
from pathlib import Path

from fixtures import BUILD_DIR, TOKEN, Service, frames, sample_log

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.webdriver.common.by import By
except ImportError:
    webdriver = None

SCREENSHOTS = BUILD_DIR / "collector-screenshots"
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
PAGE_LOAD_DEADLINE = 30
FAILURES = [("KeyError: 'price'", [("boot.py", "<module>"), ("shop/cart.py", "total")]),
            ("ValueError: invalid literal for int() with base 10: 'x'",
             [("boot.py", "<module>"), ("shop/parse.py", "number")])]


@unittest.skipUnless(webdriver and shutil.which(CHROMIUM) and shutil.which(CHROMEDRIVER),
                     "needs chromium, chromium-driver and python3-selenium")
class BrowserTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.root = Path(tempfile.mkdtemp(prefix="collector-browser-"))
        cls.service = Service(cls.root)
        for number in range(9):
            failure = FAILURES[number % 3] if number % 3 < 2 else None
            log = sample_log(number, version="1.%d.0.0" % (number % 2), failure=failure)
            assert cls.service.post(frames.pack(log))[0] == 200
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.service.stop()
        shutil.rmtree(cls.root, ignore_errors=True)

    def setUp(self):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        profile = tempfile.mkdtemp(prefix="collector-chromium-", dir=self.root)
        for argument in ("--headless", "--no-sandbox", "--disable-gpu",
                         "--disable-background-networking", "--disable-component-update",
                         "--disable-sync", "--disable-dev-shm-usage", "--window-size=1280,900",
                         "--user-data-dir=" + profile):
            options.add_argument(argument)
        self.browser = webdriver.Chrome(service=DriverService(CHROMEDRIVER),
                                        options=options)
        self.addCleanup(self.browser.quit)
        self.browser.set_page_load_timeout(PAGE_LOAD_DEADLINE)

    def open(self, path):
        self.browser.get(self.service.url(path))

    def text(self, selector) -> str:
        return self.browser.find_element(By.CSS_SELECTOR, selector).text

    def shot(self, name):
        self.browser.save_screenshot(str(SCREENSHOTS / (name + ".png")))

    def log_in(self, token):
        self.browser.find_element(By.ID, "token").send_keys(token)
        self.browser.find_element(By.ID, "login-button").click()

    def test_a_user_reads_groups_a_group_and_a_log(self):
        self.open("/groups?product=Mendrix")
        self.assertIn("/login", self.browser.current_url)
        self.shot("1-login")
        self.log_in(TOKEN)
        self.assertIn("/groups?product=Mendrix", self.browser.current_url)
        rows = self.browser.find_elements(By.CSS_SELECTOR, "#groups tbody tr")
        self.assertEqual(len(rows), 2)
        row, = [row for row in rows if "KeyError" in row.text]
        self.assertEqual(len(row.find_elements(By.CSS_SELECTOR, "svg.spark rect")), 14)
        self.assertIn("1.0.0.0", self.text("#sessions"))
        self.shot("2-groups")

        row.find_element(By.CSS_SELECTOR, "a").click()
        self.assertIn("shop/cart.py", self.text("#traceback"))
        self.assertIn("KeyError < shop.cart.total", self.text("#signature"))
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR, "#logs tbody tr")), 3)
        self.shot("3-group")

        self.browser.find_element(By.CSS_SELECTOR, "#logs tbody a").click()
        self.assertIn("system 10.0 32-bit", self.browser.find_element(By.ID, "system").text)
        highlighted = [e.text for e in self.browser.find_elements(By.CSS_SELECTOR, "#log-text .tb")]
        self.assertIn("KeyError: 'price'", highlighted)
        self.assertTrue(self.browser.find_element(By.ID, "download").get_attribute("href")
                        .endswith("/raw"))
        self.shot("4-log")

        self.open("/logs?q=ValueError")
        self.assertEqual(len(self.browser.find_elements(By.CSS_SELECTOR, "#results tbody tr")), 3)
        self.shot("5-search")

    def test_a_wrong_token_sees_nothing(self):
        self.open("/login")
        self.log_in("not-the-token")
        self.assertIn("not the one", self.text("#login-error"))
        self.shot("6-wrong-token")
        for path in ("/groups?product=Mendrix", "/logs/1", "/api/groups?product=Mendrix"):
            self.open(path)
            self.assertNotIn("KeyError", self.browser.page_source)
