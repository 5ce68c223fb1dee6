"""The release archives' contents and metadata: what a package index and pip see.

python tests/wheel/check_archives.py dist/gridflip-*.whl dist/gridflip-*.tar.gz
"""

import email
import sys
import tarfile
import zipfile

WHEEL_SIZE_LIMIT = 300_000  # bytes


def check(condition, message):
    if not condition:
        sys.exit(f"check_archives: {message}")


def main(wheel_path, sdist_path):
    with zipfile.ZipFile(wheel_path) as wheel:
        names = set(wheel.namelist())
        info = [name for name in names if name.endswith(".dist-info/METADATA")]
        check(len(info) == 1, f"one METADATA expected: {sorted(names)}")
        metadata = email.message_from_bytes(wheel.read(info[0]))
    dist_info = info[0].rsplit("/", 1)[0]
    payload = {name for name in names if not name.startswith(dist_info) and not name.endswith("/")}
    module = {name for name in payload if not name.startswith("gridflip_evolution/")}
    package = payload - module
    check(
        len(module) == 2
        and "gridflip-stubs/__init__.pyi" in module
        and any(
            name.startswith("gridflip.cpython-313-") and name.endswith(".so") for name in module
        ),
        f"the wheel holds the module, its stub package and gridflip_evolution: {sorted(payload)}",
    )
    for needed in ("__init__.py", "py.typed", "evolution.py", "seeds/lut_network_hx1k.asc"):
        check(f"gridflip_evolution/{needed}" in package, f"gridflip_evolution/{needed} is missing")
    check(not any("__pycache__" in name for name in package), "compiled bytecode in the wheel")
    with zipfile.ZipFile(wheel_path) as wheel:
        entry_points = wheel.read(f"{dist_info}/entry_points.txt").decode()
    for command in ("gridflip-evolve", "gridflip-replay", "gridflip-check-drivers"):
        check(f"{command} = gridflip_evolution.cli:" in entry_points, f"no command {command}")
    check("evolution" in metadata.get_all("Provides-Extra"), "no extra named evolution")
    for licence in ("LICENSE", "LICENSES/libbacktrace.txt"):
        check(f"{dist_info}/licenses/{licence}" in names, f"{licence} is not in the wheel")

    size = len(open(wheel_path, "rb").read())
    check(size <= WHEEL_SIZE_LIMIT, f"the wheel is {size} bytes, above {WHEEL_SIZE_LIMIT}")

    check(metadata["Metadata-Version"] == "2.4", metadata["Metadata-Version"])
    check(metadata["License-Expression"] == "MIT", metadata["License-Expression"])
    check(metadata["License"] is None, "the old License field is set")
    check(
        sorted(metadata.get_all("License-File")) == ["LICENSE", "LICENSES/libbacktrace.txt"],
        metadata.get_all("License-File"),
    )
    check("Typing :: Typed" in metadata.get_all("Classifier"), "not classified as typed")
    check(
        metadata["Description-Content-Type"] == "text/markdown",
        metadata["Description-Content-Type"],
    )
    description = metadata.get_payload()
    check(
        description == open("DESCRIPTION.md", encoding="utf-8").read(),
        "the wheel's description is not DESCRIPTION.md",
    )

    with tarfile.open(sdist_path) as sdist:
        members = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    for needed in (
        "LICENSE",
        "LICENSES/libbacktrace.txt",
        "DESCRIPTION.md",
        "README.md",
        "CHANGELOG.md",
        "pyproject.toml",
        "CMakeLists.txt",
        "src/lib.cpp",
        "src/gridflip.pyi",
        "PKG-INFO",
    ):
        check(needed in members, f"{needed} is not in the sdist")
    stray = sorted(
        name for name in members if name.split("/")[0] in {"build", ".venv", "dist", ".git"}
    )
    check(not stray, f"the sdist holds build products or tools' state: {stray[:5]}")
    print(
        f"archives: wheel {size} bytes, {len(payload)} files and licences; sdist {len(members)} files"
    )


if __name__ == "__main__":
    main(*sys.argv[1:])
