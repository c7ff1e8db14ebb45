"""The log-collection service: receives the launcher's log uploads, groups
failures by signature and shows them on web pages and through a JSON API.
Run it with `python3 -m collector serve --help`."""
