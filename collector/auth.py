"""The secret that guards the pages and the API: a bearer token for
programs, a login form and a signed session cookie for people. The cookie
carries its expiry and an HMAC of it under a key derived from the token, so
every receiver sharing the token accepts it and no session table is kept."""

import hashlib
import hmac
import time

COOKIE = "collector_session"
SESSION_SECONDS = 12 * 3600


class Authenticator:
    def __init__(self, token: str):
        if not token:
            raise ValueError("the token is empty")
        self._token = token.encode("utf-8")
        self._key = hashlib.sha256(b"session cookie\0" + self._token).digest()

    def token_matches(self, candidate: str) -> bool:
        return hmac.compare_digest(candidate.encode("utf-8"), self._token)

    def bearer_matches(self, header: str) -> bool:
        scheme, _, value = (header or "").partition(" ")
        return scheme.lower() == "bearer" and self.token_matches(value.strip())

    def new_session(self, now=None) -> str:
        expiry = str(int((now or time.time()) + SESSION_SECONDS))
        return expiry + "." + self._sign(expiry)

    def session_valid(self, cookie: str, now=None) -> bool:
        expiry, _, signature = (cookie or "").partition(".")
        if not expiry.isdigit() or not hmac.compare_digest(signature, self._sign(expiry)):
            return False
        return int(expiry) > (now or time.time())

    def _sign(self, text: str) -> str:
        return hmac.new(self._key, text.encode("ascii"), hashlib.sha256).hexdigest()
