"""Package hook of pytz: Debian's pytz reads its time zones from
/usr/share/zoneinfo (the tzdata package) instead of a zoneinfo folder of its
own, unless PYTZ_TZDATADIR names another folder. The output carries the
zones and names them at run time."""

DATA = {"/usr/share/zoneinfo": "pytz/zoneinfo"}
ENVIRONMENT = {"PYTZ_TZDATADIR": "pytz/zoneinfo"}
