"""Package hook of matplotlib: Debian keeps matplotlib's data (fonts, style
sheets, matplotlibrc, toolbar images) in /usr/share/matplotlib/mpl-data, and
matplotlib looks there only when no mpl-data folder lies beside its own
modules. The data goes into that folder of the output."""

DATA = {"/usr/share/matplotlib/mpl-data": "matplotlib/mpl-data"}
