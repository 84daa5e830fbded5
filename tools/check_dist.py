"""Checks factsift's sdist, or a wheel built from it for the running interpreter.

    python tools/check_dist.py sdist SDIST
    python tools/check_dist.py wheel SDIST WHEEL

The sdist must carry the build's inputs and nothing the checkout builds. The
wheel must have the running interpreter's own tag (no stable ABI, no pure
Python) and exactly the package's Python files, its stub and py.typed, one
compiled module for this interpreter and the metadata; neither sources nor
build files. Needs `packaging` (the build
set of tools/fetch-debian has it).
"""

import email.parser
import os
import re
import sys
import sysconfig
import tarfile
import zipfile

from packaging import tags
from packaging.utils import parse_wheel_filename

PACKAGE = "factsift"
SDIST_NEEDS = ["PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE",
               "factsift/__init__.py", "factsift/module.cpp"]
# What the checkout makes or keeps for itself.
SDIST_NEVER = re.compile(r"(^|/)(build|dist|\.venv|__pycache__|\.pytest_cache|\.hypothesis|\.git)/|\.(so|o|pyc)$")
SOURCES = re.compile(r"\.(cpp|hpp)$")
DIST_INFO = ["METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE"]
SCRIPTS = {"factsift": "factsift.cli:main", "factsift-devserver": "factsift.devserver:main"}
METADATA = {"Requires-Dist": ["openai>=1"], "Requires-Python": [">=3.10"]}


class Bad(Exception):
    pass


def expect(what, found, wanted):
    if found != wanted:
        raise Bad(f"{what}: found {found!r}, expected {wanted!r}")


def sdist_members(path):
    with tarfile.open(path) as tar:
        names = [m.name for m in tar.getmembers() if m.isfile()]
    top = {name.split("/", 1)[0] for name in names}
    if len(top) != 1 or not all("/" in name for name in names):
        raise Bad(f"{path}: expected one top folder, found {sorted(top)}")
    return [name.split("/", 1)[1] for name in names]


def check_sdist(path):
    members = sdist_members(path)
    missing = [name for name in SDIST_NEEDS if name not in members]
    if missing:
        raise Bad(f"{path}: missing {missing}")
    built = [name for name in members if SDIST_NEVER.search(name)]
    if built:
        raise Bad(f"{path}: carries build products {built}")
    return f"{len(members)} files, no build products"


def expected_wheel_files(sdist, version):
    package = {name for name in sdist_members(sdist)
               if name.startswith(PACKAGE + "/") and not SOURCES.search(name)}
    package.add(f"{PACKAGE}/factsift{sysconfig.get_config_var('EXT_SUFFIX')}")
    info = f"{PACKAGE}-{version}.dist-info/"
    return package | {info + name for name in DIST_INFO}


def check_tag(path):
    _, version, _, wheel_tags = parse_wheel_filename(os.path.basename(path))
    interpreter = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    if len(wheel_tags) != 1:
        raise Bad(f"{path}: expected one tag, found {sorted(map(str, wheel_tags))}")
    (tag,) = wheel_tags
    expect("interpreter and ABI tag", (tag.interpreter, tag.abi), (interpreter, interpreter))
    if tag not in set(tags.sys_tags()):
        raise Bad(f"{path}: {tag} is not a tag of this interpreter")
    return version, tag


def check_metadata(wheel, info, tag):
    parse = email.parser.HeaderParser().parsestr
    meta = parse(wheel.read(info + "WHEEL").decode())
    expect("WHEEL Tag", meta.get_all("Tag"), [str(tag)])
    expect("Root-Is-Purelib", meta["Root-Is-Purelib"], "false")
    meta = parse(wheel.read(info + "METADATA").decode())
    for field, wanted in METADATA.items():
        expect(field, meta.get_all(field), wanted)
    entry_points = wheel.read(info + "entry_points.txt").decode()
    scripts = dict(re.findall(r"^(\S+) = (\S+)$", entry_points.split("[console_scripts]")[-1], re.M))
    expect("console scripts", scripts, SCRIPTS)


def check_wheel(sdist, path):
    version, tag = check_tag(path)
    with zipfile.ZipFile(path) as wheel:
        files = {name for name in wheel.namelist() if not name.endswith("/")}
        wanted = expected_wheel_files(sdist, str(version))
        if files != wanted:
            raise Bad(f"{path}: unexpected {sorted(files - wanted)}, missing {sorted(wanted - files)}")
        check_metadata(wheel, f"{PACKAGE}-{version}.dist-info/", tag)
    return f"tag {tag}, {len(files)} files as expected"


def main(argv):
    try:
        if argv[:1] == ["sdist"] and len(argv) == 2:
            verdict = check_sdist(argv[1])
        elif argv[:1] == ["wheel"] and len(argv) == 3:
            verdict = check_wheel(argv[1], argv[2])
        else:
            print(__doc__.strip().split("\n\n")[0], file=sys.stderr)
            return 2
    except (Bad, OSError, ValueError, KeyError, tarfile.TarError, zipfile.BadZipFile) as exc:
        print(f"check_dist: {exc}", file=sys.stderr)
        return 1
    print(f"check_dist: {os.path.basename(argv[-1])}: {verdict}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
