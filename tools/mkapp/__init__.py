"""Makes an application executable from the launcher binary.

An application executable is the launcher binary followed by a resource
image (a `.res` file as `windres -O res` writes it) and a 16-byte trailer:
the image's size as an unsigned 64-bit little-endian number, then the ASCII
text "RESIMG01". The launcher finds its resources through that trailer.
Beside the executable the tool writes "lib.dll", the zip archive of compiled
modules that the launcher puts first on the interpreter's module search path.

The build runs in stages, one module each: options and errors (options,
errors), the module graph (graph), placement of what it found (placement,
with the build report in report), the boot script (bootscript), the resource
script and its image (resources), and the assembly of the output folder
(assembly); cli runs them in order. target describes the platform an output
runs on (target_posix: this machine); hooks/ holds the runtime hooks.

Every bytecode this tool writes is compiled by the interpreter running it,
which must be the version the launcher embeds (Debian's /usr/bin/python3.11).

The names below are the package's interface; tests and other tools call them.
"""

from .assembly import (ARCHIVE_NAME, TRAILER, TRAILER_MAGIC, StagedFile, build_executable,
                       executable_bytes, executable_outputs, split_executable,
                       write_all_or_nothing, write_atomically)
from .bootscript import (DESCRAMBLE_KEY, compile_boot_script, compile_boot_source,
                         compile_source, scramble, unpack_boot_script)
from .cli import LibraryReport, build_lib_dll, main, run
from .errors import (EMBEDDED_PYTHON, BuildError, read_input, require_embedded_python,
                     require_file)
from .options import make_parser
from .graph import ModuleGraph, build_graph
from .placement import place
from .target import Target, host_target
from .resources import (BOOT_SCRIPT_FILE, CONFIG_KEYS, DEFAULT_BLOCK, DEFAULT_MANIFEST,
                        DEFAULT_WINDRES, EXAMPLE_CONFIG, GENERATED_ICON_FILE, GENERATED_RC_FILE,
                        RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_VERSION, AppResources, Resource,
                        VersionInfo, align4, build_resource_image, build_resource_image_from_rc,
                        find_version_info, merge_icons, parse_res, parse_version_info,
                        read_icon_images, read_name_or_ordinal, version_numbers,
                        version_strings)
