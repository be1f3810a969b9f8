"""Checks the ostrel that `import ostrel` finds after a wheel was installed
into a virtual environment: the module is the one in the environment's
site-packages, its type stub and py.typed are beside it, and the libraries
it was built with (libroaring, libhwy) were loaded from the copies the
wheel carries in ostrel.libs/, not from the system. Prints the
site-packages directory on standard output; the rest goes to stderr."""

import pathlib
import sys
import sysconfig

import ostrel

site = pathlib.Path(sysconfig.get_path("platlib"))
module = pathlib.Path(ostrel.__file__)
assert sys.prefix != sys.base_prefix and module == site / "ostrel.abi3.so", module
assert (site / "ostrel.pyi").is_file() and (site / "py.typed").is_file(), sorted(site.iterdir())
with open("/proc/self/maps") as maps:
    mapped = {fields[5] for fields in (line.split(None, 5) for line in maps) if len(fields) == 6}
libs = sorted(pathlib.Path(p.strip()) for p in mapped if "libroaring" in p or "libhwy" in p)
assert len({p.name for p in libs}) == 2, libs
assert all(p.parent == site / "ostrel.libs" for p in libs), libs
print("installed:", module, "with", ", ".join(sorted({p.name for p in libs})), file=sys.stderr)
print(site)
